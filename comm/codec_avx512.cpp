// The AVX-512 path: the coders of vector_coders.hpp on 512-bit registers, one
// to a 64-value window, with mask registers for the comparisons and the
// partial loads and stores. Compiled for AVX-512 F and BW (with AVX2, FMA,
// BMI1 and BMI2) by a target region, and run only where the CPU has them.
// Without VBMI2's byte compress, the encoders write the tokens of windows of
// many runs eight positions at a time, as the AVX2 path does.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "comm/Comm.h"
#include "comm/codec_paths.hpp"
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
#include "comm/piece_tokens.hpp"

}  // namespace

constinit const CodecPath avx512_path = avx512::make_path<WithPieceTokens<Avx512Primitives>>(
    "avx512",
    {CpuFeature::avx512f, CpuFeature::avx512bw, CpuFeature::avx2, CpuFeature::fma, CpuFeature::bmi1, CpuFeature::bmi2});

}  // namespace comm::detail

COMM_TARGET_REGION_END

#endif  // COMM_X86_PATHS
