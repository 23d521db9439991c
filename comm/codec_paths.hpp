// The coder implementations built into the library, one per instruction set,
// and the choice among them. Internal to the library and its tests, fuzzers and
// benchmark: the public functions in Comm.h always run the active path.
//
// Every path gives the same stream bytes, float bits, packets and counts as
// every other, with the same bounds, on any input: the contracts in Comm.h
// hold for each.
#ifndef COMM_CODEC_PATHS_HPP
#define COMM_CODEC_PATHS_HPP

#if __cplusplus < 202002L
#error "comm's sources are C++20: compile them with -std=c++20 (its header Comm.h is C99 and any C++)"
#endif

#include <cstdint>
#include <span>
#include <string_view>

#include "comm/Comm.h"
#include "comm/cpu_features.hpp"
#include "comm/format_constants.hpp"

// Vector paths are built for x86-64 with GCC or Clang, each in a file of its
// own compiled for its instruction set by target pragmas, unless the build
// defines COMM_NO_DISPATCH (then only the portable path exists).
#if !defined(COMM_NO_DISPATCH) && (defined(__x86_64__) || defined(__amd64__)) && \
    (defined(__GNUC__) || defined(__clang__))
#define COMM_X86_PATHS 1
#else
#define COMM_X86_PATHS 0
#endif

namespace comm::detail {

struct CodecPath {
    const char* name = nullptr;  // "portable", "avx2", "avx2pext", "avx512" or "avx512vbmi2"
    CpuFeatures needs;           // what the CPU and OS must offer to run it
    // levels[i] = quantise(values[i]) for i < n; n <= 0 does nothing.
    void (*quantise)(const float* values, std::uint8_t* levels, std::int32_t n) = nullptr;
    // values[i] = level_value(levels[i]) for i < n; n <= 0 does nothing.
    void (*level_values)(const std::uint8_t* levels, float* values, std::int32_t n) = nullptr;
    std::int32_t (*encode)(const float* values, std::uint8_t* stream, std::int32_t n) = nullptr;
    std::int32_t (*decode)(const std::uint8_t* stream, float* values, std::int32_t count) = nullptr;
    std::int32_t (*encode2)(const float* values, std::uint8_t* stream, std::int32_t n) = nullptr;
    std::int32_t (*decode2)(const std::uint8_t* stream, float* values, std::int32_t count) = nullptr;
    std::int32_t (*encode3)(const float* values, std::uint8_t* stream, std::int32_t n) = nullptr;
    std::int32_t (*decode3)(const std::uint8_t* stream, float* values, std::int32_t count) = nullptr;
    std::int32_t (*split)(const std::uint8_t* stream, packet* packets, std::int32_t len) = nullptr;
    std::int32_t (*merge)(const packet* packets, std::uint8_t* stream, std::int32_t count) = nullptr;
};

// Plain C++ for every CPU.
extern const CodecPath portable_path;
#if COMM_X86_PATHS
// AVX2 with FMA, BMI1 and BMI2 (x86-64 since 2013).
extern const CodecPath avx2_path;
// The same where PEXT is fast (every Intel CPU with BMI2, AMD's since Zen 3).
extern const CodecPath avx2pext_path;
// AVX-512 F and BW on top of the AVX2 path's set.
extern const CodecPath avx512_path;
// AVX-512 VBMI and VBMI2, POPCNT and PCLMULQDQ, on top of the AVX-512 path's set.
extern const CodecPath avx512vbmi2_path;
#endif

// Every path built, slowest first: the order in which the fastest runnable
// path is chosen and COMM_SIMD caps it. A new path is a file of its own and a
// row here.
inline constexpr const CodecPath* kBuiltPaths[] = {
    &portable_path,
#if COMM_X86_PATHS
    &avx2_path,     &avx2pext_path, &avx512_path, &avx512vbmi2_path,
#endif
};

// The built paths whose features this CPU (and its operating system) offers,
// slowest first. Detected once.
std::span<const CodecPath* const> runnable_paths();

// The built paths that a CPU with `features` runs, slowest first.
std::span<const CodecPath* const> runnable_paths_for(CpuFeatures features);

// The environment variable that caps the active path: "portable", "avx2",
// "avx2pext", "avx512" or "avx512vbmi2" selects the fastest runnable path no
// faster than the one named.
// Read once, at the first call into the library; other values are ignored.
inline constexpr const char* kPathVariable = "COMM_SIMD";

// The path the public functions use: the fastest runnable one, unless
// COMM_SIMD caps it.
const CodecPath& active_path();

// The runnable path called `name`, or nullptr.
const CodecPath* find_path(std::string_view name);

// The path for a COMM_SIMD value among `runnable` (built paths, slowest
// first): the fastest one no faster than the path named; the fastest one for a
// null, empty or unknown value.
const CodecPath& choose_path(std::span<const CodecPath* const> runnable, const char* requested);

}  // namespace comm::detail

#endif  // COMM_CODEC_PATHS_HPP
