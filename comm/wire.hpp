// comm/wire.hpp: the C++ interface to wire packets (C++20, header only).
//
//   sender        packs blocks into wire packets, then the end packet
//   reader        finds the good packets in a file's bytes, skipping damage
//   reassembler   takes packets in any order and gives back, in sequence
//                 order, each block exactly as it was sent or a report that it
//                 was lost, then the end of the stream
//
// The packet layout and the C functions underneath are in comm/wire.h;
// doc/wire_format.md has the layout byte for byte. Errors are comm::errc codes,
// as in comm/comm.hpp, with the same two forms: a trailing std::error_code&
// (noexcept) or std::system_error. Bad packets are not errors here: the reader
// and reassembler count them and carry on, since damage is what they are for.
#ifndef COMM_WIRE_HPP
#define COMM_WIRE_HPP

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <system_error>
#include <vector>

#include "comm.hpp"
#include "wire.h"

namespace comm::wire {

inline constexpr std::size_t header_size = COMM_WIRE_HEADER_SIZE;
inline constexpr std::size_t packet_max_size = COMM_WIRE_PACKET_MAX_SIZE;
inline constexpr std::size_t end_size = COMM_WIRE_END_SIZE;
inline constexpr std::size_t block_max_packets = COMM_WIRE_BLOCK_MAX_PACKETS;

// Room sender::pack needs for a block of `values` values (1..max_block_values).
constexpr std::size_t block_max_bytes(std::size_t values) noexcept
{
    return max_stream_bytes(values) + header_size * packet_count(max_stream_bytes(values));
}

// The method byte of the wire header for a method, and back: nullopt for any
// byte this library cannot decode (0, and 4 and above).
constexpr std::uint8_t method_byte(method m) noexcept;
constexpr std::optional<method> method_from_byte(std::uint8_t byte) noexcept;

// CRC-32C of `bytes`, continuing from `crc` (start from 0); see comm_crc32c.
inline std::uint32_t crc32c(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0) noexcept
{
    return comm_crc32c(crc, bytes.data(), bytes.size());
}

// The sending side of one stream: numbers the blocks, tracks their positions
// and the stream checksum. Packets of a block are written back to back into
// the caller's span; each is one datagram (its size is header_size plus its
// length field; packets(...) below walks them).
class sender {
public:
    // The first block gets `first_sequence` and position 0.
    explicit sender(std::uint32_t stream_id, std::uint32_t first_sequence = 0) noexcept;

    // Encodes a block of 1..max_block_values values with `m` and writes its
    // packets into `out`, which needs block_max_bytes(values.size()) bytes.
    // Returns the bytes written. On an error (empty_input, block_too_long,
    // output_too_small) nothing is written and the sender is unchanged.
    std::size_t pack(method m, std::span<const float> values, std::span<std::uint8_t> out,
                     std::error_code& ec) noexcept;

    // The same for a block already encoded with `m` from `values` values
    // (encode's result): `out` needs stream.size() + header_size per packet.
    // Errors as pack, and input_too_long for a stream longer than
    // max_stream_bytes(values).
    std::size_t pack_stream(method m, std::span<const std::uint8_t> stream, std::size_t values,
                            std::span<std::uint8_t> out, std::error_code& ec) noexcept;

    // Writes the end packet (end_size bytes) for the blocks packed so far.
    // Returns end_size; output_too_small and nothing written if `out` is shorter.
    std::size_t end(std::span<std::uint8_t> out, std::error_code& ec) const noexcept;

