// The checked-call harness (reference/checked_calls.hpp) for GoogleTest: a
// broken rule is a failed expectation that names it.
#ifndef TESTS_CHECKED_EXPECT_HPP
#define TESTS_CHECKED_EXPECT_HPP

#include <cstdint>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "reference/checked_calls.hpp"

// The stream `encoder` gives for `values`.
inline std::vector<uint8_t> expect_encoded(checked::Encoder encoder, checked::Encoder reference_encoder,
                                           const std::vector<float>& values)
{
    checked::Encoded encoded =
        checked::encode(encoder, reference_encoder, values.data(), static_cast<int32_t>(values.size()));
    EXPECT_EQ(encoded.fault, "");
    return std::move(encoded.stream);
}

// What `decoder` gives for `stream`.
inline checked::Decoded expect_decoded(checked::Decoder decoder, checked::Decoder reference_decoder,
                                       const std::vector<uint8_t>& stream)
{
    checked::Decoded decoded = checked::decode(decoder, reference_decoder, stream.data(), stream.size());
    EXPECT_EQ(decoded.fault, "");
    return decoded;
}

#endif  // TESTS_CHECKED_EXPECT_HPP
