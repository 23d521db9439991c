// The AVX-512 path with VBMI and VBMI2 on top (Ice Lake, Zen 4 and later):
// the same window primitives, and the encoders' tokens made from a window's
// run starts without a loop over them. The run starts' positions are gathered
// by a byte compress and the lengths are the differences of neighbouring
// positions. Pair tokens are laid out from the lengths and the levels at the
// starts by byte permutes; escaped tokens two slots a value, from the window
// and the lengths spread back to their starts, and a second compress keeps
// the bytes each token needs.
//
// Its decoders take short runs without a branch per token too: the lengths
// and levels of a step's runs (32 pairs, or an escaped window's tokens found
// by masks and gathered by a compress) become running sums of the lengths,
// and each output lane finds its run among them by a binary search of byte
// permutes. Long runs and sparse runs stay with the window code.
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

COMM_TARGET_REGION("avx512f,avx512bw,avx512vbmi,avx512vbmi2,avx2,fma,bmi,bmi2,popcnt")

#define COMM_VECTOR_TARGET avx512vbmi2
#include "comm/vector_coders.hpp"

namespace comm::detail {
namespace {

#include "comm/avx512_primitives.hpp"

using avx512vbmi2::expand_escaped_window;
using avx512vbmi2::expand_last_escaped;
using avx512vbmi2::expand_last_pairs;
using avx512vbmi2::expand_pair_window;
using avx512vbmi2::Expanded;
using avx512vbmi2::kDenseRuns;
using avx512vbmi2::kEscape;
using avx512vbmi2::kWindow;
using avx512vbmi2::mask_below;

// Byte layout of the token writers: lane u of output vector c takes byte
// t / 2 of the first vector given to a two-source permute for even t = 64c + u,
// of the second for odd t: (count, level) pairs, or a value's two slots.
struct TokenLayouts {
    alignas(64) uint8_t pair[2][64];
};

constexpr TokenLayouts make_token_layouts()
{
    TokenLayouts l{};
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
    // Lane j the distance from the j-th start of `starts` to the next (past
    // the last start: garbage).
    [[gnu::always_inline]] static __m512i run_lengths(uint64_t starts)
    {
        const __m512i lane = lane_numbers();
        const __m512i at = _mm512_maskz_compress_epi8(starts, lane);
        const __m512i next = _mm512_permutexvar_epi8(_mm512_add_epi8(lane, _mm512_set1_epi8(1)), at);
        return _mm512_sub_epi8(next, at);
    }

    // Writes at `out` the escaped tokens of the runs from each start of
    // `starts` to the next (each shorter than a window, so no cut among
    // them), and returns the position after them. Stores 128 bytes.
    //
    // A run's token fits in two bytes a value of it: a literal in its one
    // value's two, FF length level in the four or more of a longer run. So the
    // tokens are laid out by value, two slots a value, and one compress a half
    // window keeps the bytes they need. Value i's first slot holds its level,
    // or FF where a longer run starts there; that level is the third byte of a
    // token started the value before. Its second slot holds FF for a literal
    // (kept only after a 255) or the length of the run starting there. Only
    // the lengths need the run starts gathered, and spread back to the values.
    [[gnu::always_inline]] static uint8_t* escaped_runs(uint8_t* out, Window window, uint64_t starts)
    {
        const __m512i escape = _mm512_set1_epi8(static_cast<char>(0xFF));
        const uint64_t closed = _bzhi_u64(starts, 63U - static_cast<unsigned>(std::countl_zero(starts)));
        const uint64_t literals = closed & (starts >> 1);
        const uint64_t longer = closed & ~literals;
        const uint64_t escapes = _mm512_cmpeq_epi8_mask(window, escape);
        const __m512i lengths = _mm512_maskz_expand_epi8(starts, run_lengths(starts));
        const __m512i first = _mm512_mask_blend_epi8(longer, window, escape);
        const __m512i second = _mm512_mask_blend_epi8(literals, lengths, escape);
        const uint64_t keep_first = closed | (longer << 1);
        const uint64_t keep_second = longer | (literals & escapes);
        constexpr uint64_t kFirstSlots = 0x5555555555555555;
        constexpr uint64_t kSecondSlots = ~kFirstSlots;
#pragma GCC unroll 2
        for (std::ptrdiff_t half = 0; half < 2; ++half) {
            const unsigned shift = 32U * static_cast<unsigned>(half);
            const uint64_t keep =
                _pdep_u64(keep_first >> shift, kFirstSlots) | _pdep_u64(keep_second >> shift, kSecondSlots);
            const __m512i slots = _mm512_permutex2var_epi8(first, _mm512_load_si512(kTokenLayouts.pair[half]), second);
            _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep, slots));
            out += std::popcount(keep);
        }
        return out;
    }