    [[nodiscard]] std::uint32_t stream_id() const noexcept { return state_.stream_id; }
    [[nodiscard]] std::uint32_t next_sequence() const noexcept { return state_.next_sequence; }
    [[nodiscard]] std::uint64_t position() const noexcept { return state_.position; }

#if defined(__cpp_exceptions)
    // Throwing forms, and forms that return the packets in a new vector.
    std::size_t pack(method m, std::span<const float> values, std::span<std::uint8_t> out);
    [[nodiscard]] std::vector<std::uint8_t> pack(method m, std::span<const float> values);
    [[nodiscard]] std::vector<std::uint8_t> end() const;
#endif

private:
    comm_wire_sender state_{};
};

// Calls on_packet(std::span<const std::uint8_t>) for each packet of a span the
// sender filled (good packets back to back), in order. Stops at the first
// bytes that are not a good packet and returns the bytes walked.
template <class OnPacket>
std::size_t packets(std::span<const std::uint8_t> bytes, OnPacket&& on_packet);

// Finds the good packets in a file read in pieces of any size. A packet that
// fails its checks is skipped byte by byte up to the next place where a magic
// starts a packet whose fields and CRC are good, so damage costs only the
// packets it touches. Holds at most one packet's bytes between calls.
class reader {
public:
    // Scans the next bytes of the file. Calls on_packet(std::span<const
    // std::uint8_t>) for each good packet, in file order; the span is valid
    // during the call only. A packet cut by the end of `bytes` waits for the
    // next call.
    template <class OnPacket>
    void feed(std::span<const std::uint8_t> bytes, OnPacket&& on_packet);

    // The file has ended: bytes still held (a cut packet) count as damage.
    template <class OnPacket>
    void finish(OnPacket&& on_packet);

    [[nodiscard]] std::uint64_t packets() const noexcept { return packets_; }
    // Bytes skipped as damage, and the stretches they formed.
    [[nodiscard]] std::uint64_t damaged_bytes() const noexcept { return damaged_bytes_; }
    [[nodiscard]] std::uint64_t damaged_stretches() const noexcept { return damaged_stretches_; }

private:
    template <class OnPacket>
    std::size_t scan(std::span<const std::uint8_t> bytes, bool at_end, OnPacket& on_packet);

    std::vector<std::uint8_t> carry_;
    std::uint64_t packets_ = 0;
    std::uint64_t damaged_bytes_ = 0;
    std::uint64_t damaged_stretches_ = 0;
    bool in_damage_ = false;
};

// What the reassembler gives back, in sequence order.
enum class event_kind {
    block,  // a block, exactly as it was sent
    lost,   // blocks that will not be given back
    end,    // the stream is over; nothing follows
};

struct event {
    event_kind kind = event_kind::end;
    // block, lost: the (first) block's sequence number. end: one past the last.
    std::uint32_t sequence = 0;
    // block: 1. lost: how many blocks in a row, 1 for a block of which some
    // packets came. end: the blocks the end packet counts.
    std::uint32_t blocks = 0;
    // block, lost: the first value's index in the stream, if known. end: the
    // values the end packet counts.
    std::uint64_t position = 0;
    // block: values.size(). lost: how many values the lost blocks held, when
    // values_known (a later block or the end packet tells it).
    std::uint64_t values = 0;
    bool values_known = false;
    // block: the method it was coded with, its values and its stream; the
    // spans are valid during the callback only.
    method coding = method::pairs;
    std::span<const float> samples{};
    std::span<const std::uint8_t> stream{};
    // end: true when the end packet came, nothing was lost, and its block
    // count, value count and stream checksum match what was given back.
    // end_seen: whether the end packet came at all.
    bool intact = false;
    bool end_seen = false;
};

// Packets counted by the reassembler; every packet pushed is counted in
// exactly one of the first five.
struct counters {
    std::uint64_t used = 0;         // held for a block, or the end packet
    std::uint64_t bad = 0;          // failed comm_wire_parse, size not one packet, or at odds with its block
    std::uint64_t foreign = 0;      // good, of another stream
    std::uint64_t duplicates = 0;   // a packet already held
    std::uint64_t stale = 0;        // for a block already given back or given up, or after the end
    std::uint64_t blocks = 0;       // blocks given back
    std::uint64_t lost_blocks = 0;  // blocks reported lost
};

struct reassembler_options {
    // Blocks held at once, rounded up to a power of two, 1..max_window. Each
    // costs block_max_packets * 650 bytes.
    std::size_t window = 32;
    // The stream to accept; other streams' packets are counted and dropped.
    // Unset: the stream of the first good packet.
    std::optional<std::uint32_t> stream_id;
    // The first block's sequence number. Unset: the first good packet's
    // block; blocks before it then count as stale, and losing them shows only
    // as an end that is not intact.
    std::optional<std::uint32_t> first_sequence = 0;
};

// Reorders, checks and decodes the packets of one stream. Memory is fixed at
// construction (the window), whatever is pushed. Block b is given back when
// all its packets have come and every block before it is given back or lost;
// it is given up as lost when a packet arrives for block b + window or later,
// or at finish(). A block is lost when packets are missing, disagree with each
// other (the block crc in each tells the packets of different blocks apart),
// or its stream does not decode to exactly its value count.
class reassembler {
public:
    static constexpr std::size_t max_window = 1024;

