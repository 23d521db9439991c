// libFuzzer target: the wire packet parser and the file reader on any bytes.
//
// The whole input is parsed as one packet, then read as a file in pieces whose
// size comes from the first byte. Checks: a packet accepted lies within the
// input and its fields are in range, one byte less is only truncated; every
// packet the reader reports parses to exactly its own length; and the reader
// accounts for every byte, as a packet or as damage.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "comm/wire.hpp"
#include "fuzz/fuzz_support.hpp"

#define CHECK(condition)                                     \
    do {                                                     \
        if (!(condition)) {                                  \
            comm_fuzz::fail(#condition, __FILE__, __LINE__); \
        }                                                    \
    } while (false)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const comm_fuzz::ExactArray<uint8_t> bytes(size);
    if (size > 0) {
        std::memcpy(bytes.get(), data, size);
    }
    const auto available = static_cast<int32_t>(size);
    comm_wire_header h{};
    const int32_t parsed = comm_wire_parse(bytes.get(), available, &h);
    if (parsed > 0) {
        CHECK(parsed <= available && parsed == COMM_WIRE_HEADER_SIZE + h.length);
        CHECK(h.kind == COMM_WIRE_DATA || h.kind == COMM_WIRE_END);
        if (h.kind == COMM_WIRE_DATA) {
            CHECK(h.method == COMM_WIRE_PAIRS || h.method == COMM_WIRE_ESCAPED);
            CHECK(h.index < h.count && h.count <= COMM_WIRE_BLOCK_MAX_PACKETS);
            CHECK(h.values >= 1 && h.values <= COMM_DECODE_MAX_VALUES && h.length >= 1 &&
                  h.length <= COMM_PACKET_DATA_SIZE);
        }
        CHECK(comm_wire_parse(bytes.get(), parsed - 1, nullptr) == COMM_WIRE_TRUNCATED);
    }

    comm::wire::reader reader;
    std::size_t packet_bytes = 0;
    auto on_packet = [&](std::span<const std::uint8_t> p) {
        CHECK(comm_wire_parse(p.data(), static_cast<int32_t>(p.size()), nullptr) == static_cast<int32_t>(p.size()));
        packet_bytes += p.size();
    };
    const std::size_t piece = size == 0 ? 1 : std::size_t{data[0]} + 1;
    for (std::size_t at = 0; at < size; at += piece) {
        reader.feed(std::span<const std::uint8_t>(bytes.get() + at, std::min(piece, size - at)), on_packet);
    }
    reader.finish(on_packet);
    CHECK(packet_bytes + reader.damaged_bytes() == size);
    return 0;
}
