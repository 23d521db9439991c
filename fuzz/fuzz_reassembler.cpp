// libFuzzer target: the reassembler fed any sequence of datagrams.
//
// Input: byte 0 sets the window (1 << (b % 7)) and whether the first sequence
// is 0 (bit 7 clear) or the first packet's; then records of
//   byte 0      flags: bit 0 reseals the packet's CRC, bit 1 first sets its
//               block crc to the CRC of its own payload (so one-packet blocks
//               can be given back)
//   bytes 1..2  datagram length, little endian, up to 700
//   then        the datagram's bytes (fewer if the input ends)
// Each datagram lies in an exact-size heap buffer. Checks: events come in
// sequence order, each block or run once, one end event last; a block given
// back holds exactly its value count of level values; every datagram is
// counted once; and nothing is pushed after the end but stale ones.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "comm/sample_level.hpp"
#include "comm/wire.hpp"
#include "fuzz/fuzz_support.hpp"

#define CHECK(condition)                                     \
    do {                                                     \
        if (!(condition)) {                                  \
            comm_fuzz::fail(#condition, __FILE__, __LINE__); \
        }                                                    \
    } while (false)

namespace {

void put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

constexpr std::size_t kHeader = COMM_WIRE_HEADER_SIZE;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    comm::wire::reassembler_options options;
    options.window = std::size_t{1} << (data[0] % 7);  // up to 64: larger ones only cost time
    if ((data[0] & 0x80) != 0) {
        options.first_sequence.reset();
    }
    comm::wire::reassembler receiver(options);

    std::optional<uint32_t> next;
    bool ended = false;
    auto on_event = [&](const comm::wire::event& e) {
        CHECK(!ended);
        CHECK(!next || e.sequence == *next);
        switch (e.kind) {
            case comm::wire::event_kind::block:
                CHECK(e.blocks == 1 && e.samples.size() == e.values && e.values >= 1);
                for (const float v : e.samples) {
                    CHECK(v == comm::level_value(comm::quantise(v)));
                }
                CHECK(!e.stream.empty() && e.stream.size() <= 2 * e.values);
                next = e.sequence + 1;
                break;
            case comm::wire::event_kind::lost:
                CHECK(e.blocks >= 1);
                next = e.sequence + e.blocks;
                break;
            case comm::wire::event_kind::end:
                ended = true;
                break;
        }
    };

    std::size_t pushed = 0;
    std::size_t at = 1;
    while (at + 3 <= size && pushed < 4096) {
        const uint8_t flags = data[at];
        const std::size_t wanted = std::min<std::size_t>(data[at + 1] | data[at + 2] << 8, 700);
        at += 3;
        const std::size_t length = std::min(wanted, size - at);
        const comm_fuzz::ExactArray<uint8_t> datagram(length);
        if (length > 0) {
            std::memcpy(datagram.get(), data + at, length);
        }
        at += length;
        if (length >= kHeader) {
            uint8_t* const p = datagram.get();
            if ((flags & 2) != 0) {
                put32(p + 32, comm_crc32c(0, p + kHeader, length - kHeader));
            }
            if ((flags & 1) != 0) {
                put32(p + 36, comm_crc32c(comm_crc32c(0, p, 36), p + kHeader, length - kHeader));
            }
        }
        receiver.push(std::span<const uint8_t>(datagram.get(), length), on_event);
        ++pushed;
    }
    receiver.finish(on_event);
    CHECK(ended && receiver.ended());
    const comm::wire::counters& c = receiver.counts();
    CHECK(c.used + c.bad + c.foreign + c.duplicates + c.stale == pushed);
    return 0;
}
