// The AVX-512 path: the coders of vector_coders.hpp on 512-bit registers, one
// to a 64-value window, with mask registers for the comparisons and the
// partial loads and stores. Compiled for AVX-512 F and BW (with AVX2, FMA,
// BMI1 and BMI2) by a target region, and run only where the CPU has them.
// Without VBMI2's byte compress, the encoders write the tokens of windows of
// many runs with the AVX2 path's table writers (avx2_token_tables.hpp), and
// the pair decoder expands many short runs with its table shuffles
// (short_run_pairs.hpp).
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "comm/Comm.h"
#include "comm/codec_paths.hpp"
#include "comm/escaped_tokens.hpp"
#include "comm/lone_escape_controls.hpp"
#include "comm/sample_level.hpp"
#include "comm/target_region.hpp"

#if COMM_X86_PATHS
#include <immintrin.h>

COMM_TARGET_REGION("avx512f,avx512bw,avx2,fma,bmi,bmi2")

#define COMM_VECTOR_TARGET avx512
#include "comm/vector_coders.hpp"

namespace comm::detail {
namespace {

#include "comm/avx2_token_tables.hpp"
#include "comm/avx512_primitives.hpp"
#include "comm/escaped_windows.hpp"
#include "comm/piece_tokens.hpp"
#include "comm/short_run_pairs.hpp"

// The pair decoder expands windows of many short runs by the AVX2 path's
// table shuffles (short_run_pairs.hpp). The pair writer beats the stretch
// code on windows of more than four stretches; on fewer, the stretch code
// wins on 512-bit registers (uniform data: 1.4 times as fast). The encoders
// write windows of many runs with the AVX2 path's table writers
// (WithPieceTables; encode2 sensor_fine 613 -> 374 ns against the slot
// writer), which take the window's halves from the register, windows with
// lone 255s included (by pext: every CPU with AVX-512 has a fast one).
struct Avx512PathPrimitives : WithShortRunPairs<Avx512Primitives> {
    static constexpr int kPairRunsAboveStretches = 4;
    static constexpr int kEscapedRunsAboveStretches = 4;
    static constexpr bool kFastBitExtract = true;
    // Quantising in the coding loop overlaps the 512-bit quantiser with the
    // table writers' 256-bit shuffles (encode on the signals 5 to 9% faster).
    static constexpr bool kQuantisesAhead = true;
    // The escaped window code of its own, with 64-byte stores of literals,
    // beats the 256-bit one on windows of few escapes.
    static constexpr int kFewEscapes = 2;

    [[gnu::always_inline]] static Lanes64 halves(Window window)
    {
        return {_mm512_castsi512_si256(window), _mm512_extracti64x4_epi64(window, 1)};
    }
};

}  // namespace

constinit const CodecPath avx512_path = avx512::make_path<WithEscapedWindows<WithPieceTables<Avx512PathPrimitives>>>(
    "avx512",
    {CpuFeature::avx512f, CpuFeature::avx512bw, CpuFeature::avx2, CpuFeature::fma, CpuFeature::bmi1, CpuFeature::bmi2});

}  // namespace comm::detail

COMM_TARGET_REGION_END

#endif  // COMM_X86_PATHS
