#include "cli/unpacker.hpp"

#include <bit>
#include <cmath>
#include <cstring>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

namespace comm_tool {
namespace {

// Losses named one by one before the rest are only counted (all with -v).
constexpr uint64_t kNamedLosses = 20;

uint32_t load_u32(const uint8_t* bytes)
{
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

bool good_packet_at(std::span<const uint8_t> bytes, size_t at)
{
    const size_t left = bytes.size() - at;
    return comm_wire_parse(bytes.data() + at, static_cast<int32_t>(std::min<size_t>(left, INT32_MAX)), nullptr) > 0;
}

void add_counts(comm::wire::counters& total, const comm::wire::counters& part)
{
    total.used += part.used;
    total.bad += part.bad;
    total.foreign += part.foreign;
    total.duplicates += part.duplicates;
    total.stale += part.stale;
    total.blocks += part.blocks;
    total.lost_blocks += part.lost_blocks;
}

}  // namespace

void add_fill_option(CLI::App& app, std::string& fill)
{
    app.add_option("--fill", fill, "nan: write each lost block as NaN values, so later ones keep their place");
}

bool fill_with_nan(const std::string& fill)
{
    if (!fill.empty() && fill != "nan") {
        throw InputError(fmt::format("--fill {} is not nan, the one fill there is", fill));
    }
    return fill == "nan";
}

InputKind classify(std::span<const uint8_t> first_bytes)
{
    static constexpr uint8_t kMagic[4] = {0x89, 0x43, 0x4D, 0x57};
    if (first_bytes.empty()) {
        return InputKind::empty;
    }
    for (size_t at = 0; at < first_bytes.size(); ++at) {
        if (first_bytes[at] == kMagic[0] && good_packet_at(first_bytes, at)) {
            return InputKind::packets;
        }
    }
    const bool magic = first_bytes.size() >= sizeof kMagic && std::memcmp(first_bytes.data(), kMagic, 4) == 0;
    if (magic && first_bytes.size() > 4 && first_bytes[4] != COMM_WIRE_VERSION) {
        return InputKind::bad_version;
    }
    return magic ? InputKind::damaged : InputKind::not_packets;
}

Unpacker::Unpacker(const Command& command, std::string source, Output* output, const UnpackOptions& options)
    : command_(command), source_(std::move(source)), output_(output), options_(options)
{
}

void Unpacker::start_stream(uint32_t stream_id)
{
    comm::wire::reassembler_options options;
    options.window = options_.window;
    if (options_.new_stream_on_id) {
        options.stream_id = stream_id;
    }
    reassembler_ = std::make_unique<comm::wire::reassembler>(options);
    stream_id_ = stream_id;
    ++streams_;
    stream_blocks_ = stream_values_ = stream_bytes_ = stream_packets_ = 0;
    stream_methods_.assign(library_methods().size(), 0);
}

void Unpacker::push(std::span<const uint8_t> packet)
{
    const bool has_id = packet.size() >= 16;
    const uint32_t id = has_id ? load_u32(packet.data() + 12) : 0;
    if (!reassembler_) {
        start_stream(id);
    } else if (options_.new_stream_on_id && has_id && (reassembler_->ended() || id != stream_id_)) {
        end_stream();
        start_stream(id);
    }
    reassembler_->push(packet, [this](const comm::wire::event& e) { on_event(e); });
}

void Unpacker::end_stream()
{
    if (!reassembler_->ended()) {
        reassembler_->finish([this](const comm::wire::event& e) { on_event(e); });
    }
    add_counts(totals_, reassembler_->counts());
}

void Unpacker::finish()
{
    if (!reassembler_) {
        damaged_ = true;
        command_.error(fmt::format("{}: no good packet at all", source_));
        return;
    }
    end_stream();
    reassembler_.reset();
    if (losses_named_ > kNamedLosses && !command_.verbose()) {
        command_.error(fmt::format("{}: {} more losses not named (-v names them all)", source_,
                                   grouped(losses_named_ - kNamedLosses)));
    }
}

void Unpacker::note_damage(const std::string& message)
{
    damaged_ = true;
    command_.error(fmt::format("{}: {}", source_, message));
}

void Unpacker::name_loss(const std::string& message)
{
    damaged_ = true;
    if (++losses_named_ <= kNamedLosses || command_.verbose()) {
        command_.error(fmt::format("{}: {}", source_, message));
    }
}

void Unpacker::write_nan(uint64_t count)
{
    if (nan_.empty()) {
        // Written as stored: the bytes of a little-endian NaN on every CPU.
        float nan = std::nanf("");
        if constexpr (std::endian::native == std::endian::big) {
            nan = std::bit_cast<float>(__builtin_bswap32(std::bit_cast<uint32_t>(nan)));
        }
        nan_.assign(size_t{1} << 14, nan);
    }
    while (count > 0) {
        const size_t part = static_cast<size_t>(std::min<uint64_t>(count, nan_.size()));
        output_->write(nan_.data(), part * sizeof(float));
        count -= part;
    }
}

void Unpacker::on_event(const comm::wire::event& e)
{
    using comm::wire::event_kind;
    if (e.kind == event_kind::block) {
        if (output_ != nullptr) {
            if constexpr (std::endian::native == std::endian::little) {
                output_->write(e.samples.data(), e.samples.size_bytes());
            } else {
                for (const float value : e.samples) {
                    const uint32_t little = __builtin_bswap32(std::bit_cast<uint32_t>(value));
                    output_->write(&little, sizeof little);
                }
            }
        }
        const uint8_t wire_method = comm::wire::method_byte(e.coding);
        const std::span<const CodecMethod> methods = library_methods();
        for (size_t m = 0; m < methods.size(); ++m) {
            stream_methods_[m] += methods[m].wire_method == wire_method ? 1 : 0;
        }
        const size_t packets = comm::packet_count(e.stream.size());
        ++blocks_;
        values_ += e.values;
        ++stream_blocks_;
        stream_values_ += e.values;
        stream_bytes_ += e.stream.size();
        stream_packets_ += packets;
        if (options_.list_blocks) {
            const CodecMethod* method = method_of_wire(methods, wire_method);
            fmt::print(command_.streams().out, "  block {}: values {} to {}, {}, {} stream bytes in {} packet{}\n",
                       e.sequence, grouped(e.position), grouped(e.position + e.values - 1),
                       method != nullptr ? method->name : "?", grouped(e.stream.size()), packets,
                       packets == 1 ? "" : "s");
        }
        return;
    }
    if (e.kind == event_kind::lost) {
        lost_blocks_ += e.blocks;
        const std::string which = e.blocks == 1 ? fmt::format("block {}", e.sequence)
                                                : fmt::format("blocks {} to {}", e.sequence, e.sequence + e.blocks - 1);
        std::string what;
        if (e.values_known && e.values > 0) {
            what = fmt::format("{} values from {}", grouped(e.values), grouped(e.position));
        } else if (e.values_known) {
            what = "no values";
        } else {
            what = "how many values unknown";
        }
        if (options_.fill_nan && output_ != nullptr) {
            if (e.values_known) {
                write_nan(e.values);
                what += ", written as NaN";
            } else {
                what += ", so not filled: later values are out of place";
            }
        }
        name_loss(fmt::format("{} lost ({})", which, what));
        if (options_.list_blocks) {
            fmt::print(command_.streams().out, "  {} lost\n", which);
        }
        return;
    }
    // The end of the stream.
    if (!e.end_seen) {
        name_loss(fmt::format("stream {:08x}: no end packet after block {}: the input is cut short or its tail lost",
                              stream_id_, e.sequence == 0 ? 0 : e.sequence - 1));
    } else if (!e.intact) {
        name_loss(fmt::format(
            "stream {:08x}: its end packet counts {} blocks, {} values; {} blocks, {} values came "
            "whole",
            stream_id_, grouped(e.blocks), grouped(e.position), grouped(stream_blocks_), grouped(stream_values_)));
    }
    if (options_.list_streams) {
        std::string methods;
        const std::span<const CodecMethod> all = library_methods();
        for (size_t m = 0; m < all.size(); ++m) {
            if (stream_methods_[m] > 0) {
                methods +=
                    fmt::format("{}{} {}", methods.empty() ? "" : ", ", all[m].name, grouped(stream_methods_[m]));
            }
        }
        fmt::print(command_.streams().out,
                   "stream {:08x}: {} blocks ({}), {} values, {} stream bytes in {} packets{}\n", stream_id_,
                   grouped(stream_blocks_), methods.empty() ? "none" : methods, grouped(stream_values_),
                   grouped(stream_bytes_), grouped(stream_packets_), e.end_seen && e.intact ? ", intact" : ", DAMAGED");
    }
}

}  // namespace comm_tool