    // The same for the pair stream: (length - 1, level) a run. Stores 128
    // bytes.
    [[gnu::always_inline]] static uint8_t* pair_runs(uint8_t* out, Window window, uint64_t starts)
    {
        const __m512i counts = _mm512_sub_epi8(run_lengths(starts), _mm512_set1_epi8(1));
        const __m512i levels = _mm512_maskz_compress_epi8(starts, window);
        _mm512_storeu_si512(out, _mm512_permutex2var_epi8(counts, _mm512_load_si512(kTokenLayouts.pair[0]), levels));
        _mm512_storeu_si512(out + 64,
                            _mm512_permutex2var_epi8(counts, _mm512_load_si512(kTokenLayouts.pair[1]), levels));
        return out + 2 * static_cast<std::ptrdiff_t>(std::popcount(starts) - 1);
    }

    // ---- Decoders ----

    [[gnu::always_inline]] static __m512i lane_numbers()
    {
        return _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42,
                               41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20,
                               19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    }

    // Running sums of the 64 bytes, each held at 255 once it reaches it.
    [[gnu::always_inline]] static __m512i running_sums(__m512i x)
    {
        x = _mm512_adds_epu8(x, _mm512_bslli_epi128(x, 1));
        x = _mm512_adds_epu8(x, _mm512_bslli_epi128(x, 2));
        x = _mm512_adds_epu8(x, _mm512_bslli_epi128(x, 4));
        x = _mm512_adds_epu8(x, _mm512_bslli_epi128(x, 8));
        const __m512i totals = _mm512_shuffle_epi8(x, _mm512_set1_epi8(15));  // each 16-byte lane's sum
        const __m512i next_lane = _mm512_setr_epi64(0, 0, 0, 1, 2, 3, 4, 5);
        const __m512i lane1 = _mm512_maskz_permutexvar_epi64(0xFC, next_lane, totals);
        const __m512i lane2 = _mm512_maskz_permutexvar_epi64(0xFC, next_lane, lane1);
        const __m512i lane3 = _mm512_maskz_permutexvar_epi64(0xFC, next_lane, lane2);
        return _mm512_adds_epu8(_mm512_adds_epu8(x, lane1), _mm512_adds_epu8(lane2, lane3));
    }

    // Writes at `out` the levels of values base to base + 63 (base 0 or 64)
    // of the runs whose running lengths and levels are the lanes of `ends`
    // and `levels`. Each output lane finds its run, the number of runs that
    // end at it or before, by a binary search of `ends`: no step depends on a
    // run's length or position, and runs of no values are passed over. Lanes
    // past the runs' end get any of their levels. Runs up to 2 * FirstStep
    // are found.
    template <int FirstStep>
    [[gnu::always_inline]] static void spread_runs(__m512i ends, __m512i levels, int base, uint8_t* out)
    {
        const __m512i value = _mm512_add_epi8(lane_numbers(), _mm512_set1_epi8(static_cast<char>(base)));
        __m512i run = _mm512_setzero_si512();
        // Steps of FirstStep down to 1 reach run 2 * FirstStep - 1 at most, so
        // the probes stay in the vector.
        static_assert(FirstStep <= kWindow / 2);
#pragma GCC unroll 6
        for (int step = FirstStep; step >= 1; step /= 2) {
            const __m512i probe =
                _mm512_permutexvar_epi8(_mm512_add_epi8(run, _mm512_set1_epi8(static_cast<char>(step - 1))), ends);
            run = _mm512_mask_add_epi8(run, _mm512_cmple_epu8_mask(probe, value), run,
                                       _mm512_set1_epi8(static_cast<char>(step)));
        }
        _mm512_storeu_si512(out, _mm512_permutexvar_epi8(run, levels));
    }

