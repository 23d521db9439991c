// The body of fuzz_decode and fuzz_decode2: the input is an encoded stream of
// either method, decoded from an exact-size heap copy (AddressSanitizer sees
// any read past `count`) into an exact DECODE_MAX_VALUES heap buffer (and any
// write past it).
#ifndef COMM_FUZZ_DECODE_HARNESS_HPP
#define COMM_FUZZ_DECODE_HARNESS_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "fuzz/fuzz_support.hpp"

namespace comm_fuzz {

using Decoder = int32_t (*)(const uint8_t*, float*, int32_t);
using Encoder = int32_t (*)(const float*, uint8_t*, int32_t);
using ReferenceDecoder = int32_t (*)(const uint8_t*, float*, int32_t);

inline int run_decode_target(const uint8_t* data, std::size_t size, Decoder decoder, Encoder encoder,
                             ReferenceDecoder reference)
{
    if (size > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
        return 0;
    }
    const auto count = static_cast<int32_t>(size);
    const ExactArray<uint8_t> stream(size);
    if (size > 0) {
        std::memcpy(stream.get(), data, size);
    }
    const ExactArray<float> values(DECODE_MAX_VALUES);
    fill_untouched(values.get(), DECODE_MAX_VALUES);

    // count <= 0 returns 0 and writes nothing.
    FUZZ_CHECK(decoder(stream.get(), values.get(), 0) == 0);
    FUZZ_CHECK(decoder(stream.get(), values.get(), -count - 1) == 0);
    FUZZ_CHECK(all_untouched(values.get(), 0, DECODE_MAX_VALUES));

    const int32_t written = decoder(stream.get(), values.get(), count);
    FUZZ_CHECK(written >= 0 && written <= DECODE_MAX_VALUES);
    const auto n = static_cast<std::size_t>(written);

    // Every value written is the value of a level; nothing past the returned
    // count was written; the stream was only read.
    for (std::size_t i = 0; i < n; ++i) {
        FUZZ_CHECK(is_level_value(values[i]));
    }
    FUZZ_CHECK(all_untouched(values.get(), n, DECODE_MAX_VALUES));
    FUZZ_CHECK(size == 0 || std::memcmp(stream.get(), data, size) == 0);

    // The same values as the format, decoded step by step, gives.
    static float expected[DECODE_MAX_VALUES];
    FUZZ_CHECK(reference(data, expected, count) == written);
    for (std::size_t i = 0; i < n; ++i) {
        FUZZ_CHECK(same_bits(values[i], expected[i]));
    }

    // Encoding the decoded values with the same method and decoding that
    // again restores them bit for bit.
    const ExactArray<uint8_t> again(2 * n);
    const int32_t length = encoder(values.get(), again.get(), written);
    FUZZ_CHECK(length >= 0 && static_cast<std::size_t>(length) <= 2 * n);
    FUZZ_CHECK((n == 0) == (length == 0));
    const ExactArray<float> restored(DECODE_MAX_VALUES);
    fill_untouched(restored.get(), DECODE_MAX_VALUES);
    FUZZ_CHECK(decoder(again.get(), restored.get(), length) == written);
    for (std::size_t i = 0; i < n; ++i) {
        FUZZ_CHECK(same_bits(restored[i], values[i]));
    }
    FUZZ_CHECK(all_untouched(restored.get(), n, DECODE_MAX_VALUES));
    return 0;
}

}  // namespace comm_fuzz

#endif  // COMM_FUZZ_DECODE_HARNESS_HPP
