#include "cli/stat.hpp"

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli/input.hpp"
#include "cli/report.hpp"

namespace comm_tool {
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
    std::string block = std::to_string(kDefaultBlock);
    bool text = false;
    bool json = false;
};

Stats measure(const std::string& name, const Options& options, size_t block, const Streams& streams,
              BlockRunner& runner, std::span<float> buffer, Progress& progress, size_t method_count)
{
    const Clock::time_point start = Clock::now();
    Stats stats(method_count);
    Input input(name, options.text ? Format::text : Format::raw, streams.in);
    size_t count = buffer.size();
    while (count == buffer.size()) {
        const Clock::time_point read_start = Clock::now();
        count = input.read(buffer);
        stats.read_seconds += seconds_since(read_start);
        for (size_t first = 0; first < count; first += block) {
            runner.run(buffer.subspan(first, std::min(block, count - first)), stats);
        }
        progress.update(input.name(), input.bytes_read(), input.size().value_or(0));
    }
    if (stats.values == 0) {
        throw InputError(fmt::format("{}: empty input, no values", input.name()));
    }
    stats.input_bytes = input.bytes_read();
    stats.total_seconds = seconds_since(start);
    return stats;
}

}  // namespace

int run_stat(std::span<const char* const> argv, const Streams& streams, std::span<const CodecMethod> methods)
{
    Command command(argv.empty() ? "comm stat" : argv[0], streams);
    Options options;
    CLI::App app(
        "Puts samples through every coding method of the comm codec, block by block, and reports "
        "the stream sizes, the packets, whether every block came back intact, the quantisation error, "
        "and how fast.",
        command.name());
    app.add_option("FILE", options.files,
                   "float32 samples, little-endian, raw (or text with --text); - reads standard input")
        ->required();
    app.add_option("--block", options.block, fmt::format("values per block, 1 to {}", kMaxBlock))
        ->capture_default_str();
    app.add_flag("--text", options.text, "read one number per line instead of raw float32");
    app.add_flag("--json", options.json, "print one JSON document instead of tables");
    command.add_verbosity(app);
    if (const std::optional<int> status = command.parse(app, argv)) {
        return *status;
    }

    Results results{0, methods, {}, Stats(methods.size())};
    try {
        results.block = static_cast<int32_t>(whole_option("--block", options.block, 1, kMaxBlock));
        check_inputs(options.files, options.text ? Format::text : Format::raw, streams.in);
        const auto runner = std::make_unique<BlockRunner>(methods);
        const auto block = static_cast<size_t>(results.block);
        std::vector<float> buffer(std::max(size_t{1}, kReadValues / block) * block);
        Progress progress(command);
        for (const std::string& name : options.files) {
            progress.start();
            Stats stats = measure(name, options, block, streams, *runner, buffer, progress, methods.size());
            results.total.add(stats);
            results.inputs.push_back({name, std::move(stats)});
        }
    } catch (const InputError& e) {
        command.error(e.what());
        return 2;
    }

    const std::string report = options.json ? json_report(results) : text_report(results);
    std::fwrite(report.data(), 1, report.size(), streams.out);
    std::fflush(streams.out);
    return results.total.round_trip_ok() ? 0 : 1;
}

}  // namespace comm_tool