    explicit reassembler(const reassembler_options& options = {});

    // Takes one datagram, which must be exactly one packet, and calls
    // on_event(const event&) for each event it completes, in order.
    template <class OnEvent>
    void push(std::span<const std::uint8_t> datagram, OnEvent&& on_event);

    // No more packets will come: every block not given back is reported lost,
    // then the end event. Later pushes count as stale.
    template <class OnEvent>
    void finish(OnEvent&& on_event);

    [[nodiscard]] const counters& counts() const noexcept { return counts_; }
    [[nodiscard]] bool ended() const noexcept { return ended_; }

private:
    // One block in the window: its header fields, checked against each packet.
    struct slot {
        bool used = false;
        bool conflict = false;  // packets that disagree: the block is lost
        std::uint8_t method_byte = 0;
        std::uint8_t count = 0;
        std::uint8_t received = 0;
        std::uint16_t last_length = 0;
        std::uint32_t held = 0;  // bit i: packet i is held
        std::uint32_t values = 0;
        std::uint32_t block_crc = 0;
        std::uint64_t position = 0;
    };

    template <class OnEvent>
    void push_data(const comm_wire_header& header, const std::uint8_t* payload, OnEvent& on_event);
    template <class OnEvent>
    void push_end(const comm_wire_header& header, OnEvent& on_event);
    template <class OnEvent>
    void give_up_before(std::uint32_t sequence, OnEvent& on_event);
    template <class OnEvent>
    void close_base(OnEvent& on_event);
    template <class OnEvent>
    void report_run(std::optional<std::uint64_t> next_position, OnEvent& on_event);
    template <class OnEvent>
    void drain(OnEvent& on_event);
    template <class OnEvent>
    void end_stream(OnEvent& on_event);
    slot& slot_of(std::uint32_t sequence) noexcept { return slots_[sequence & mask_]; }
    std::uint8_t* bytes_of(std::uint32_t sequence) noexcept;

