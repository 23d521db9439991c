// The AVX2 path: the coders of vector_coders.hpp on 256-bit registers, two to
// a 64-value window. Compiled for AVX2, FMA, BMI1 and BMI2 by a target region
// (not by a compiler flag), and run only where the CPU has them.
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

COMM_TARGET_REGION("avx2,fma,bmi,bmi2")

#define COMM_VECTOR_TARGET avx2
#include "comm/vector_coders.hpp"

namespace comm::detail {
namespace {

#include "comm/avx2_token_tables.hpp"
#include "comm/escaped_windows.hpp"
#include "comm/piece_tokens.hpp"
#include "comm/short_run_pairs.hpp"

struct Avx2Primitives {
    // The float rules need round-to-nearest, the default mode. Under any other
    // mode the caller has set, the path runs the portable coders instead.
    [[gnu::always_inline]] static bool rounds_to_nearest()
    {
        constexpr unsigned kRoundingControl = 0x6000;  // MXCSR bits 13-14; 0 is to nearest
        return (_mm_getcsr() & kRoundingControl) == 0;
    }

    struct Window {
        __m256i lo;  // bytes 0..31
        __m256i hi;  // bytes 32..63
    };

    [[gnu::always_inline]] static Window halves(Window window) { return window; }

    // Not on AMD CPUs before Zen 3 (see WithPieceTables); the avx2pext row
    // below is this path for the others.
    static constexpr bool kFastBitExtract = false;

    [[gnu::always_inline]] static __m256i load32(const void* p)
    {
        return _mm256_loadu_si256(static_cast<const __m256i*>(p));
    }

    [[gnu::always_inline]] static void store32(void* p, __m256i v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }

    [[gnu::always_inline]] static uint64_t bits(__m256i lo, __m256i hi)
    {
        return static_cast<uint32_t>(_mm256_movemask_epi8(lo)) |
               (uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(hi))} << 32);
    }

    [[gnu::always_inline]] static Window load(const uint8_t* p) { return {load32(p), load32(p + 32)}; }

    [[gnu::always_inline]] static void store(uint8_t* p, Window w)
    {
        store32(p, w.lo);
        store32(p + 32, w.hi);
    }

    [[gnu::always_inline]] static uint64_t equal(Window a, Window b)
    {
        return bits(_mm256_cmpeq_epi8(a.lo, b.lo), _mm256_cmpeq_epi8(a.hi, b.hi));
    }

    [[gnu::always_inline]] static uint64_t equal(Window a, uint8_t v)
    {
        const __m256i b = _mm256_set1_epi8(static_cast<char>(v));
        return bits(_mm256_cmpeq_epi8(a.lo, b), _mm256_cmpeq_epi8(a.hi, b));
    }

    [[gnu::always_inline]] static void fill(uint8_t* p, uint8_t v)
    {
        const __m256i b = _mm256_set1_epi8(static_cast<char>(v));
        store32(p, b);
        store32(p + 32, b);
    }

    // The first and the last sizeof(Word) of n bytes, sizeof(Word) <= n <=
    // 2 sizeof(Word), as two moves that overlap.
    template <class Word>
    [[gnu::always_inline]] static void copy_two_words(uint8_t* to, const uint8_t* from, int32_t n)
    {
        constexpr auto kBytes = static_cast<std::ptrdiff_t>(sizeof(Word));
        Word head{};
        Word tail{};
        std::memcpy(&head, from, sizeof head);
        std::memcpy(&tail, from + n - kBytes, sizeof tail);
        std::memcpy(to, &head, sizeof head);
        std::memcpy(to + n - kBytes, &tail, sizeof tail);
    }

    // Two overlapping moves of the largest width that fits (a memcpy of a
    // length known only at run time would be `rep movs` or a call).
    [[gnu::always_inline]] static void copy_short(uint8_t* to, const uint8_t* from, int32_t n)
    {
        if (n >= 32) {
            copy_two_words<__m256i>(to, from, n);
        } else if (n >= 16) {
            copy_two_words<__m128i>(to, from, n);
        } else if (n >= 8) {
            copy_two_words<uint64_t>(to, from, n);
        } else if (n >= 4) {
            copy_two_words<uint32_t>(to, from, n);
        } else if (n > 0) {  // one to three bytes: first, middle, last
            const uint8_t first = from[0];
            const uint8_t middle = from[n / 2];
            const uint8_t last = from[n - 1];
            to[0] = first;
            to[n / 2] = middle;
            to[n - 1] = last;
        }
    }

