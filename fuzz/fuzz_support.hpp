// Shared pieces of the libFuzzer targets: a check that aborts (so libFuzzer
// records the input as a crash), exact-size buffers and bit-exact float
// comparison. The step-by-step coders they hold the library against, and the
// checked-call harness, are in reference/.
#ifndef COMM_FUZZ_SUPPORT_HPP
#define COMM_FUZZ_SUPPORT_HPP

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "comm/Comm.h"
#include "comm/sample_level.hpp"
#include "reference/checked_calls.hpp"

namespace comm_fuzz {

[[noreturn]] inline void fail(const char* what, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what);
    std::fflush(stderr);
    std::abort();
}

// Exact-size buffers, the untouched pattern and bit-exact comparison are the
// checked-call harness's, shared with the tests.
using checked::ExactArray;
using checked::kUntouchedByte;
using checked::same_bits;

// Fills n floats with the untouched pattern.
inline void fill_untouched(float* values, std::size_t n)
{
    std::memset(values, kUntouchedByte, n * sizeof(float));
}

// True when values[from..to) still hold the untouched pattern.
inline bool all_untouched(const float* values, std::size_t from, std::size_t to)
{
    return checked::untouched(values + from, (to - from) * sizeof(float));
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