    // Above this many values, the runs of a step are expanded by the window
    // code: two spreads cover them.
    static constexpr int32_t kSpreadValues = 2 * kWindow;
    static_assert(kSpreadValues < kEscape, "a count byte of FF must be too long for a spread");

    // Stores after the `staged` levels the runs of `lengths` (0 past the
    // last) and `levels`, which hold at most kSpreadValues values (see
    // total_length), and returns the number of values. There are at most
    // 2 * FirstStep runs.
    template <int FirstStep>
    [[gnu::always_inline]] static int32_t spread_short_runs(__m512i lengths, __m512i levels, uint8_t* staging,
                                                            int32_t staged)
    {
        const __m512i ends = running_sums(lengths);
        const int32_t values = _mm_extract_epi8(_mm512_extracti32x4_epi32(ends, 3), 15);
        spread_runs<FirstStep>(ends, levels, 0, staging + staged);
        if (values > kWindow) {
            spread_runs<FirstStep>(ends, levels, kWindow, staging + staged + kWindow);
        }
        return values;
    }

    // The number of values the 64 lengths hold, without running sums: a
    // window too long for a spread is turned away before its compresses.
    [[gnu::always_inline]] static int32_t total_length(__m512i lengths)
    {
        const __m512i eighths = _mm512_sad_epu8(lengths, _mm512_setzero_si512());
        return static_cast<int32_t>(_mm512_reduce_add_epi64(eighths));
    }

    static constexpr int32_t kStepPairs = kWindow / 2;

    // The pair stream, 32 pairs a step (a count of 255 held at a length of
    // 255, too long for a spread either way), where the next 64 pairs hold more
    // than a few runs, all short; else the window code, whose fills of long
    // runs and stores of literal stretches win there.
    static int32_t expand_pairs(const uint8_t* stream, int32_t count, uint8_t* staging)
    {
        const int32_t pairs = count / 2;  // a trailing half pair is ignored
        const __m512i count_lanes = _mm512_slli_epi16(lane_numbers(), 1);
        const __m512i level_lanes = _mm512_add_epi8(count_lanes, _mm512_set1_epi8(1));
        int32_t staged = 0;
        int32_t i = 0;
        while (pairs - i >= kWindow && staged < DECODE_MAX_VALUES) {
            const uint8_t* at = stream + 2 * static_cast<std::ptrdiff_t>(i);
            uint64_t counted = 0;
            const __m512i literals = pair_levels(at, counted);
            if (counted == 0) {
                _mm512_storeu_si512(staging + staged, literals);
                i += kWindow;
                staged += kWindow;
                continue;
            }
            if (std::popcount(counted) > kDenseRuns && counts_below_16(at)) {
                const __m512i bytes = _mm512_loadu_si512(at);
                const __m512i lengths = _mm512_maskz_adds_epu8(0xFFFFFFFF, _mm512_permutexvar_epi8(count_lanes, bytes),
                                                               _mm512_set1_epi8(1));
                if (total_length(lengths) <= kSpreadValues) {
                    staged += spread_short_runs<kStepPairs / 2>(lengths, _mm512_permutexvar_epi8(level_lanes, bytes),
                                                                staging, staged);
                    i += kStepPairs;
                    continue;
                }
            }
            const Expanded step = expand_pair_window<Vbmi2Primitives>(at, pairs - i, staging, staged);
            i += step.consumed;
            staged = step.staged;
        }
        return expand_last_pairs<Vbmi2Primitives>(stream + 2 * static_cast<std::ptrdiff_t>(i), pairs - i, staging,
                                                  staged);
    }