    std::uint32_t mask_;
    std::vector<slot> slots_;
    std::vector<std::uint8_t> bytes_;  // block_max_packets * 650 bytes per slot
    std::vector<float> samples_;
    counters counts_;
    std::optional<std::uint32_t> stream_id_;
    std::optional<std::uint32_t> first_sequence_;
    bool started_ = false;
    std::uint32_t held_blocks_ = 0;  // slots in use
    // The oldest block not yet given back or up, and its position if known.
    std::uint32_t base_ = 0;
    std::optional<std::uint64_t> base_position_;
    // Blocks given up with none of their packets, not yet reported: reported
    // as one event once the position after them is known.
    std::uint32_t run_blocks_ = 0;
    std::uint32_t run_start_ = 0;
    std::optional<std::uint64_t> run_position_;
    // The end packet, once it came.
    bool end_seen_ = false;
    comm_wire_header end_{};
    // For the end event: the checksum of the blocks given back, and losses.
    std::uint32_t checksum_ = 0;
    bool lost_any_ = false;
    bool ended_ = false;
};

// Definitions.

constexpr std::uint8_t method_byte(method m) noexcept
{
    switch (m) {
        case method::pairs:
            return COMM_WIRE_PAIRS;
        case method::escaped:
            return COMM_WIRE_ESCAPED;
        case method::deltas:
            break;
    }
    return COMM_WIRE_DELTAS;
}

constexpr std::optional<method> method_from_byte(std::uint8_t byte) noexcept
{
    if (byte == COMM_WIRE_PAIRS) {
        return method::pairs;
    }
    if (byte == COMM_WIRE_ESCAPED) {
        return method::escaped;
    }
    if (byte == COMM_WIRE_DELTAS) {
        return method::deltas;
    }
    return std::nullopt;
}

namespace wire_detail {

inline std::int32_t clamp_room(std::size_t size) noexcept
{
    return size > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(size);
}

}  // namespace wire_detail

inline sender::sender(std::uint32_t stream_id, std::uint32_t first_sequence) noexcept
{
    comm_wire_sender_init(&state_, stream_id, first_sequence);
}

inline std::size_t sender::pack(method m, std::span<const float> values, std::span<std::uint8_t> out,
                                std::error_code& ec) noexcept
{
    ec.clear();
    if (values.empty()) {
        return interface_detail::fail(ec, errc::empty_input);
    }
    if (values.size() > max_block_values) {
        return interface_detail::fail(ec, errc::block_too_long);
    }
    if (out.size() < block_max_bytes(values.size())) {
        return interface_detail::fail(ec, errc::output_too_small);
    }
    return static_cast<std::size_t>(comm_wire_send_block(&state_, method_byte(m), values.data(),
                                                         static_cast<std::int32_t>(values.size()), out.data(),
                                                         wire_detail::clamp_room(out.size())));
}

inline std::size_t sender::pack_stream(method m, std::span<const std::uint8_t> stream, std::size_t values,
                                       std::span<std::uint8_t> out, std::error_code& ec) noexcept
{
    ec.clear();
    if (stream.empty() || values == 0) {
        return interface_detail::fail(ec, errc::empty_input);
    }
    if (values > max_block_values) {
        return interface_detail::fail(ec, errc::block_too_long);
    }
    if (stream.size() > max_stream_bytes(values)) {
        return interface_detail::fail(ec, errc::input_too_long);
    }
    if (out.size() < stream.size() + header_size * packet_count(stream.size())) {
        return interface_detail::fail(ec, errc::output_too_small);
    }
    return static_cast<std::size_t>(
        comm_wire_send_stream(&state_, method_byte(m), stream.data(), static_cast<std::int32_t>(stream.size()),
                              static_cast<std::int32_t>(values), out.data(), wire_detail::clamp_room(out.size())));
}

inline std::size_t sender::end(std::span<std::uint8_t> out, std::error_code& ec) const noexcept
{
    ec.clear();
    if (out.size() < end_size) {
        return interface_detail::fail(ec, errc::output_too_small);
    }
    return static_cast<std::size_t>(comm_wire_send_end(&state_, out.data(), wire_detail::clamp_room(out.size())));
}

#if defined(__cpp_exceptions)

inline std::size_t sender::pack(method m, std::span<const float> values, std::span<std::uint8_t> out)
{
    std::error_code ec;
    const std::size_t bytes = pack(m, values, out, ec);
    return interface_detail::or_throw(bytes, ec);
}

inline std::vector<std::uint8_t> sender::pack(method m, std::span<const float> values)
{
    std::vector<std::uint8_t> out(block_max_bytes(std::min(values.size(), max_block_values)));
    out.resize(pack(m, values, std::span<std::uint8_t>(out)));
    return out;
}

inline std::vector<std::uint8_t> sender::end() const
{
    std::vector<std::uint8_t> out(end_size);
    std::error_code ec;
    static_cast<void>(end(std::span<std::uint8_t>(out), ec));
    return out;
}

#endif  // __cpp_exceptions

template <class OnPacket>
std::size_t packets(std::span<const std::uint8_t> bytes, OnPacket&& on_packet)
{
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::int32_t size =
            comm_wire_parse(bytes.data() + at, wire_detail::clamp_room(bytes.size() - at), nullptr);
        if (size <= 0) {
            break;
        }
        on_packet(bytes.subspan(at, static_cast<std::size_t>(size)));
        at += static_cast<std::size_t>(size);
    }
    return at;
}