    [[gnu::always_inline]] static void fill16(uint8_t* p, uint8_t v)
    {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_set1_epi8(static_cast<char>(v)));
    }

    // Whether no count byte of the 64 pairs at p has a bit of `bits`.
    [[gnu::always_inline]] static bool counts_without(const uint8_t* p, uint8_t bits)
    {
        const __m256i any = _mm256_or_si256(_mm256_or_si256(load32(p), load32(p + 32)),
                                            _mm256_or_si256(load32(p + 64), load32(p + 96)));
        return _mm256_testz_si256(any, _mm256_set1_epi16(bits)) != 0;
    }

    [[gnu::always_inline]] static bool counts_below_16(const uint8_t* p) { return counts_without(p, 0xF0); }

    // A pair (0, level) is the little-endian word level << 8.
    [[gnu::always_inline]] static void store_pairs(uint8_t* p, Window w)
    {
        const __m256i halves[4] = {w.lo, w.lo, w.hi, w.hi};
#pragma GCC unroll 8
        for (std::ptrdiff_t k = 0; k < 4; ++k) {
            const __m128i bytes =
                k % 2 == 0 ? _mm256_castsi256_si128(halves[k]) : _mm256_extracti128_si256(halves[k], 1);
            store32(p + 32 * k, _mm256_slli_epi16(_mm256_cvtepu8_epi16(bytes), 8));
        }
    }

    // The count bytes (even) or level bytes (odd) of 32 pairs, in order.
    [[gnu::always_inline]] static __m256i pack_pair_bytes(__m256i a, __m256i b)
    {
        return _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8);
    }

    [[gnu::always_inline]] static Window pair_levels(const uint8_t* p, uint64_t& counted)
    {
        const __m256i low = _mm256_set1_epi16(0x00FF);
        __m256i levels[2];
        __m256i zero_counts[2];
#pragma GCC unroll 8
        for (std::ptrdiff_t h = 0; h < 2; ++h) {
            const __m256i a = load32(p + 64 * h);
            const __m256i b = load32(p + 64 * h + 32);
            levels[h] = pack_pair_bytes(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(b, 8));
            const __m256i counts = pack_pair_bytes(_mm256_and_si256(a, low), _mm256_and_si256(b, low));
            zero_counts[h] = _mm256_cmpeq_epi8(counts, _mm256_setzero_si256());
        }
        counted = ~bits(zero_counts[0], zero_counts[1]);
        return {levels[0], levels[1]};
    }

    // ---- Delta stream ----

    // Zigzag codes of the bytewise differences a - b.
    [[gnu::always_inline]] static __m256i codes32(__m256i a, __m256i b)
    {
        const __m256i d = _mm256_sub_epi8(a, b);
        const __m256i negative = _mm256_cmpgt_epi8(_mm256_setzero_si256(), d);
        return _mm256_xor_si256(_mm256_add_epi8(d, d), negative);
    }

    [[gnu::always_inline]] static Window delta_codes(Window levels, Window before)
    {
        return {codes32(levels.lo, before.lo), codes32(levels.hi, before.hi)};
    }

    // Bit b of every byte, byte i's as bit i.
    [[gnu::always_inline]] static void bit_planes(Window codes, uint64_t planes[8])
    {
        const __m128i shift = _mm_cvtsi32_si128(7);
#pragma GCC unroll 8
        for (int b = 0; b < 8; ++b) {
            // Moves bit b of each byte to its top bit: a shift of 16-bit lanes
            // moves the low byte's bits into the high byte's low bits only.
            const __m128i by = _mm_sub_epi64(shift, _mm_cvtsi32_si128(b));
            planes[b] = bits(_mm256_sll_epi16(codes.lo, by), _mm256_sll_epi16(codes.hi, by));
        }
    }

    // The codes whose `width` bit planes (8 bytes each) are at `planes`.
    [[gnu::always_inline]] static Window from_planes(const uint8_t* planes, int width)
    {
        __m256i lo = _mm256_setzero_si256();
        __m256i hi = _mm256_setzero_si256();
        for (int b = 0; b < width; ++b) {
            uint64_t plane = 0;
            std::memcpy(&plane, planes + 8 * static_cast<std::ptrdiff_t>(b), sizeof plane);
            const __m256i value = _mm256_set1_epi8(static_cast<char>(1 << b));
            lo = _mm256_or_si256(lo, _mm256_and_si256(bytes_of_bits(static_cast<uint32_t>(plane)), value));
            hi = _mm256_or_si256(hi, _mm256_and_si256(bytes_of_bits(static_cast<uint32_t>(plane >> 32)), value));
        }
        return {lo, hi};
    }

    // Running sums of the 32 bytes (modulo 256).
    [[gnu::always_inline]] static __m256i prefix32(__m256i x)
    {
        x = _mm256_add_epi8(x, _mm256_slli_si256(x, 1));
        x = _mm256_add_epi8(x, _mm256_slli_si256(x, 2));
        x = _mm256_add_epi8(x, _mm256_slli_si256(x, 4));
        x = _mm256_add_epi8(x, _mm256_slli_si256(x, 8));
        const __m256i low_total = _mm256_shuffle_epi8(x, _mm256_set1_epi8(15));
        return _mm256_add_epi8(x, _mm256_permute2x128_si256(low_total, low_total, 0x08));
    }

    // The levels after `before` that the codes stand for.
    [[gnu::always_inline]] static Window undelta(Window codes, uint8_t before)
    {
        const __m256i one = _mm256_set1_epi8(1);
        const auto deltas = [one](__m256i z) {
            const __m256i half = _mm256_and_si256(_mm256_srli_epi16(z, 1), _mm256_set1_epi8(0x7F));
            return _mm256_xor_si256(half, _mm256_sub_epi8(_mm256_setzero_si256(), _mm256_and_si256(z, one)));
        };
        const __m256i lo = _mm256_add_epi8(prefix32(deltas(codes.lo)), _mm256_set1_epi8(static_cast<char>(before)));
        const __m256i lo_last = _mm256_shuffle_epi8(lo, _mm256_set1_epi8(15));
        const __m256i carry = _mm256_permute2x128_si256(lo_last, lo_last, 0x11);
        return {lo, _mm256_add_epi8(prefix32(deltas(codes.hi)), carry)};
    }

    // Eight floats or 32-bit words to a vector.
    static constexpr int32_t kLanes = 8;
    // Converting levels costs three memcpys of the values here, where the
    // AVX-512 paths take two: long runs' values are written straight
    // (long_runs/1900 decode 145 -> 97 ns, decode2 148 -> 117).
    static constexpr bool kLongRunsStraight = true;
    using Floats = __m256;
    using Words = __m256i;

    [[gnu::always_inline]] static Floats load_floats(const float* p)
    {
        return _mm256_loadu_ps(p);
    }

    // Lanes i < k of 8 set (k may be below 0 or above 8).
    [[gnu::always_inline]] static __m256i lanes_below(std::ptrdiff_t k)
    {
        return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(std::clamp<std::ptrdiff_t>(k, 0, 8))),
                                  _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    }

    [[gnu::always_inline]] static Floats load_floats_partial(const float* p, std::ptrdiff_t k)
    {
        return _mm256_maskload_ps(p, lanes_below(k));
    }

    [[gnu::always_inline]] static Words zero_words()
    {
        return _mm256_setzero_si256();
    }

    [[gnu::always_inline]] static Words quantise_lanes(Floats x)
    {
        return _mm256_cvttps_epi32(_mm256_mul_ps(_mm256_min_ps(_mm256_set1_ps(1.0F), x), _mm256_set1_ps(kLevelScale)));
    }

    // 32 levels from four vectors of 8 in order.
    [[gnu::always_inline]] static __m256i pack_levels(const Words q[4])
    {
        const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(q[0], q[1]), _mm256_packs_epi32(q[2], q[3]));
        return _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    }

    [[gnu::always_inline]] static Window pack_window(const Words q[8])
    {
        return {pack_levels(q), pack_levels(q + 4)};
    }

    [[gnu::always_inline]] static Floats level_floats(const uint8_t* levels)
    {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(levels));
        const __m256 b = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
        return _mm256_fmadd_ps(b, _mm256_set1_ps(kLevelStepHigh), _mm256_mul_ps(b, _mm256_set1_ps(kLevelStepLow)));
    }

    [[gnu::always_inline]] static void store_floats(float* p, Floats v)
    {
        _mm256_storeu_ps(p, v);
    }

    [[gnu::always_inline]] static Floats splat_floats(float x)
    {
        return _mm256_set1_ps(x);
    }

    [[gnu::always_inline]] static void store_floats_partial(float* p, Floats v, std::ptrdiff_t k)
    {
        _mm256_maskstore_ps(p, lanes_below(k), v);
    }
};

struct Avx2FastPextPrimitives : Avx2Primitives {
    static constexpr bool kFastBitExtract = true;
};

template <class Primitives>
using Avx2Coders = WithEscapedWindows<WithPieceTables<WithPieceTokens<WithShortRunPairs<Primitives>>>>;

constexpr CodecPath kAvx2Path = avx2::make_path<Avx2Coders<Avx2Primitives>>(
    "avx2", {CpuFeature::avx2, CpuFeature::fma, CpuFeature::bmi1, CpuFeature::bmi2});

}  // namespace

constinit const CodecPath avx2_path = kAvx2Path;

// The AVX2 path where PEXT is fast: the escaped encoder writes windows with
// lone 255s by the table writer too. The other coders are the avx2 row's.
constinit const CodecPath avx2pext_path = [] {
    CodecPath path = kAvx2Path;
    path.name = "avx2pext";
    path.needs.add(CpuFeature::fast_pext);
    path.encode2 = avx2::encode<Avx2Coders<Avx2FastPextPrimitives>, avx2::EscapedMethod>;
    return path;
}();

}  // namespace comm::detail

COMM_TARGET_REGION_END

#endif  // COMM_X86_PATHS