    // Expands the escaped tokens that start in the 64 bytes at `bytes` and
    // end in them after the `staged` levels, where there are more than a few
    // escapes and the tokens hold at most kSpreadValues values. Returns the
    // bytes consumed, or 0 for a window left to the window code: few escapes
    // or long runs.
    [[gnu::always_inline]] static Expanded expand_dense_escapes(const uint8_t* bytes, uint8_t* staging, int32_t staged)
    {
        const __m512i window = _mm512_loadu_si512(bytes);
        const uint64_t escapes = _mm512_cmpeq_epi8_mask(window, _mm512_set1_epi8(static_cast<char>(kEscape)));
        if (escapes == 0) {
            _mm512_storeu_si512(staging + staged, window);
            return {kWindow, staged + kWindow};
        }
        if (std::popcount(escapes) <= kDenseRuns) {
            return {0, staged};
        }
        // Where no escape is within two bytes of another, each one starts a
        // run token, and one at byte 62 or 63 ends in the next window: the
        // parse's latency is spared where 255s are rare.
        EscapedTokens parse{~((escapes << 1) | (escapes << 2)), escapes};
        int32_t whole_bytes = bytes[kWindow - 2] == kEscape   ? kWindow - 2
                              : bytes[kWindow - 1] == kEscape ? kWindow - 1
                                                              : kWindow;
        if ((escapes & ((escapes >> 1) | (escapes >> 2))) != 0) {
            parse = escaped_tokens(escapes);
            // A run token at byte 62 or 63 ends past the window (so does a
            // lone 255 at 63, which the parse takes for a run).
            const uint64_t cut = parse.runs & (uint64_t{3} << (kWindow - 2));
            whole_bytes = cut == 0 ? kWindow : std::countr_zero(cut);
        }
        const uint64_t tokens = parse.starts & mask_below(whole_bytes);
        const __m512i lane = lane_numbers();
        const __m512i count_byte = _mm512_permutexvar_epi8(_mm512_add_epi8(lane, _mm512_set1_epi8(1)), window);
        const __m512i level_byte = _mm512_permutexvar_epi8(_mm512_add_epi8(lane, _mm512_set1_epi8(2)), window);
        // A lone 255 keeps its escape as the level and a length of one.
        const __m512i lengths = _mm512_mask_blend_epi8(parse.runs, _mm512_set1_epi8(1), count_byte);
        if (total_length(_mm512_maskz_mov_epi8(tokens, lengths)) > kSpreadValues) {
            return {0, staged};
        }
        const __m512i levels = _mm512_mask_blend_epi8(parse.runs, window, level_byte);
        const int32_t values = spread_short_runs<kWindow / 2>(
            _mm512_maskz_compress_epi8(tokens, lengths), _mm512_maskz_compress_epi8(tokens, levels), staging, staged);
        return {whole_bytes, staged + values};
    }

    // The escaped stream, a window a step as above, or by the window code.
    static int32_t expand_escaped(const uint8_t* stream, int32_t count, uint8_t* staging)
    {
        int32_t staged = 0;
        int32_t p = 0;
        while (count - p >= 2 * kWindow && staged < DECODE_MAX_VALUES) {
            Expanded step = expand_dense_escapes(stream + p, staging, staged);
            if (step.consumed == 0) {
                step = expand_escaped_window<Vbmi2Primitives>(stream + p, count - p, staging, staged);
            }
            p += step.consumed;  // not -1: the window's tokens end in the stream
            staged = step.staged;
        }
        return expand_last_escaped<Vbmi2Primitives>(stream + p, count - p, staging, staged);
    }
};

}  // namespace

constinit const CodecPath avx512vbmi2_path = avx512vbmi2::make_path<Vbmi2Primitives>(
    "avx512vbmi2", {CpuFeature::avx512f, CpuFeature::avx512bw, CpuFeature::avx512vbmi, CpuFeature::avx512vbmi2,
                    CpuFeature::avx2, CpuFeature::fma, CpuFeature::bmi1, CpuFeature::bmi2, CpuFeature::popcnt});

}  // namespace comm::detail

COMM_TARGET_REGION_END

#endif  // COMM_X86_PATHS