template <class OnPacket>
std::size_t reader::scan(std::span<const std::uint8_t> bytes, bool at_end, OnPacket& on_packet)
{
    constexpr std::uint8_t magic_first = 0x89;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t left = bytes.size() - at;
        const std::int32_t size = comm_wire_parse(bytes.data() + at, wire_detail::clamp_room(left), nullptr);
        if (size > 0) {
            in_damage_ = false;
            ++packets_;
            on_packet(bytes.subspan(at, static_cast<std::size_t>(size)));
            at += static_cast<std::size_t>(size);
            continue;
        }
        if (size == COMM_WIRE_TRUNCATED && !at_end) {
            break;  // perhaps a packet that the next bytes complete
        }
        // Damage: skip to the next byte that could start a magic.
        const void* next = std::memchr(bytes.data() + at + 1, magic_first, left - 1);
        const std::size_t to = next != nullptr
                                   ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(next) - bytes.data())
                                   : bytes.size();
        damaged_bytes_ += to - at;
        damaged_stretches_ += in_damage_ ? 0 : 1;
        in_damage_ = true;
        at = to;
    }
    return at;
}

template <class OnPacket>
void reader::feed(std::span<const std::uint8_t> bytes, OnPacket&& on_packet)
{
    if (!carry_.empty()) {
        // Bytes held from the last call, joined with enough new ones that a
        // packet starting among them is whole: at least one byte is held.
        const std::size_t held = carry_.size();
        const std::size_t take = std::min(bytes.size(), packet_max_size - 1);
        carry_.insert(carry_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
        const std::size_t done = scan(std::span<const std::uint8_t>(carry_), false, on_packet);
        if (done < held) {
            // Only when every new byte is in carry_: keep waiting.
            carry_.erase(carry_.begin(), carry_.begin() + static_cast<std::ptrdiff_t>(done));
            return;
        }
        carry_.clear();
        bytes = bytes.subspan(done - held);
    }
    const std::size_t done = scan(bytes, false, on_packet);
    carry_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(done), bytes.end());
}

template <class OnPacket>
void reader::finish(OnPacket&& on_packet)
{
    static_cast<void>(scan(std::span<const std::uint8_t>(carry_), true, on_packet));
    carry_.clear();
}

inline reassembler::reassembler(const reassembler_options& options)
    : mask_(static_cast<std::uint32_t>(std::bit_ceil(std::clamp<std::size_t>(options.window, 1, max_window)) - 1)),
      slots_(mask_ + std::size_t{1}),
      bytes_(slots_.size() * block_max_packets * packet_data_size),
      samples_(max_block_values),
      stream_id_(options.stream_id),
      first_sequence_(options.first_sequence)
{
    if (first_sequence_) {
        started_ = true;
        base_ = *first_sequence_;
        base_position_ = 0;
    }
}

inline std::uint8_t* reassembler::bytes_of(std::uint32_t sequence) noexcept
{
    return bytes_.data() + (sequence & mask_) * (block_max_packets * packet_data_size);
}

template <class OnEvent>
void reassembler::push(std::span<const std::uint8_t> datagram, OnEvent&& on_event)
{
    if (ended_) {
        ++counts_.stale;
        return;
    }
    comm_wire_header header{};
    if (datagram.size() > packet_max_size ||
        comm_wire_parse(datagram.data(), static_cast<std::int32_t>(datagram.size()), &header) !=
            static_cast<std::int32_t>(datagram.size())) {
        ++counts_.bad;
        return;
    }
    if (!stream_id_) {
        stream_id_ = header.stream_id;
    } else if (header.stream_id != *stream_id_) {
        ++counts_.foreign;
        return;
    }
    if (!started_) {
        started_ = true;
        const bool end = header.kind == COMM_WIRE_END;
        base_ = end ? header.sequence - header.blocks : header.sequence;
        base_position_ = end ? 0 : header.position;
    }
    if (header.kind == COMM_WIRE_END) {
        push_end(header, on_event);
    } else {
        push_data(header, datagram.data() + header_size, on_event);
    }
}

