// libFuzzer target: merge on packet arrays with any `length`, negative and
// huge ones included.
//
// The input is read as records of kRecordSize bytes, one per packet:
//   bytes 0..3  length (int32_t, host byte order, any value)
//   byte  4     last flag (any value; merge must ignore it)
//   byte  5     seed of the packet's 650 data bytes
// A trailing partial record is ignored. The packets lie in an exact-size heap
// array and the output in a heap buffer of exactly the sum of the clamped
// lengths, so AddressSanitizer sees any access outside either.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "comm/Comm.h"
#include "fuzz/fuzz_support.hpp"

namespace {

using comm_fuzz::ExactArray;

constexpr std::size_t kRecordSize = 6;
// More packets than this add nothing new and only slow every run down.
constexpr std::size_t kMaxPackets = 128;

// Data byte k of packet j: neighbouring bytes and packets always differ, so a
// copy from a wrong offset or a wrong packet shows in the output.
uint8_t data_byte(uint8_t seed, std::size_t j, std::size_t k)
{
    return static_cast<uint8_t>(seed + 131U * k + 17U * j);
}

int32_t clamped_length(int32_t length)
{
    return std::clamp(length, int32_t{0}, int32_t{PACKET_DATA_SIZE});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::size_t count = std::min(size / kRecordSize, kMaxPackets);
    const ExactArray<packet> packets(count);
    int64_t total = 0;
    for (std::size_t j = 0; j < count; ++j) {
        const uint8_t* record = data + j * kRecordSize;
        std::memcpy(&packets[j].length, record, sizeof(int32_t));
        packets[j].last = record[4];
        for (std::size_t k = 0; k < PACKET_DATA_SIZE; ++k) {
            packets[j].data[k] = data_byte(record[5], j, k);
        }
        total += clamped_length(packets[j].length);
    }
    const ExactArray<packet> before(count);
    if (count > 0) {
        std::memcpy(before.get(), packets.get(), count * sizeof(packet));
    }
    const auto packet_count = static_cast<int32_t>(count);

    // count <= 0 returns 0 and writes nothing (the buffer has no room at all).
    const ExactArray<uint8_t> nothing(0);
    FUZZ_CHECK(merge(packets.get(), nothing.get(), 0) == 0);
    FUZZ_CHECK(merge(packets.get(), nothing.get(), -packet_count - 1) == 0);

    // count * 650 is far below INT32_MAX, so no packet is left out.
    const auto bytes = static_cast<std::size_t>(total);
    const ExactArray<uint8_t> stream(bytes);
    const int32_t merged = merge(packets.get(), stream.get(), packet_count);
    FUZZ_CHECK(merged == total);

    // The output is each packet's clamped data prefix, in array order.
    std::size_t at = 0;
    for (std::size_t j = 0; j < count; ++j) {
        const auto used = static_cast<std::size_t>(clamped_length(packets[j].length));
        FUZZ_CHECK(used == 0 || std::memcmp(stream.get() + at, packets[j].data, used) == 0);
        at += used;
    }
    FUZZ_CHECK(at == bytes);

    // The packets were only read.
    FUZZ_CHECK(count == 0 || std::memcmp(before.get(), packets.get(), count * sizeof(packet)) == 0);
    return 0;
}
