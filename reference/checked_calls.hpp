// One coder call under watch, for the tests and the fuzz targets alike:
//   - the input is an exact-size heap copy and the output an exact-size heap
//     buffer, so AddressSanitizer reports any access outside them;
//   - the output has sentinel room past its bound (2n bytes for an encoder,
//     DECODE_MAX_VALUES values for a decoder), so a write past the bound shows
//     without a sanitizer too;
//   - the result, count and what is left untouched are held against the
//     step-by-step coder's, and the input must come back unchanged.
// Each call returns what the coder gave and, if it broke a rule, which one.
#ifndef REFERENCE_CHECKED_CALLS_HPP
#define REFERENCE_CHECKED_CALLS_HPP

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "comm/Comm.h"

namespace checked {

using Encoder = int32_t (*)(const float*, uint8_t*, int32_t);
using Decoder = int32_t (*)(const uint8_t*, float*, int32_t);

// Written into every byte of an output before a call, to see which entries it
// changed. As a float, A5A5A5A5 is negative: no level has it.
inline constexpr uint8_t kUntouchedByte = 0xA5;

// Sentinel entries past each output's bound.
inline constexpr std::size_t kSlack = 64;

// A heap array of exactly n elements, so AddressSanitizer reports any access
// past its end. AddressSanitizer lets a zero-size allocation's first byte be
// read and written unnoticed, so for n == 0 this hands out the end of a
// one-element allocation instead: any access at all is then reported.
template <typename T>
class ExactArray {
public:
    explicit ExactArray(std::size_t n) : base_(new T[n == 0 ? 1 : n]()), data_(base_.get() + (n == 0 ? 1 : 0)) {}