template <class OnEvent>
void reassembler::push_data(const comm_wire_header& header, const std::uint8_t* payload, OnEvent& on_event)
{
    const auto ahead = static_cast<std::int32_t>(header.sequence - base_);
    if (ahead < 0) {
        ++counts_.stale;
        return;
    }
    if (end_seen_ && static_cast<std::int32_t>(header.sequence - end_.sequence) >= 0) {
        ++counts_.bad;  // a block past the end
        return;
    }
    if (static_cast<std::uint32_t>(ahead) > mask_) {
        give_up_before(header.sequence - mask_, on_event);
    }
    slot& s = slot_of(header.sequence);
    if (!s.used) {
        s.used = true;
        s.method_byte = header.method;
        s.count = header.count;
        s.values = header.values;
        s.position = header.position;
        s.block_crc = header.block_crc;
        ++held_blocks_;
    } else if (s.method_byte != header.method || s.count != header.count || s.values != header.values ||
               s.position != header.position || s.block_crc != header.block_crc) {
        s.conflict = true;
        ++counts_.bad;
        drain(on_event);
        return;
    }
    const std::uint32_t bit = 1U << header.index;
    if ((s.held & bit) != 0) {
        // The same header, block crc included, and a good CRC: the same bytes.
        ++counts_.duplicates;
        return;
    }
    std::memcpy(bytes_of(header.sequence) + std::size_t{header.index} * packet_data_size, payload, header.length);
    s.held |= bit;
    ++s.received;
    if (header.index + 1 == header.count) {
        s.last_length = header.length;
    }
    ++counts_.used;
    drain(on_event);
}

template <class OnEvent>
void reassembler::push_end(const comm_wire_header& header, OnEvent& on_event)
{
    if (end_seen_) {
        const bool same = header.sequence == end_.sequence && header.blocks == end_.blocks &&
                          header.checksum == end_.checksum && header.position == end_.position;
        ++(same ? counts_.duplicates : counts_.bad);
        return;
    }
    if (static_cast<std::int32_t>(header.sequence - base_) < 0) {
        ++counts_.bad;  // ends before blocks already given back or up
        return;
    }
    end_seen_ = true;
    end_ = header;
    ++counts_.used;
    drain(on_event);
}

template <class OnEvent>
void reassembler::drain(OnEvent& on_event)
{
    while (!ended_) {
        if (end_seen_ && base_ == end_.sequence) {
            end_stream(on_event);
            return;
        }
        const slot& s = slot_of(base_);
        if (!s.used || (!s.conflict && s.received != s.count)) {
            return;
        }
        close_base(on_event);
    }
}

template <class OnEvent>
void reassembler::give_up_before(std::uint32_t sequence, OnEvent& on_event)
{
    while (static_cast<std::int32_t>(sequence - base_) > 0) {
        if (held_blocks_ == 0) {
            // Nothing held: the rest in one step, however far.
            if (run_blocks_ == 0) {
                run_start_ = base_;
                run_position_ = base_position_;
            }
            run_blocks_ += sequence - base_;
            base_ = sequence;
            base_position_.reset();
            return;
        }
        close_base(on_event);
    }
}

template <class OnEvent>
void reassembler::report_run(std::optional<std::uint64_t> next_position, OnEvent& on_event)
{
    if (run_blocks_ == 0) {
        return;
    }
    event e;
    e.kind = event_kind::lost;
    e.sequence = run_start_;
    e.blocks = run_blocks_;
    e.position = run_position_.value_or(0);
    e.values_known = run_position_ && next_position && *next_position >= *run_position_;
    e.values = e.values_known ? *next_position - *run_position_ : 0;
    counts_.lost_blocks += run_blocks_;
    lost_any_ = true;
    run_blocks_ = 0;
    on_event(static_cast<const event&>(e));
}

