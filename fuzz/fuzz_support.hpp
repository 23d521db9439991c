// Shared pieces of the libFuzzer targets: a check that aborts (so libFuzzer
// records the input as a crash), exact-size buffers and bit-exact float
// comparison. The step-by-step coders they hold the library against are the
// tests' (tests/reference.hpp).
#ifndef COMM_FUZZ_SUPPORT_HPP
#define COMM_FUZZ_SUPPORT_HPP

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "comm/Comm.h"
#include "comm/sample_level.hpp"

namespace comm_fuzz {

[[noreturn]] inline void fail(const char* what, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

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

// Written into every byte of an output buffer before a call, to see which
// entries it changed. As a float, A5A5A5A5 is negative: no level has it.
inline constexpr std::uint8_t kUntouchedByte = 0xA5;

// Fills n floats with the untouched pattern.
inline void fill_untouched(float* values, std::size_t n)
{
    std::memset(values, kUntouchedByte, n * sizeof(float));
}

// True when values[from..to) still hold the untouched pattern.
inline bool all_untouched(const float* values, std::size_t from, std::size_t to)
{
    static const auto pattern = [] {
        std::array<float, DECODE_MAX_VALUES> p{};
        fill_untouched(p.data(), p.size());
        return p;
    }();
    for (std::size_t i = from; i < to; i += pattern.size()) {
        const std::size_t n = std::min(to - i, pattern.size());
        if (std::memcmp(values + i, pattern.data(), n * sizeof(float)) != 0) {
            return false;
        }
    }
    return true;
}

inline bool same_bits(float a, float b)
{
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

// True when v is exactly the value of some level: the level it quantises to
// gives back v, bit for bit.
inline bool is_level_value(float v)
{
    return same_bits(comm::level_value(comm::quantise(v)), v);
}

// Value -> level, written out again from the rule in Comm.h: trunc(x * 255),
// NaN and values below 0 give 0, values above 1 give 255.
inline std::uint8_t expected_level(float x)
{
    if (std::isnan(x) || x <= 0.0F) {
        return 0;
    }
    if (x >= 1.0F) {
        return 255;
    }
    return static_cast<std::uint8_t>(std::floor(static_cast<double>(x) * 255.0));  // exact product
}

}  // namespace comm_fuzz

#define FUZZ_CHECK(cond)                                \
    do {                                                \
        if (!(cond)) {                                  \
            comm_fuzz::fail(#cond, __FILE__, __LINE__); \
        }                                               \
    } while (0)

#endif  // COMM_FUZZ_SUPPORT_HPP