    [[nodiscard]] T* get() const { return data_; }
    [[nodiscard]] T& operator[](std::size_t i) const { return data_[i]; }

private:
    std::unique_ptr<T[]> base_;
    T* data_;
};

inline void fill_untouched(void* p, std::size_t bytes)
{
    std::memset(p, kUntouchedByte, bytes);
}

// True when all `bytes` at p still hold kUntouchedByte. By memcmp, which
// sanitizers intercept, so that fuzz runs stay fast.
inline bool untouched(const void* p, std::size_t bytes)
{
    static const auto pattern = [] {
        std::array<uint8_t, 4096> block{};
        block.fill(kUntouchedByte);
        return block;
    }();
    const auto* b = static_cast<const uint8_t*>(p);
    for (std::size_t i = 0; i < bytes; i += pattern.size()) {
        if (std::memcmp(b + i, pattern.data(), std::min(bytes - i, pattern.size())) != 0) {
            return false;
        }
    }
    return true;
}

inline bool same_bits(float a, float b)
{
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

// An exact-size heap copy of `n` elements.
template <typename T>
ExactArray<T> exact_copy(const T* from, std::size_t n)
{
    ExactArray<T> copy(n);
    if (n > 0) {
        std::memcpy(copy.get(), from, n * sizeof(T));
    }
    return copy;
}

struct Encoded {
    int32_t length = 0;           // what the encoder returned
    std::vector<uint8_t> stream;  // its first `length` bytes (none if length is out of range)
    std::string fault;            // empty when every rule held
};

// Encodes values[0..n) (0 <= n <= ENCODE_MAX_VALUES) with `encoder` and with
// `reference`: the same length and bytes, nothing written past 2n bytes, the
// values unchanged.
inline Encoded encode(Encoder encoder, Encoder reference, const float* values, int32_t n)
{
    const auto count = static_cast<std::size_t>(n);
    const std::size_t room = 2 * count;
    const ExactArray<float> input = exact_copy(values, count);
    const ExactArray<uint8_t> out(room + kSlack);
    fill_untouched(out.get(), room + kSlack);
    Encoded result;
    result.length = encoder(input.get(), out.get(), n);

    std::vector<uint8_t> expected(room);
    expected.resize(static_cast<std::size_t>(reference(values, expected.data(), n)));
    const auto length = static_cast<std::size_t>(result.length);
    if (result.length >= 0 && length <= room) {
        result.stream.assign(out.get(), out.get() + length);
    }
    const auto first_difference =
        std::mismatch(result.stream.begin(), result.stream.end(), expected.begin(), expected.end());

    if (!untouched(out.get() + room, kSlack)) {
        result.fault = "wrote past 2n bytes, n " + std::to_string(n);
    } else if (result.length < 0 || length > room) {
        result.fault = "returned length " + std::to_string(result.length) + " outside 0..2n, n " + std::to_string(n);
    } else if (length != expected.size()) {
        result.fault = "returned length " + std::to_string(result.length) + ", the reference " +
                       std::to_string(expected.size()) + ", n " + std::to_string(n);
    } else if (first_difference.first != result.stream.end()) {
        const auto at = first_difference.first - result.stream.begin();
        result.fault = "stream byte " + std::to_string(at) + " is " + std::to_string(*first_difference.first) +
                       ", the reference's " + std::to_string(*first_difference.second) + ", n " + std::to_string(n);
    } else if (count > 0 && std::memcmp(input.get(), values, count * sizeof(float)) != 0) {
        result.fault = "changed its input values";
    }
    return result;
}

struct Decoded {
    int32_t count = 0;          // what the decoder returned
    std::vector<float> values;  // its first `count` values (none if count is out of range)
    std::string fault;          // empty when every rule held
};

// Decodes stream[0..size) (size <= INT32_MAX) with `decoder` and with
// `reference`: the same count and float bits, nothing written past the count
// in a buffer of DECODE_MAX_VALUES values, the stream unchanged.
inline Decoded decode(Decoder decoder, Decoder reference, const uint8_t* stream, std::size_t size)
{
    const auto count = static_cast<int32_t>(size);
    constexpr std::size_t kRoom = std::size_t{DECODE_MAX_VALUES} + kSlack;
    const ExactArray<uint8_t> input = exact_copy(stream, size);
    const ExactArray<float> out(kRoom);
    fill_untouched(out.get(), kRoom * sizeof(float));
    Decoded result;
    result.count = decoder(input.get(), out.get(), count);

    const ExactArray<float> expected(kRoom);
    fill_untouched(expected.get(), kRoom * sizeof(float));
    const int32_t expected_count = reference(stream, expected.get(), count);
    const auto written = static_cast<std::size_t>(result.count);
    const bool in_range = result.count >= 0 && result.count <= DECODE_MAX_VALUES;
    if (in_range) {
        result.values.assign(out.get(), out.get() + written);
    }
    // Bit for bit, on purpose: -0 against +0 or one NaN against another is a
    // fault here, and floats have no padding bits.
    // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison,cert-exp42-c,cert-flp37-c)
    const bool same = std::memcmp(out.get(), expected.get(), kRoom * sizeof(float)) == 0;
    const std::string where = ", stream of " + std::to_string(size) + " bytes";

    if (!in_range) {
        result.fault = "returned count " + std::to_string(result.count) + " outside 0..DECODE_MAX_VALUES" + where;
    } else if (!untouched(out.get() + written, (kRoom - written) * sizeof(float))) {
        result.fault = "wrote past the count " + std::to_string(result.count) + where;
    } else if (result.count != expected_count) {
        result.fault = "returned count " + std::to_string(result.count) + ", the reference " +
                       std::to_string(expected_count) + where;
    } else if (!same) {
        const float* differs = std::mismatch(out.get(), out.get() + kRoom, expected.get(), same_bits).first;
        result.fault = "value " + std::to_string(differs - out.get()) + " differs from the reference's" + where;
    } else if (size > 0 && std::memcmp(input.get(), stream, size) != 0) {
        result.fault = "changed its input stream" + where;
    }
    return result;
}

}  // namespace checked

#endif  // REFERENCE_CHECKED_CALLS_HPP