template <class OnEvent>
void reassembler::close_base(OnEvent& on_event)
{
    slot& s = slot_of(base_);
    if (!s.used) {
        if (run_blocks_ == 0) {
            run_start_ = base_;
            run_position_ = base_position_;
        }
        ++run_blocks_;
        base_position_.reset();
        ++base_;
        return;
    }
    report_run(s.position, on_event);
    const std::optional<method> coding = method_from_byte(s.method_byte);
    // Packets that agree on the block crc carry the one stream it was taken
    // of, so the stream needs no second CRC; it must still decode exactly.
    bool whole = coding && !s.conflict && s.received == s.count;
    std::span<const std::uint8_t> stream;
    if (whole) {
        stream = {bytes_of(base_), std::size_t{s.count - 1U} * packet_data_size + s.last_length};
        // The decoders give the values of a stream's whole tokens, up to
        // max_block_values: a block's must be exactly its count, and one that
        // fills the decoder is counted, as its stream could hold more.
        const std::size_t n = interface_detail::run_decoder(*coding, stream, samples_.data());
        std::error_code ec;
        whole = n == s.values && (n < max_block_values || interface_detail::decoded_size(*coding, stream, ec) == n);
    }
    event e;
    e.kind = whole ? event_kind::block : event_kind::lost;
    e.sequence = base_;
    e.blocks = 1;
    e.position = s.position;
    e.values = s.values;
    e.values_known = !s.conflict;
    if (whole) {
        e.coding = *coding;
        e.samples = std::span<const float>(samples_.data(), s.values);
        e.stream = stream;
        ++counts_.blocks;
        const std::uint8_t block_crc[4] = {
            static_cast<std::uint8_t>(s.block_crc), static_cast<std::uint8_t>(s.block_crc >> 8),
            static_cast<std::uint8_t>(s.block_crc >> 16), static_cast<std::uint8_t>(s.block_crc >> 24)};
        checksum_ = crc32c(block_crc, checksum_);
        base_position_ = s.position + s.values;
    } else {
        ++counts_.lost_blocks;
        lost_any_ = true;
        if (s.conflict) {
            base_position_.reset();
        } else {
            base_position_ = s.position + s.values;
        }
    }
    s = slot{};
    --held_blocks_;
    ++base_;
    on_event(static_cast<const event&>(e));
}

template <class OnEvent>
void reassembler::end_stream(OnEvent& on_event)
{
    report_run(end_.position, on_event);
    event e;
    e.kind = event_kind::end;
    e.sequence = end_.sequence;
    e.blocks = end_.blocks;
    e.position = end_.position;
    e.end_seen = true;
    // The checksum runs over every block's crc, so it also counts the blocks.
    e.intact = !lost_any_ && checksum_ == end_.checksum && base_position_ == end_.position;
    ended_ = true;
    on_event(static_cast<const event&>(e));
}

template <class OnEvent>
void reassembler::finish(OnEvent&& on_event)
{
    if (ended_) {
        return;
    }
    if (end_seen_) {
        give_up_before(end_.sequence, on_event);
        drain(on_event);
        return;
    }
    // No end packet: give up every block held; what came after them is unknown.
    std::uint32_t last_held = 0;
    for (std::uint32_t k = 0; k <= mask_ && started_; ++k) {
        if (slot_of(base_ + k).used) {
            last_held = k + 1;
        }
    }
    give_up_before(base_ + last_held, on_event);
    report_run(std::nullopt, on_event);
    event e;
    e.kind = event_kind::end;
    e.sequence = base_;
    e.position = base_position_.value_or(0);
    ended_ = true;
    on_event(static_cast<const event&>(e));
}

}  // namespace comm::wire

#endif  // COMM_WIRE_HPP
