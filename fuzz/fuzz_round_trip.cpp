// libFuzzer target: the whole path, for both methods.
//
// The input is read as floats (host byte order, so NaN, infinities, negative
// values, values above 1 and subnormals all occur), at most DECODE_MAX_VALUES
// of them; trailing bytes short of a float are ignored. For each method:
// encode into an exact 2n-byte heap buffer, split into an exact
// ceil(len / 650)-packet heap array, merge into an exact len-byte buffer,
// decode into an exact DECODE_MAX_VALUES buffer, and check every step.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "comm/Comm.h"
#include "fuzz/fuzz_support.hpp"
#include "reference/reference.hpp"

namespace {

using comm_fuzz::ExactArray;
using reference::Bytes;
using reference::Levels;

struct Method {
    int32_t (*encoder)(const float*, uint8_t*, int32_t);
    int32_t (*decoder)(const uint8_t*, float*, int32_t);
    int32_t (*reference_encoder)(const float*, uint8_t*, int32_t);
    bool pairs;  // the pair stream, else the escaped stream
};

constexpr std::size_t kPacketSize = PACKET_DATA_SIZE;

void fill_untouched(packet* packets, std::size_t count)
{
    for (std::size_t j = 0; j < count; ++j) {
        packets[j].length = -7;
        std::memset(packets[j].data, comm_fuzz::kUntouchedByte, kPacketSize);
        packets[j].last = 0x5A;
    }
}

bool untouched(const packet& p, std::size_t from)
{
    static const auto pattern = [] {
        std::array<uint8_t, kPacketSize> bytes{};
        bytes.fill(comm_fuzz::kUntouchedByte);
        return bytes;
    }();
    return std::memcmp(p.data + from, pattern.data(), kPacketSize - from) == 0;
}

// Bytes a stream of n values with these levels may take, from Comm.h.
void check_size(const Method& method, const Levels& levels, std::size_t len)
{
    const std::size_t n = levels.size();
    FUZZ_CHECK(len <= 2 * n);
    if (method.pairs) {
        FUZZ_CHECK(len % 2 == 0);
        FUZZ_CHECK(len >= 2 * ((n + 255) / 256));
    } else {
        bool plain = true;  // no two neighbours equal and no level 255
        for (std::size_t i = 0; i < n && plain; ++i) {
            plain = levels[i] != 255 && (i == 0 || levels[i] != levels[i - 1]);
        }
        FUZZ_CHECK(!plain || len == n);
    }
}

void round_trip(const Method& method, const float* values, const Levels& levels)
{
    const std::size_t n = levels.size();
    const auto count = static_cast<int32_t>(n);

    // Encode.
    const ExactArray<uint8_t> stream(2 * n);
    const int32_t encoded = method.encoder(values, stream.get(), count);
    FUZZ_CHECK(encoded >= 0);
    const auto len = static_cast<std::size_t>(encoded);
    check_size(method, levels, len);
    FUZZ_CHECK((n == 0) == (len == 0));
    Bytes expected(2 * n);
    expected.resize(static_cast<std::size_t>(method.reference_encoder(values, expected.data(), count)));
    FUZZ_CHECK(expected.size() == len);
    FUZZ_CHECK(len == 0 || std::memcmp(expected.data(), stream.get(), len) == 0);

    // Split: len <= 0 touches nothing; otherwise full packets and one last one.
    const std::size_t packet_count = (len + kPacketSize - 1) / kPacketSize;
    const ExactArray<packet> packets(packet_count);
    fill_untouched(packets.get(), packet_count);
    FUZZ_CHECK(split(stream.get(), packets.get(), 0) == 0);
    FUZZ_CHECK(split(stream.get(), packets.get(), -encoded - 1) == 0);
    for (std::size_t j = 0; j < packet_count; ++j) {
        FUZZ_CHECK(packets[j].length == -7 && packets[j].last == 0x5A && untouched(packets[j], 0));
    }
    FUZZ_CHECK(split(stream.get(), packets.get(), encoded) == static_cast<int32_t>(packet_count));
    for (std::size_t j = 0; j < packet_count; ++j) {
        const bool last = j + 1 == packet_count;
        const std::size_t size = last ? len - j * kPacketSize : kPacketSize;
        FUZZ_CHECK(packets[j].length == static_cast<int32_t>(size));
        FUZZ_CHECK(packets[j].last == (last ? 1 : 0));
        FUZZ_CHECK(std::memcmp(packets[j].data, stream.get() + j * kPacketSize, size) == 0);
        FUZZ_CHECK(untouched(packets[j], size));
    }

    // Merge gives the stream back.
    const ExactArray<uint8_t> merged(len);
    FUZZ_CHECK(merge(packets.get(), merged.get(), static_cast<int32_t>(packet_count)) == encoded);
    FUZZ_CHECK(len == 0 || std::memcmp(merged.get(), stream.get(), len) == 0);

    // Decode gives the levels back, and writes nothing past them.
    const ExactArray<float> decoded(DECODE_MAX_VALUES);
    comm_fuzz::fill_untouched(decoded.get(), DECODE_MAX_VALUES);
    FUZZ_CHECK(method.decoder(merged.get(), decoded.get(), encoded) == count);
    for (std::size_t i = 0; i < n; ++i) {
        FUZZ_CHECK(comm::quantise(decoded[i]) == levels[i]);
        FUZZ_CHECK(comm_fuzz::same_bits(decoded[i], comm::level_value(levels[i])));
    }
    FUZZ_CHECK(comm_fuzz::all_untouched(decoded.get(), n, DECODE_MAX_VALUES));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::size_t n = std::min(size / sizeof(float), std::size_t{DECODE_MAX_VALUES});
    const ExactArray<float> values(n);
    if (n > 0) {
        std::memcpy(values.get(), data, n * sizeof(float));
    }

    Levels levels(n);
    for (std::size_t i = 0; i < n; ++i) {
        levels[i] = comm::quantise(values[i]);
        FUZZ_CHECK(levels[i] == comm_fuzz::expected_level(values[i]));
    }

    static constexpr Method kMethods[] = {
        {encode, decode, reference::encode_pairs, true},
        {encode2, decode2, reference::encode_escaped, false},
    };
    for (const Method& method : kMethods) {
        round_trip(method, values.get(), levels);
        // The encoder only read the values.
        FUZZ_CHECK(n == 0 || std::memcmp(values.get(), data, n * sizeof(float)) == 0);
    }
    return 0;
}
