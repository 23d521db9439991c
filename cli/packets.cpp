#include "cli/packets.hpp"

#include <functional>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli/input.hpp"
#include "cli/measure.hpp"
#include "cli/methods.hpp"
#include "cli/unpacker.hpp"
#include "comm/wire.h"
#include "comm/wire.hpp"

namespace comm_tool {
namespace {

std::string percent(uint64_t part, uint64_t whole)
{
    return whole == 0 ? std::string("-")
                      : fmt::format("{:.1f}%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
}

// ---- comm pack

struct PackOptions {
    std::string in;
    std::string out;
    std::string method = "auto";
    std::string block = std::to_string(kDefaultBlock);
    bool force = false;
};

// Codes blocks with one method or, for auto, with each and keeps the smallest.
class BlockPacker {
public:
    BlockPacker(std::span<const CodecMethod> candidates, uint32_t stream_id)
        : candidates_(candidates), streams_(candidates.size()), sizes_(candidates.size()), chosen_(candidates.size())
    {
        for (std::vector<uint8_t>& stream : streams_) {
            stream.resize(comm::max_stream_bytes(comm::max_block_values));
        }
        packets_.resize(comm::wire::block_max_bytes(comm::max_block_values));
        comm_wire_sender_init(&sender_, stream_id, 0);
    }

    // The packets of one block of 1..DECODE_MAX_VALUES values.
    std::span<const uint8_t> pack(std::span<const float> block)
    {
        const auto n = static_cast<int32_t>(block.size());
        for (size_t m = 0; m < candidates_.size(); ++m) {
            sizes_[m] = candidates_[m].encode(block.data(), streams_[m].data(), n);
        }
        const size_t best = smallest_stream(sizes_).value_or(0);
        ++chosen_[best];
        const int32_t written =
            comm_wire_send_stream(&sender_, candidates_[best].wire_method, streams_[best].data(), sizes_[best], n,
                                  packets_.data(), static_cast<int32_t>(packets_.size()));
        packets_written_ += comm::packet_count(static_cast<size_t>(sizes_[best]));
        return {packets_.data(), static_cast<size_t>(written)};
    }

    std::span<const uint8_t> end()
    {
        const int32_t written = comm_wire_send_end(&sender_, packets_.data(), static_cast<int32_t>(packets_.size()));
        ++packets_written_;
        return {packets_.data(), static_cast<size_t>(written)};
    }

    // "pairs 3, escaped 4"
    [[nodiscard]] std::string choices() const
    {
        std::string text;
        for (size_t m = 0; m < candidates_.size(); ++m) {
            text += fmt::format("{}{} {}", text.empty() ? "" : ", ", candidates_[m].name, grouped(chosen_[m]));
        }
        return text;
    }
    [[nodiscard]] uint64_t packets() const { return packets_written_; }
    [[nodiscard]] uint32_t blocks() const { return sender_.blocks; }

private:
    std::span<const CodecMethod> candidates_;
    std::vector<std::vector<uint8_t>> streams_;
    std::vector<int32_t> sizes_;
    std::vector<uint64_t> chosen_;
    std::vector<uint8_t> packets_;
    comm_wire_sender sender_{};
    uint64_t packets_written_ = 0;
};

uint32_t random_stream_id()
{
    std::random_device random;
    return static_cast<uint32_t>(random());
}

int pack(const Command& command, const PackOptions& options)
{
    const auto block = static_cast<size_t>(whole_option("--block", options.block, 1, DECODE_MAX_VALUES));
    const std::span<const CodecMethod> all = library_methods();
    std::span<const CodecMethod> candidates = all;
    if (options.method != "auto") {
        const std::optional<size_t> m = find_method(all, options.method);
        if (!m) {
            std::string names;
            for (const CodecMethod& method : all) {
                names += fmt::format("{}|", method.name);
            }
            throw InputError(fmt::format("--method {} is not one of {}auto", options.method, names));
        }
        candidates = all.subspan(*m, 1);
    }
    Input input(options.in, Format::raw, command.streams().in);
    if (input.size().value_or(0) % sizeof(float) != 0) {
        throw InputError(
            fmt::format("{}: {} bytes is not a whole number of 4-byte float32 values", input.name(), *input.size()));
    }
    Output output(options.out, options.force, command.streams());
    BlockPacker packer(candidates, random_stream_id());
    std::vector<float> values(std::max(size_t{1}, (kPiece / sizeof(float)) / block) * block);
    std::vector<uint8_t> pending;
    pending.reserve(kPiece + comm::wire::block_max_bytes(comm::max_block_values));
    Progress progress(command);
    progress.start();
    size_t count = values.size();
    while (count == values.size()) {
        count = input.read(values);
        for (size_t first = 0; first < count; first += block) {
            const std::span<const uint8_t> packets =
                packer.pack(std::span<const float>(values).subspan(first, std::min(block, count - first)));
            pending.insert(pending.end(), packets.begin(), packets.end());
        }
        output.write(pending.data(), pending.size());
        pending.clear();
        progress.update(input.name(), input.bytes_read(), input.size().value_or(0));
    }
    const std::span<const uint8_t> end = packer.end();
    output.write(end.data(), end.size());
    output.finish();
    progress.clear();
    command.note(fmt::format("{}: {} values in {} blocks ({}) -> {}: {} bytes, {} of the input, in {} packets",
                             input.name(), grouped(input.bytes_read() / sizeof(float)), grouped(packer.blocks()),
                             packer.choices(), output.name(), grouped(output.bytes_written()),
                             percent(output.bytes_written(), input.bytes_read()), grouped(packer.packets())));
    return 0;
}

// ---- comm unpack, test and list

struct ReadOptions {
    std::string in;
    std::string out;
    std::string fill;
    bool force = false;
};

enum class Mode { unpack, test, list };

// Reads a .comm input through the reader into `unpacker`; refuses, before
// anything is written, an input that is not a .comm file.
int read_packets(const Command& command, InputFile& input, Unpacker& unpacker,
                 const std::function<void()>& before_writing)
{
    std::vector<uint8_t> piece(kPiece);
    size_t got = input.read(piece);
    switch (classify(std::span<const uint8_t>(piece).first(got))) {
        case InputKind::empty:
            throw InputError(fmt::format("{}: empty, not a .comm file", input.name()));
        case InputKind::not_packets:
            throw InputError(fmt::format("{}: not a .comm file (no packet magic)", input.name()));
        case InputKind::bad_version:
            throw InputError(fmt::format("{}: .comm version {} is not supported (this build reads version {})",
                                         input.name(), piece[4], COMM_WIRE_VERSION));
        case InputKind::damaged:
        case InputKind::packets:
            break;
    }
    before_writing();
    comm::wire::reader reader;
    Progress progress(command);
    progress.start();
    const auto on_packet = [&unpacker](std::span<const uint8_t> packet) { unpacker.push(packet); };
    while (got > 0) {
        reader.feed(std::span<const uint8_t>(piece).first(got), on_packet);
        progress.update(input.name(), input.bytes_read(), input.size());
        got = input.read(piece);
    }
    reader.finish(on_packet);
    progress.clear();
    unpacker.finish();
    if (reader.damaged_bytes() > 0) {
        unpacker.note_damage(fmt::format("{} damaged bytes skipped, in {} stretch{}", grouped(reader.damaged_bytes()),
                                         grouped(reader.damaged_stretches()),
                                         reader.damaged_stretches() == 1 ? "" : "es"));
    }
    return unpacker.damaged() ? 1 : 0;
}

int read_command(const Command& command, const ReadOptions& options, Mode mode)
{
    const bool fill_nan = fill_with_nan(options.fill);
    InputFile input(options.in, command.streams());
    std::optional<Output> output;
    UnpackOptions unpack_options;
    unpack_options.fill_nan = fill_nan;
    unpack_options.list_streams = mode == Mode::list;
    unpack_options.list_blocks = mode == Mode::list && command.verbose();
    Unpacker unpacker(command, input.name(), nullptr, unpack_options);
    const auto open_output = [&] {
        if (mode == Mode::unpack) {
            unpacker.set_output(&output.emplace(options.out, options.force, command.streams()));
        }
    };
    const int status = read_packets(command, input, unpacker, open_output);
    if (output) {
        output->finish();
    }
    const std::string summary =
        fmt::format("{} blocks, {} values, {} stream{}", grouped(unpacker.blocks()), grouped(unpacker.values()),
                    grouped(unpacker.streams()), unpacker.streams() == 1 ? "" : "s");
    if (status == 0) {
        command.note(fmt::format("{}: ok, {}{}", input.name(), summary,
                                 output ? fmt::format(" -> {}", output->name()) : std::string()));
    } else {
        command.error(fmt::format("{}: DAMAGED, {} block{} lost; {} came whole{}", input.name(),
                                  grouped(unpacker.lost_blocks()), unpacker.lost_blocks() == 1 ? "" : "s", summary,
                                  output ? fmt::format(" -> {}", output->name()) : std::string()));
    }
    const comm::wire::counters& counts = unpacker.totals();
    command.detail(fmt::format("packets: {} used, {} bad, {} of another stream, {} duplicates, {} stale",
                               grouped(counts.used), grouped(counts.bad), grouped(counts.foreign),
                               grouped(counts.duplicates), grouped(counts.stale)));
    return status;
}

int run_reading(std::span<const char* const> argv, const Streams& streams, Mode mode, const char* description)
{
    Command command(argv.empty() ? "comm" : argv[0], streams);
    ReadOptions options;
    CLI::App app(description, command.name());
    app.add_option("IN", options.in, ".comm file; - reads standard input")->required();
    if (mode == Mode::unpack) {
        app.add_option("OUT", options.out, "float32 file, little-endian; - writes standard output")->required();
        add_fill_option(app, options.fill);
        Command::add_force(app, options.force);
    }
    command.add_verbosity(app);
    if (const std::optional<int> status = command.parse(app, argv)) {
        return *status;
    }
    return guarded(command, [&] { return read_command(command, options, mode); });
}

}  // namespace

int run_pack(std::span<const char* const> argv, const Streams& streams)
{
    Command command(argv.empty() ? "comm pack" : argv[0], streams);
    PackOptions options;
    CLI::App app(
        "Codes float32 samples block by block as wire packets: a .comm file holds exactly what would "
        "travel on the wire.",
        command.name());
    app.add_option("IN", options.in, "float32 samples, little-endian; - reads standard input")->required();
    app.add_option("OUT", options.out, ".comm file; - writes standard output")->required();
    app.add_option("--method", options.method,
                   "pairs, escaped, or auto: each block by whichever method makes it smaller")
        ->capture_default_str();
    app.add_option("--block", options.block, fmt::format("values per block, 1 to {}", DECODE_MAX_VALUES))
        ->capture_default_str();
    Command::add_force(app, options.force);
    command.add_verbosity(app);
    if (const std::optional<int> status = command.parse(app, argv)) {
        return *status;
    }
    return guarded(command, [&] { return pack(command, options); });
}

int run_unpack(std::span<const char* const> argv, const Streams& streams)
{
    return run_reading(argv, streams, Mode::unpack,
                       "Decodes a .comm file back to float32 samples. Lost blocks are named on standard error and "
                       "the exit status is 1; nothing of a lost block is written, unless --fill nan.");
}

int run_test(std::span<const char* const> argv, const Streams& streams)
{
    return run_reading(argv, streams, Mode::test,
                       "Checks a .comm file, writing nothing: exit status 0 when every block is whole, 1 with the "
                       "losses named.");
}

int run_list(std::span<const char* const> argv, const Streams& streams)
{
    return run_reading(argv, streams, Mode::list,
                       "Lists a .comm file's streams, their blocks, methods and sizes, and any damage (-v: every "
                       "block).");
}

}  // namespace comm_tool
