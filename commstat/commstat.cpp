#include "commstat/commstat.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "commstat/input.hpp"
#include "commstat/report.hpp"

namespace commstat {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Values read at a time: whole blocks, about 4 MB of float32.
constexpr size_t kReadValues = size_t{1} << 20;

struct Options {
    std::vector<std::string> files;
    int32_t block = kDefaultBlock;
    bool text = false;
    bool json = false;
};

// A line on standard error, redrawn in place, while a long input is read;
// only on a terminal, and only once an input has taken a second.
class Progress {
public:
    explicit Progress(std::FILE* err) : err_(err), enabled_(isatty(fileno(err)) != 0) {}
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress() { clear(); }

    void start() { started_ = last_ = Clock::now(); }

    void update(const Input& input)
    {
        const Clock::time_point now = Clock::now();
        if (!enabled_ || now - started_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(200)) {
            return;
        }
        last_ = now;
        const double mb = static_cast<double>(input.bytes_read()) / 1e6;
        if (const auto size = input.size(); size && *size > 0) {
            fmt::print(err_, "\rcommstat: {}: {:.0f} of {:.0f} MB ({:.0f}%)\x1b[K", input.name(), mb,
                       static_cast<double>(*size) / 1e6,
                       100.0 * static_cast<double>(input.bytes_read()) / static_cast<double>(*size));
        } else {
            fmt::print(err_, "\rcommstat: {}: {:.0f} MB\x1b[K", input.name(), mb);
        }
        std::fflush(err_);
        shown_ = true;
    }

    void clear()
    {
        if (shown_) {
            std::fputs("\r\x1b[K", err_);
            std::fflush(err_);
            shown_ = false;
        }
    }

private:
    std::FILE* err_;
    bool enabled_;
    bool shown_ = false;
    Clock::time_point started_;
    Clock::time_point last_;
};

Stats measure(const std::string& name, const Options& options, const Streams& streams, BlockRunner& runner,
              std::span<float> buffer, Progress& progress, size_t method_count)
{
    const Clock::time_point start = Clock::now();
    progress.start();
    Stats stats(method_count);
    Input input(name, options.text ? Format::text : Format::raw, streams.in);
    const auto block = static_cast<size_t>(options.block);
    size_t count = buffer.size();
    while (count == buffer.size()) {
        const Clock::time_point read_start = Clock::now();
        count = input.read(buffer);
        stats.read_seconds += seconds_since(read_start);
        for (size_t first = 0; first < count; first += block) {
            runner.run(buffer.subspan(first, std::min(block, count - first)), stats);
        }
        progress.update(input);
    }
    if (stats.values == 0) {
        throw InputError(fmt::format("{}: empty input, no values", input.name()));
    }
    stats.input_bytes = input.bytes_read();
    stats.total_seconds = seconds_since(start);
    return stats;
}

void print_error(std::FILE* err, const std::string& message)
{
    fmt::print(err, "commstat: {}\n", message);
}

}  // namespace

int run(std::span<const char* const> argv, const Streams& streams, std::span<const CodecMethod> methods)
{
    Options options;
    CLI::App app(
        "Puts samples through both coding methods of the comm codec, block by block, and reports "
        "the stream sizes, the packets, whether every block came back intact, and how fast.",
        "commstat");
    app.add_option("FILE", options.files,
                   "float32 samples, little-endian, raw (or text with --text); - reads standard input")
        ->required();
    app.add_option("--block", options.block, fmt::format("values per block, 1 to {}", kMaxBlock))
        ->capture_default_str();
    app.add_flag("--text", options.text, "read one number per line instead of raw float32");
    app.add_flag("--json", options.json, "print one JSON document instead of tables");
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            fmt::print(streams.out, "{}", app.help());
            return 0;
        }
        print_error(streams.err, fmt::format("{} (see --help)", e.what()));
        return 2;
    }
    if (options.block < 1 || options.block > kMaxBlock) {
        print_error(streams.err, fmt::format("--block {} is outside 1..{}", options.block, kMaxBlock));
        return 2;
    }

    Results results{options.block, methods, {}, Stats(methods.size())};
    try {
        check_inputs(options.files, options.text ? Format::text : Format::raw, streams.in);
        const auto runner = std::make_unique<BlockRunner>(methods);
        const auto block = static_cast<size_t>(options.block);
        std::vector<float> buffer(std::max(size_t{1}, kReadValues / block) * block);
        Progress progress(streams.err);
        for (const std::string& name : options.files) {
            Stats stats = measure(name, options, streams, *runner, buffer, progress, methods.size());
            results.total.add(stats);
            results.inputs.push_back({name, std::move(stats)});
        }
    } catch (const InputError& e) {
        print_error(streams.err, e.what());
        return 2;
    }

    const std::string report = options.json ? json_report(results) : text_report(results);
    std::fwrite(report.data(), 1, report.size(), streams.out);
    std::fflush(streams.out);
    return results.total.round_trip_ok() ? 0 : 1;
}

}  // namespace commstat
