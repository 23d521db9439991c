// Shared pieces of the libFuzzer targets: a check that aborts (so libFuzzer
// records the input as a crash), bit-exact float comparison, and plain
// step-by-step versions of both stream formats as written in comm/Comm.h, to
// hold the library's results against.
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

using Levels = std::vector<std::uint8_t>;
using Bytes = std::vector<std::uint8_t>;

// The levels a decoder gives, at most DECODE_MAX_VALUES of them.
struct DecodedLevels {
    std::array<std::uint8_t, DECODE_MAX_VALUES> level{};
    std::size_t size = 0;

    [[nodiscard]] bool full() const { return size == level.size(); }
    void append(std::uint8_t v, std::size_t reps)
    {
        for (std::size_t k = 0; k < reps && !full(); ++k) {
            level[size++] = v;
        }
    }
};

// Pair stream: (r, v) stands for r + 1 values of level v; a trailing odd byte
// is ignored; at most DECODE_MAX_VALUES values.
inline void reference_decode_pairs(const std::uint8_t* s, std::size_t count, DecodedLevels& out)
{
    out.size = 0;
    for (std::size_t p = 0; p + 2 <= count && !out.full(); p += 2) {
        out.append(s[p + 1], std::size_t{s[p]} + 1);
    }
}

// Escaped stream: v (v != FF) is one value, FF FF one 255, FF c v c values of
// level v; a token cut off by the end of the stream stops decoding.
inline void reference_decode_escaped(const std::uint8_t* s, std::size_t count, DecodedLevels& out)
{
    out.size = 0;
    std::size_t p = 0;
    while (p < count && !out.full()) {
        if (s[p] != 0xFF) {
            out.append(s[p], 1);
            p += 1;
        } else if (p + 1 < count && s[p + 1] == 0xFF) {
            out.append(0xFF, 1);
            p += 2;
        } else if (p + 2 < count) {
            out.append(s[p + 2], s[p + 1]);
            p += 3;
        } else {
            break;
        }
    }
}

// Length of the run of equal levels starting at i, at most max_run.
inline std::size_t run_at(const Levels& levels, std::size_t i, std::size_t max_run)
{
    std::size_t j = i;
    while (j < levels.size() && levels[j] == levels[i] && j - i < max_run) {
        ++j;
    }
    return j - i;
}

// Pair coding: runs cut after every 256 values.
inline Bytes reference_encode_pairs(const Levels& levels)
{
    Bytes out;
    out.reserve(2 * levels.size());
    for (std::size_t i = 0; i < levels.size();) {
        const std::size_t run = run_at(levels, i, 256);
        out.push_back(static_cast<std::uint8_t>(run - 1));
        out.push_back(levels[i]);
        i += run;
    }
    return out;
}

// Escaped coding: runs closed at 254 values; a run of two or more is a run
// token, a single value a literal (255 escaped as FF FF).
inline Bytes reference_encode_escaped(const Levels& levels)
{
    Bytes out;
    out.reserve(2 * levels.size());
    for (std::size_t i = 0; i < levels.size();) {
        const std::size_t run = run_at(levels, i, 254);
        if (run == 1) {
            out.push_back(levels[i]);
            if (levels[i] == 0xFF) {
                out.push_back(0xFF);
            }
        } else {
            out.push_back(0xFF);
            out.push_back(static_cast<std::uint8_t>(run));
            out.push_back(levels[i]);
        }
        i += run;
    }
    return out;
}

}  // namespace comm_fuzz

#define FUZZ_CHECK(cond)                                \
    do {                                                \
        if (!(cond)) {                                  \
            comm_fuzz::fail(#cond, __FILE__, __LINE__); \
        }                                               \
    } while (0)

#endif  // COMM_FUZZ_SUPPORT_HPP
