// The AVX-512 path with VBMI and VBMI2 on top (Ice Lake, Zen 4 and later):
// the same window primitives, and the encoders' tokens made from a window's
// run starts without a loop over them. The run starts' positions and levels
// are gathered by a byte compress, the lengths are the differences of
// neighbouring positions, each run's token bytes are laid out by byte
// permutes, and a second compress keeps the bytes each token needs.
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

COMM_TARGET_REGION("avx512f,avx512bw,avx512vbmi,avx512vbmi2,avx2,fma,bmi,bmi2,popcnt")

#define COMM_VECTOR_TARGET avx512vbmi2
#include "comm/vector_coders.hpp"

namespace comm::detail {
namespace {

#include "comm/avx512_primitives.hpp"

// Byte layouts of the token writers. Lane u of output vector c is byte
// t = 64c + u of the tokens: run t / 3's byte t % 3 in the escaped stream,
// run t / 2's byte t % 2 in the pair stream.
struct TokenLayouts {
    alignas(64) uint8_t run3[3][64];       // t / 3
    alignas(64) uint8_t first2of3[3][64];  // t / 3, plus 64 for byte 1: from (byte 0, byte 1)
    alignas(64) uint8_t byte3[3][64];      // t % 3
    uint64_t third3[3];                    // lanes with t % 3 == 2
    alignas(64) uint8_t pair[2][64];       // t / 2, plus 64 for byte 1: from (count, level)
};

constexpr TokenLayouts make_token_layouts()
{
    TokenLayouts l{};
    for (int c = 0; c < 3; ++c) {
        for (int u = 0; u < 64; ++u) {
            const int t = 64 * c + u;
            l.run3[c][u] = static_cast<uint8_t>(t / 3);
            l.first2of3[c][u] = static_cast<uint8_t>(t / 3 + (t % 3 == 1 ? 64 : 0));
            l.byte3[c][u] = static_cast<uint8_t>(t % 3);
            l.third3[c] |= static_cast<uint64_t>(t % 3 == 2) << u;
        }
    }
    for (int c = 0; c < 2; ++c) {
        for (int u = 0; u < 64; ++u) {
            const int t = 64 * c + u;
            l.pair[c][u] = static_cast<uint8_t>(t / 2 + (t % 2 == 1 ? 64 : 0));
        }
    }
    return l;
}

inline constexpr TokenLayouts kTokenLayouts = make_token_layouts();

struct Vbmi2Primitives : Avx512Primitives {
    // The runs between a window's starts: lane j of `levels` the level of
    // the j-th start, of `lengths` the distance to the next start (past the
    // last start: garbage).
    struct Runs {
        Window levels;
        Window lengths;
    };

    [[gnu::always_inline]] static Runs runs_between(Window window, uint64_t starts)
    {
        const __m512i lane =
            _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42, 41,
                            40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18,
                            17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
        const __m512i at = _mm512_maskz_compress_epi8(starts, lane);
        const __m512i next = _mm512_permutexvar_epi8(_mm512_add_epi8(lane, _mm512_set1_epi8(1)), at);
        return {_mm512_maskz_compress_epi8(starts, window), _mm512_sub_epi8(next, at)};
    }

    // Writes at `out` the escaped tokens of the runs from each start of
    // `starts` to the next (each shorter than a window, so no cut among
    // them), and returns the position after them. Stores 192 bytes.
    [[gnu::always_inline]] static uint8_t* escaped_runs(uint8_t* out, Window window, uint64_t starts)
    {
        const Runs runs = runs_between(window, starts);
        const __m512i escape = _mm512_set1_epi8(static_cast<char>(0xFF));
        const __mmask64 single = _mm512_cmpeq_epi8_mask(runs.lengths, _mm512_set1_epi8(1));
        const __mmask64 top = _mm512_cmpeq_epi8_mask(runs.levels, escape);
        // A run of one is its level (255 escaped); a longer one FF length level.
        const __m512i byte0 = _mm512_mask_blend_epi8(single, escape, runs.levels);
        const __m512i byte1 = _mm512_mask_blend_epi8(single, runs.lengths, escape);
        const __m512i sizes = _mm512_mask_blend_epi8(
            single, _mm512_set1_epi8(3), _mm512_mask_blend_epi8(top, _mm512_set1_epi8(1), _mm512_set1_epi8(2)));
        const auto closed = static_cast<unsigned>(std::popcount(starts) - 1);
        const __m512i kept = _mm512_maskz_mov_epi8(_bzhi_u64(~uint64_t{0}, closed), sizes);
#pragma GCC unroll 3
        for (std::ptrdiff_t c = 0; c < 3; ++c) {
            const __m512i run = _mm512_load_si512(kTokenLayouts.run3[c]);
            __m512i bytes = _mm512_permutex2var_epi8(byte0, _mm512_load_si512(kTokenLayouts.first2of3[c]), byte1);
            bytes = _mm512_mask_permutexvar_epi8(bytes, kTokenLayouts.third3[c], run, runs.levels);
            const __mmask64 keep =
                _mm512_cmplt_epu8_mask(_mm512_load_si512(kTokenLayouts.byte3[c]), _mm512_permutexvar_epi8(run, kept));
            _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, bytes));
            out += std::popcount(keep);
        }
        return out;
    }

    // The same for the pair stream: (length - 1, level) a run. Stores 128
    // bytes.
    [[gnu::always_inline]] static uint8_t* pair_runs(uint8_t* out, Window window, uint64_t starts)
    {
        const Runs runs = runs_between(window, starts);
        const __m512i counts = _mm512_sub_epi8(runs.lengths, _mm512_set1_epi8(1));
        _mm512_storeu_si512(out,
                            _mm512_permutex2var_epi8(counts, _mm512_load_si512(kTokenLayouts.pair[0]), runs.levels));
        _mm512_storeu_si512(out + 64,
                            _mm512_permutex2var_epi8(counts, _mm512_load_si512(kTokenLayouts.pair[1]), runs.levels));
        return out + 2 * static_cast<std::ptrdiff_t>(std::popcount(starts) - 1);
    }
};

}  // namespace

constinit const CodecPath avx512vbmi2_path = avx512vbmi2::make_path<Vbmi2Primitives>(
    "avx512vbmi2", {CpuFeature::avx512f, CpuFeature::avx512bw, CpuFeature::avx512vbmi, CpuFeature::avx512vbmi2,
                    CpuFeature::avx2, CpuFeature::fma, CpuFeature::bmi1, CpuFeature::bmi2, CpuFeature::popcnt});

}  // namespace comm::detail

COMM_TARGET_REGION_END

#endif  // COMM_X86_PATHS
