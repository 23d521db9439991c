// The AVX-512 path: the coders of vector_coders.hpp on 512-bit registers, one
// to a 64-value window, with mask registers for the comparisons and the
// partial loads and stores. Compiled for AVX-512 F and BW (with AVX2, FMA,
// BMI1 and BMI2) by a target region, and run only where the CPU has them.
// Without VBMI2's byte compress, the encoders write the tokens of windows of
// many runs with the AVX2 path's table writers (piece_tokens.hpp).
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "comm/Comm.h"
#include "comm/codec_paths.hpp"
#include "comm/escaped_tokens.hpp"
#include "comm/sample_level.hpp"
#include "comm/target_region.hpp"

#if COMM_X86_PATHS
#include <immintrin.h>

COMM_TARGET_REGION("avx512f,avx512bw,avx2,fma,bmi,bmi2")

#define COMM_VECTOR_TARGET avx512
#include "comm/vector_coders.hpp"

namespace comm::detail {
namespace {

#include "comm/avx512_primitives.hpp"
#include "comm/escaped_windows.hpp"
#include "comm/piece_tokens.hpp"

// On 512-bit registers the stretch code beats the pair writer too on windows
// of few stretches (uniform data: 1.4 times as fast).
struct Avx512PathPrimitives : WithPieceTokens<Avx512Primitives> {
    static constexpr bool kPairRunsForManyStretches = true;
    // And its escaped window code, with 64-byte stores of literals, beats the
    // 256-bit one on windows of few escapes.
    static constexpr int kFewEscapes = 2;
};

}  // namespace

constinit const CodecPath avx512_path = avx512::make_path<WithEscapedWindows<Avx512PathPrimitives>>(
    "avx512",
    {CpuFeature::avx512f, CpuFeature::avx512bw, CpuFeature::avx2, CpuFeature::fma, CpuFeature::bmi1, CpuFeature::bmi2});

}  // namespace comm::detail

COMM_TARGET_REGION_END

#endif  // COMM_X86_PATHS
