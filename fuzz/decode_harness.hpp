// The body of fuzz_decode and fuzz_decode2: the input is an encoded stream of
// either method. The decoder is held against the step-by-step one through the
// checked-call harness (exact-size buffers, sentinels past the output, the
// same count and float bits); what it decoded is then encoded with the same
// method (checked the same way) and decoded again, bit for bit the same.
#ifndef COMM_FUZZ_DECODE_HARNESS_HPP
#define COMM_FUZZ_DECODE_HARNESS_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "fuzz/fuzz_support.hpp"
#include "reference/checked_calls.hpp"

namespace comm_fuzz {

// The functions of one method: the library's and the step-by-step ones.
struct MethodCoders {
    checked::Decoder decoder;
    checked::Encoder encoder;
    checked::Decoder reference_decoder;
    checked::Encoder reference_encoder;
};

inline void require(const std::string& fault)
{
    if (!fault.empty()) {
        fail(fault.c_str(), __FILE__, __LINE__);
    }
}

inline int run_decode_target(const uint8_t* data, std::size_t size, const MethodCoders& method)
{
    if (size > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
        return 0;
    }
    // count <= 0 returns 0 and writes nothing.
    const auto count = static_cast<int32_t>(size);
    const ExactArray<uint8_t> stream = checked::exact_copy(data, size);
    const ExactArray<float> values(DECODE_MAX_VALUES);
    fill_untouched(values.get(), DECODE_MAX_VALUES);
    FUZZ_CHECK(method.decoder(stream.get(), values.get(), 0) == 0);
    FUZZ_CHECK(method.decoder(stream.get(), values.get(), -count - 1) == 0);
    FUZZ_CHECK(all_untouched(values.get(), 0, DECODE_MAX_VALUES));

    const checked::Decoded decoded = checked::decode(method.decoder, method.reference_decoder, data, size);
    require(decoded.fault);

    const checked::Encoded again =
        checked::encode(method.encoder, method.reference_encoder, decoded.values.data(), decoded.count);
    require(again.fault);
    const checked::Decoded restored =
        checked::decode(method.decoder, method.reference_decoder, again.stream.data(), again.stream.size());
    require(restored.fault);
    FUZZ_CHECK(std::equal(restored.values.begin(), restored.values.end(), decoded.values.begin(), decoded.values.end(),
                          same_bits));
    return 0;
}

}  // namespace comm_fuzz

#endif  // COMM_FUZZ_DECODE_HARNESS_HPP
