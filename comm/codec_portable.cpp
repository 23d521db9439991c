// The portable coders: plain C++ on 64-bit words for every CPU, exact under
// any rounding mode. Run starts are found eight values to a word compare, and
// tokens are written without a branch of their own. The two float
// conversions work sixteen values at a time in the compilers' vector types,
// except the quantiser's step on x86-64 (see quantise_steps_sse2).
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "comm/Comm.h"
#include "comm/codec_paths.hpp"
#include "comm/format_constants.hpp"
#include "comm/sample_level.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace comm::detail {
namespace {

using format::kEscape;
using format::kQuantiseChunk;  // typical blocks fit in one chunk: quantise all, then code all

// The float conversions take 16 values a step, in GCC and Clang vector types:
// SSE2 on x86-64, NEON on AArch64, plain code elsewhere. Written one value at
// a time, the quantiser converts one value at a time on x86-64, several times
// slower.
constexpr int32_t kStep = 16;
using Floats = float __attribute__((vector_size(16)));
using Doubles = double __attribute__((vector_size(16)));
using Words = int32_t __attribute__((vector_size(16)));
using TwoWords = int32_t __attribute__((vector_size(8)));
using UWords = uint32_t __attribute__((vector_size(16)));
using Shorts = int16_t __attribute__((vector_size(16)));
using Halves = uint16_t __attribute__((vector_size(16)));
using Bytes = uint8_t __attribute__((vector_size(16)));

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// Whether float arithmetic rounds to nearest now: the caller may have set
// another mode. 1 + 3/4 ulp and -1 - 3/4 ulp both round away from 1 only
// under rounding to nearest (upward keeps -1, downward and toward zero keep
// 1). Volatile, so that the compiler cannot fold the sums.
bool rounds_to_nearest()
{
    volatile float one = 1.0F;
    volatile float three_quarter_ulp = 0x1.8p-24F;
    const float up = one + three_quarter_ulp;
    const float down = -one - three_quarter_ulp;
    return up > 1.0F && down < -1.0F;
}

// The product of four values in [0, 1] and 255, truncated. Rounded to
// nearest, the float product truncates to the level of the exact one for
// every float in [0, 1]; the product in double is exact under any mode.
template <bool kInDouble>
Words scale_four(Floats x)
{
    if constexpr (kInDouble) {
        constexpr auto kScale = static_cast<double>(kLevelScale);
        const TwoWords low = __builtin_convertvector(
            __builtin_convertvector(__builtin_shufflevector(x, x, 0, 1), Doubles) * kScale, TwoWords);
        const TwoWords high = __builtin_convertvector(
            __builtin_convertvector(__builtin_shufflevector(x, x, 2, 3), Doubles) * kScale, TwoWords);
        return __builtin_shufflevector(low, high, 0, 1, 2, 3);
    } else {
        return __builtin_convertvector(x * kLevelScale, Words);
    }
}

// Clamped to [0, 1]; NaN fails both comparisons and becomes 0.
Floats clamp_four(Floats x)
{
    x = x > 0.0F ? x : 0.0F;
    return x < 1.0F ? x : 1.0F;
}

// Whether all of the values are in [+0, 1]: their bits, unsigned, are at
// most those of 1 (negative numbers have the sign bit, NaN and larger
// numbers a larger exponent).
bool in_range(const Floats (&rows)[4])
{
    constexpr auto kOne = std::bit_cast<uint32_t>(1.0F);
    const UWords outside = (std::bit_cast<UWords>(rows[0]) > kOne) | (std::bit_cast<UWords>(rows[1]) > kOne) |
                           (std::bit_cast<UWords>(rows[2]) > kOne) | (std::bit_cast<UWords>(rows[3]) > kOne);
    const UWords folded = outside | __builtin_shufflevector(outside, outside, 2, 3, 0, 1);
    return (folded[0] | folded[1]) == 0;
}

// Sixteen values a step, clamped only where some are out of range: most
// blocks have none, and the clamp doubles the step's instructions.
// Returns the values quantised, a multiple of 16.
template <bool kInDouble>
int32_t quantise_steps(const float* values, uint8_t* levels, int32_t n)
{
    int32_t i = 0;
    for (; i + kStep <= n; i += kStep) {
        Floats rows[4];
        for (std::ptrdiff_t k = 0; k < 4; ++k) {
            std::memcpy(&rows[k], values + i + 4 * k, sizeof rows[k]);
        }
        if (!in_range(rows)) [[unlikely]] {
            for (Floats& row : rows) {
                row = clamp_four(row);
            }
        }
        const Shorts low =
            __builtin_convertvector(__builtin_shufflevector(scale_four<kInDouble>(rows[0]),
                                                            scale_four<kInDouble>(rows[1]), 0, 1, 2, 3, 4, 5, 6, 7),
                                    Shorts);
        const Shorts high =
            __builtin_convertvector(__builtin_shufflevector(scale_four<kInDouble>(rows[2]),
                                                            scale_four<kInDouble>(rows[3]), 0, 1, 2, 3, 4, 5, 6, 7),
                                    Shorts);
        const Bytes bytes = __builtin_convertvector(
            __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15), Bytes);
        std::memcpy(levels + i, &bytes, sizeof bytes);
    }
    return i;
}

#if defined(__SSE2__)
// GCC 12 compiles neither the clamp nor the narrowing above to SSE2's min
// and pack instructions, and its step takes about 1.6 times as long as this
// one (2.5 times on blocks with values above 1); every x86-64 CPU has SSE2.
// Only the top is clamped: the packs saturate what the conversion gives
// below 0 (negative numbers, and NaN, which min passes on from its second
// operand and the conversion turns into INT32_MIN) to level 0. Values above
// 1, infinity included, must be clamped, as the conversion turns those
// beyond INT32_MAX into INT32_MIN too. The float unit is this loop's
// bottleneck, and a max would be a quarter of its work.
int32_t quantise_steps_sse2(const float* values, uint8_t* levels, int32_t n)
{
    const __m128 one = _mm_set1_ps(1.0F);
    const __m128 scale = _mm_set1_ps(kLevelScale);
    int32_t i = 0;
    for (; i + kStep <= n; i += kStep) {
        __m128i q[4];
        for (std::ptrdiff_t k = 0; k < 4; ++k) {
            const __m128 x = _mm_loadu_ps(values + i + 4 * k);
            q[k] = _mm_cvttps_epi32(_mm_mul_ps(_mm_min_ps(one, x), scale));
        }
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(q[0], q[1]), _mm_packs_epi32(q[2], q[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(levels + i), bytes);
    }
    return i;
}
#endif

void quantise_block(const float* values, uint8_t* levels, int32_t n)
{
#if defined(__SSE2__)
    int32_t i = rounds_to_nearest() ? quantise_steps_sse2(values, levels, n) : quantise_steps<true>(values, levels, n);
#else
    int32_t i =
        rounds_to_nearest() ? quantise_steps<false>(values, levels, n) : quantise_steps<true>(values, levels, n);
#endif
    for (; i < n; ++i) {
        levels[i] = quantise(values[i]);
    }
}

// The 16 bytes widened to words by interleaving zero bytes, twice: a lane
// sits in memory in lane order on every CPU, so the zeros go above each byte
// in memory order on little-endian CPUs and below it on big-endian ones.
// Written as a conversion, GCC widens through signed 16-bit lanes and spends
// a third more instructions on SSE2.
template <int... kLanes>
Bytes interleave_zero(Bytes bytes)
{
    return __builtin_shufflevector(bytes, Bytes{}, kLanes...);
}

void widen_levels(Bytes bytes, Words (&words)[4])
{
    Bytes halves[2];
    if constexpr (kLittleEndian) {
        halves[0] = interleave_zero<0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23>(bytes);
        halves[1] = interleave_zero<8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31>(bytes);
        for (std::ptrdiff_t k = 0; k < 2; ++k) {
            words[2 * k] = std::bit_cast<Words>(
                interleave_zero<0, 1, 16, 17, 2, 3, 18, 19, 4, 5, 20, 21, 6, 7, 22, 23>(halves[k]));
            words[2 * k + 1] = std::bit_cast<Words>(
                interleave_zero<8, 9, 24, 25, 10, 11, 26, 27, 12, 13, 28, 29, 14, 15, 30, 31>(halves[k]));
        }
    } else {
        halves[0] = interleave_zero<16, 0, 17, 1, 18, 2, 19, 3, 20, 4, 21, 5, 22, 6, 23, 7>(bytes);
        halves[1] = interleave_zero<24, 8, 25, 9, 26, 10, 27, 11, 28, 12, 29, 13, 30, 14, 31, 15>(bytes);
        for (std::ptrdiff_t k = 0; k < 2; ++k) {
            words[2 * k] = std::bit_cast<Words>(
                interleave_zero<16, 17, 0, 1, 18, 19, 2, 3, 20, 21, 4, 5, 22, 23, 6, 7>(halves[k]));
            words[2 * k + 1] = std::bit_cast<Words>(
                interleave_zero<24, 25, 8, 9, 26, 27, 10, 11, 28, 29, 12, 13, 30, 31, 14, 15>(halves[k]));
        }
    }
}

// b / 255 for 16 levels, as b * kLevelProductScale with one added to its
// bits (see sample_level.hpp): one multiply, where a sum of two products
// takes three operations, and exact under any rounding mode.
void convert_four(Words words, float* values)
{
    // 1 in each 32-bit lane's half that holds the level: min(b, 1) is then
    // one 16-bit min (SSE2 has no 32-bit one), and 0 for level 0.
    const auto kOneIfAny = std::bit_cast<Shorts>(Words{1, 1, 1, 1});
    const Floats below = __builtin_convertvector(words, Floats) * kLevelProductScale;
    const auto halves = std::bit_cast<Shorts>(words);
    const auto any = std::bit_cast<Words>(halves < kOneIfAny ? halves : kOneIfAny);
    const auto four = std::bit_cast<Floats>(std::bit_cast<Words>(below) + any);
    std::memcpy(values, &four, sizeof four);
}

void convert_step(const uint8_t* __restrict levels, float* __restrict values)
{
    Bytes bytes;
    std::memcpy(&bytes, levels, sizeof bytes);
    Words words[4];
    widen_levels(bytes, words);
    for (std::ptrdiff_t k = 0; k < 4; ++k) {
        convert_four(words[k], values + 4 * k);
    }
}

// The values of the 16 pairs (0, level) at `pairs`, runs of one value: a
// pair is a 16-bit lane holding its level, so one shift and one interleave
// widen it, where staging the levels and converting them took twice the
// instructions (uniform decode 446 -> 355 ns, white noise 467 -> 360).
void convert_single_pairs(const uint8_t* __restrict pairs, float* __restrict values)
{
    for (std::ptrdiff_t h = 0; h < 2; ++h) {
        // One load a vector: loaded as an array, GCC stores both to the stack
        // and loads each back.
        Halves eight;
        std::memcpy(&eight, pairs + 16 * h, sizeof eight);
        const Halves levels = kLittleEndian ? eight >> 8 : eight & 0xFF;
        const Halves zero{};
        Halves words[2];
        if constexpr (kLittleEndian) {
            words[0] = __builtin_shufflevector(levels, zero, 0, 8, 1, 9, 2, 10, 3, 11);
            words[1] = __builtin_shufflevector(levels, zero, 4, 12, 5, 13, 6, 14, 7, 15);
        } else {
            words[0] = __builtin_shufflevector(levels, zero, 8, 0, 9, 1, 10, 2, 11, 3);
            words[1] = __builtin_shufflevector(levels, zero, 12, 4, 13, 5, 14, 6, 15, 7);
        }
        convert_four(std::bit_cast<Words>(words[0]), values + 8 * h);
        convert_four(std::bit_cast<Words>(words[1]), values + 8 * h + 4);
    }
}

// values[i] = level_value(levels[i]) for i < n. With `whole_vectors`, up
// to 15 values past n may be written too, from the levels there, where that is
// faster. Inlined, so that a decoder's long runs, each converting the few
// levels before it, do not pay a call and the constants' set-up (plateau
// decode 274 -> 188 ns).
[[gnu::always_inline]] inline void convert_levels(const uint8_t* levels, float* values, int32_t n, bool whole_vectors)
{
    int32_t i = 0;
    const int32_t end = whole_vectors ? n + kStep - 1 : n;
    for (; i + kStep <= end; i += kStep) {
        convert_step(levels + i, values + i);
    }
    for (; i < n; ++i) {
        values[i] = level_value(levels[i]);
    }
}

void level_values_block(const uint8_t* levels, float* values, int32_t n)
{
    convert_levels(levels, values, n, false);
}

// ---- Words of eight levels ---------------------------------------------------

constexpr uint64_t kOnes = 0x0101010101010101U;
constexpr uint64_t kHighs = 0x8080808080808080U;

// Bytes in stream order: byte i of a word is bits 8i to 8i + 7.
uint64_t load_word(const uint8_t* p)
{
    uint64_t word = 0;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) {
        word = __builtin_bswap64(word);
    }
    return word;
}

void store_word(uint8_t* p, uint64_t word)
{
    if constexpr (std::endian::native == std::endian::big) {
        word = __builtin_bswap64(word);
    }
    std::memcpy(p, &word, sizeof word);
}

// The high bit of each byte of `word` that is 0, and no other bit. A byte's
// high bit comes from the carry of its own low seven bits or from its own high
// bit, never from a neighbour.
uint64_t zero_bytes(uint64_t word)
{
    return ~(((word & ~kHighs) + ~kHighs) | word) & kHighs;
}

// The low four bytes of `word`, byte i of the word at p[i].
void store_four(uint8_t* p, uint32_t word)
{
    if constexpr (std::endian::native == std::endian::big) {
        word = __builtin_bswap32(word);
    }
    std::memcpy(p, &word, sizeof word);
}

// Byte 0 of `pair` at p[0], byte 1 at p[1].
void store_two(uint8_t* p, uint16_t pair)
{
    const uint8_t bytes[2] = {static_cast<uint8_t>(pair), static_cast<uint8_t>(pair >> 8)};
    std::memcpy(p, bytes, sizeof bytes);
}

// The high bits of a word's bytes gathered into bits 0 to 7, byte i to bit i.
uint64_t gather_highs(uint64_t highs)
{
    return ((highs >> 7) * 0x0102040810204080U) >> 56;
}

// The high bit of each byte of `word` that is the escape byte (FF), and no
// other bit: a byte's low seven bits plus one carry into its high bit only
// when they are all ones, and never into the next byte.
uint64_t escape_bytes(uint64_t word)
{
    return ((word & ~kHighs) + kOnes) & word & kHighs;
}

// Bit i set for i < valid.
uint64_t first_bits(int32_t valid)
{
    return valid >= 64 ? ~uint64_t{0} : (uint64_t{1} << valid) - 1;
}

// ---- Encoders ------------------------------------------------------------------
//
// Encoders quantise a chunk of up to 8192 values into a buffer of levels, then
// code it 64 values at a time. Bit i of a window's mask `starts` says that
// value i begins a run: it differs from the value before it, or its run has
// reached the longest a token holds. The run still open has no token yet;
// `out` is where its token goes, and each start closes it, writing the token
// with stores of fixed size, its length picked without a branch. A window of
// 64 runs of one value (and, for the escaped stream, no level 255) is written
// eight tokens to a store.
//
// A token costs at most two bytes a value, so `out` never passes twice the
// open run's start, and a token's store (four bytes, the next tokens
// overwriting what it does not need: it closes a run that ends at n - 2 or
// earlier, so ends by 2n) and a word's (its eight values' tokens) stay inside
// the caller's 2n bytes. Only the last token may not: it goes through a
// buffer.

constexpr int32_t kWindow = 64;

// An encoder's state between windows, passed by value so that it stays in
// registers.
struct OpenRun {
    uint8_t* out;
    int32_t start;  // index of the run's first value in the block
    uint8_t level;
};

// Pair stream: each run as (length - 1, level), runs cut at 256 values.
struct PairTokens {
    static constexpr int32_t kMaxRun = format::kPairMaxRun;
    static constexpr int32_t kSingleBytes = 2;
    static constexpr bool kDoublesUnlike = false;

    // Writes four bytes, the next token overwriting the last two.
    static uint8_t* put(uint8_t* out, std::ptrdiff_t length, uint8_t level)
    {
        store_four(out, static_cast<uint32_t>(length - 1) | (uint32_t{level} << 8));
        return out + 2;
    }

    static uint8_t* close(const OpenRun& run, int32_t end) { return put(run.out, end - run.start, run.level); }

    // The lanes (FF) of 16 levels whose runs of one are not written as the
    // level itself: none.
    static Bytes unlike_singles(Bytes /*levels*/) { return Bytes{}; }

    // The pairs (0, level) of the eight levels at `levels` (16 bytes
    // readable there): 16 bytes, each level interleaved with a zero byte. A
    // vector's lanes sit in memory in lane order on every CPU, so this is the
    // stream's byte order (the inverse of gather_pair_levels), in one
    // instruction on SSE2 and NEON where word shifts take a dozen.
    static uint8_t* put_singles(uint8_t* out, const uint8_t* levels)
    {
        Bytes sixteen;
        std::memcpy(&sixteen, levels, sizeof sixteen);
        const Bytes zero{};
        const Bytes pairs =
            __builtin_shufflevector(zero, sixteen, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23);
        std::memcpy(out, &pairs, sizeof pairs);
        return out + 16;
    }
    static bool unlike_single(uint8_t /*level*/) { return false; }

    // The (0, level) pairs of the `count` (0 to 64) levels at `levels`, eight
    // a store, the first eight whatever the count: up to 16 bytes past them
    // are written, and 16 levels from the last eight's first read. Most gaps
    // between tokens hold eight literals or fewer, often none.
    static uint8_t* put_literals(uint8_t* out, const uint8_t* levels, std::ptrdiff_t count)
    {
        put_singles(out, levels);
        if (count > 8) [[unlikely]] {
            for (std::ptrdiff_t k = 8; k < count; k += 8) {
                put_singles(out + 2 * k, levels + k);
            }
        }
        return out + 2 * count;
    }
};

// Escaped stream: a run of one is a literal (255 as FF FF), a longer one
// FF length level; runs cut at 254 values.
struct EscapedTokens {
    static constexpr int32_t kMaxRun = format::kEscapedMaxRun;
    static constexpr int32_t kSingleBytes = 1;  // when not 255
    // A 255 alone, FF FF, is copied as a literal twice over.
    static constexpr bool kDoublesUnlike = true;

    // A token's four bytes and, in the top byte, its size: a literal's
    // (level, FF, level), whose FF stays only after a 255, from kLiterals; a
    // run's (FF, length, level) from kRuns with its length put in.
    static constexpr std::array<uint32_t, 256> kLiterals = [] {
        std::array<uint32_t, 256> words{};
        for (uint32_t level = 0; level < 256; ++level) {
            words[level] = level | uint32_t{kEscape} << 8 | level << 16 | (level == kEscape ? 2U : 1U) << 24;
        }
        return words;
    }();
    static constexpr std::array<uint32_t, 256> kRuns = [] {
        std::array<uint32_t, 256> words{};
        for (uint32_t level = 0; level < 256; ++level) {
            words[level] = kEscape | level << 16 | 3U << 24;
        }
        return words;
    }();

    // Writes four bytes whatever the token, in one store.
    static uint8_t* put(uint8_t* out, std::ptrdiff_t length, uint8_t level)
    {
        const uint32_t token = length == 1 ? kLiterals[level] : kRuns[level] | static_cast<uint32_t>(length) << 8;
        store_four(out, token);
        return out + (token >> 24);
    }

    static uint8_t* close(const OpenRun& run, int32_t end) { return put(run.out, end - run.start, run.level); }

    // Level 255, whose run of one is escaped.
    static Bytes unlike_singles(Bytes levels) { return std::bit_cast<Bytes>(levels == kEscape); }

    static uint8_t* put_singles(uint8_t* out, const uint8_t* levels)
    {
        std::memcpy(out, levels, 8);
        return out + 8;
    }
    static bool unlike_single(uint8_t level) { return level == kEscape; }

    // The `count` (0 to 64) levels at `levels`, as 8, 16, 32 or 64 bytes, as
    // many levels read: up to 16 bytes past them are written, or 31 when
    // count is 33 or more. A loop here becomes a call of the C library's
    // memcpy, several times slower on a few bytes. Most gaps between tokens
    // hold eight literals or fewer: one word, the longer copies out of the
    // way of the token loop.
    static uint8_t* put_literals(uint8_t* out, const uint8_t* levels, std::ptrdiff_t count)
    {
        uint64_t word = 0;
        std::memcpy(&word, levels, sizeof word);
        std::memcpy(out, &word, sizeof word);
        if (count > 8) [[unlikely]] {
            std::memcpy(out, levels, 16);
            if (count > 16) {
                std::memcpy(out + 16, levels + 16, 16);
                if (count > 32) {
                    std::memcpy(out + 32, levels + 32, 32);
                }
            }
        }
        return out + count;
    }
};

// Closes the open run at each of `starts` in turn, opening the next there.
template <class Tokens>
OpenRun close_at_starts(const uint8_t* levels, int32_t first, uint64_t starts, OpenRun run)
{
    // Positions relative to the window, in registers of the pointer's width.
    uint8_t* out = run.out;
    std::ptrdiff_t start = run.start - first;  // negative while the run began before the window
    uint8_t level = run.level;
    while (starts != 0) {
        const std::ptrdiff_t s = std::countr_zero(starts);
        out = Tokens::put(out, s - start, level);
        start = s;
        level = levels[s];
        starts &= starts - 1;
    }
    return {out, first + static_cast<int32_t>(start), level};
}

// The pair token of the run that a start at s closes, (s - start - 1) |
// level << 8, is s - 1 plus a term fixed when the run opens: a token costs an
// add and a store.
template <>
OpenRun close_at_starts<PairTokens>(const uint8_t* levels, int32_t first, uint64_t starts, OpenRun run)
{
    if (starts == 0) {
        return run;
    }
    uint8_t* out = run.out;
    // Modular: the run may have begun before the window (start negative).
    uint32_t opened = (uint32_t{run.level} << 8) - static_cast<uint32_t>(run.start - first);
    uint32_t s = 0;
    do {
        s = static_cast<uint32_t>(std::countr_zero(starts));
        store_two(out, static_cast<uint16_t>(s - 1 + opened));
        out += 2;
        opened = (uint32_t{levels[s]} << 8) - s;
        starts &= starts - 1;
    } while (starts != 0);
    return {out, first + static_cast<int32_t>(s), levels[s]};
}

// Bit 16k + i set where lane i of lanes[k] (each lane 0 or FF) is FF. Each
// lane keeps its bit's weight within its eight, so that each eight's bits
// are the OR of its bytes; the 64 bytes are folded to 8 by ORs of shifted
// halves, two vectors into one at each step, with no multiply. The shifts
// move bytes toward the first or the last of their eight in memory order,
// whatever the CPU's byte order, and the masks are bytes in memory order.
using Quads = uint64_t __attribute__((vector_size(16)));

template <int kBytes>
Quads toward_first(Quads x)
{
    return kLittleEndian ? x >> (8 * kBytes) : x << (8 * kBytes);
}

template <int kBytes>
Quads toward_last(Quads x)
{
    return kLittleEndian ? x << (8 * kBytes) : x >> (8 * kBytes);
}

// Bytes j of each eight with j mod 2 kBytes below kBytes (a constant once
// inlined).
template <int kBytes>
Quads first_of_each()
{
    std::array<uint8_t, 16> bytes{};
    for (std::size_t j = 0; j < bytes.size(); ++j) {
        bytes[j] = j % (2 * static_cast<std::size_t>(kBytes)) < static_cast<std::size_t>(kBytes) ? 0xFF : 0;
    }
    Quads quads;
    std::memcpy(&quads, bytes.data(), sizeof quads);
    return quads;
}

// Each byte of a ORed with the one kBytes after it where first_of_each says,
// each byte of b with the one kBytes before it elsewhere.
template <int kBytes>
Quads fold_pair(Quads a, Quads b)
{
    const Quads first = first_of_each<kBytes>();
    return ((a | toward_first<kBytes>(a)) & first) | ((b | toward_last<kBytes>(b)) & ~first);
}

[[gnu::always_inline]] inline uint64_t window_bits(const Bytes (&lanes)[4])
{
    constexpr Bytes kWeights = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    Quads weighted[4];
    for (std::size_t k = 0; k < 4; ++k) {
        weighted[k] = std::bit_cast<Quads>(lanes[k] & kWeights);
    }
    // Byte 0 of each eight: its bits from lanes[0], 2 from lanes[1], 4 from
    // lanes[2], 6 from lanes[3]; the odd bytes 0.
    const Quads folded = fold_pair<2>(fold_pair<4>(weighted[0], weighted[2]), fold_pair<4>(weighted[1], weighted[3]));
    const Quads bytes = (folded | toward_first<1>(folded)) & first_of_each<1>();
    uint64_t halves[2];
    std::memcpy(halves, &bytes, sizeof halves);
    if constexpr (!kLittleEndian) {
        halves[0] = __builtin_bswap64(halves[0]);
        halves[1] = __builtin_bswap64(halves[1]);
    }
    return halves[0] | halves[1] << 8;  // lanes 8 to 15 of each vector after 0 to 7
}

// Codes a whole window (levels[-1] and 95 bytes from levels readable; the
// stream has room for 140 bytes past twice `first`) a step per token other
// than a literal, a run of one value written as the level itself (escaped
// stream) or as (0, level) (pair stream): the literals between two such
// tokens are written by Tokens::put_literals. Bit t of `closes` says that the
// run through value t - 1 is not a literal, and the matching bit of `opens`
// (after the first, whose run may begin before the window) where it begins.
// `unlike`: the values whose runs of one are not literals (255, escaped).
// Where the escaped stream has a 255 alone, it is a literal too, copied twice
// (kDoubling): a word copy for each, where a token's step took twice the
// instructions and a store more.
//
// The pair stores end at most 16 bytes past the tokens of the values before
// the last start (first + 63 at most), which take two bytes a value, less two
// here, as a window of 64 runs of one value is coded apart: 2 first + 140
// bytes in all. The escaped ones end 16 bytes past those tokens, or 64 past
// those of 33 fewer values, and an escaped stream takes five bytes for three
// values at most (a 255 alone, two bytes, follows a run of another level):
// well inside that.
template <class Tokens, bool kDoubling = false>
OpenRun close_literal_window(const uint8_t* levels, int32_t first, uint64_t starts, uint64_t unlike, OpenRun run)
{
    const std::ptrdiff_t open = run.start - first;  // -1 or below
    const uint64_t single_before = (starts << 1) | (open == -1 ? 1U : 0U);
    const uint64_t unlike_before = (unlike << 1) | (Tokens::unlike_single(levels[-1]) ? 1U : 0U);
    // Bit s: value s - 1 is a 255 alone, which the copy writes twice.
    uint64_t doubles = starts & single_before & unlike_before;
    if constexpr (Tokens::kDoublesUnlike && !kDoubling) {
        if (doubles != 0) {
            return close_literal_window<Tokens, true>(levels, first, starts, unlike, run);
        }
    }
    const uint64_t literals = starts & single_before & (kDoubling ? ~uint64_t{0} : ~unlike_before);
    if (literals == 0) {  // long runs: nothing to copy, a step per token as it is
        return close_at_starts<Tokens>(levels, first, starts, run);
    }
    const int last = 63 - std::countl_zero(starts);  // the open run's start: literals are starts
    uint64_t closes = starts & ~literals;
    uint64_t opens = starts & ~(literals >> 1) & ~std::bit_floor(starts);
    uint8_t* out = run.out;
    std::ptrdiff_t written = open;                // the values before this are in the stream
    if ((closes & starts & (0 - starts)) != 0) {  // the first start closes a run begun before
        const std::ptrdiff_t t = std::countr_zero(closes);
        out = Tokens::put(out, t - open, run.level);
        written = t;
        closes &= closes - 1;
    }
    // The literals of values written.. up to `end`, each 255 alone among them
    // copied twice: the copy up to it ends with it, the next starts with it.
    const auto put_gap = [&](std::ptrdiff_t end, uint64_t gap) {
        if constexpr (kDoubling) {
            while (gap != 0) {
                const std::ptrdiff_t s = std::countr_zero(gap);
                out = Tokens::put_literals(out, levels + written, s - written);
                written = s - 1;
                gap &= gap - 1;
            }
        }
        out = Tokens::put_literals(out, levels + written, end - written);
    };
    // Every literal is value -1 or later (a run begun earlier is longer than
    // one value, so the first start closes it above): 64 literals at most.
    while (closes != 0) {
        if (opens == 0) {  // each close here pairs with an open below it
            __builtin_unreachable();
        }
        const std::ptrdiff_t t = std::countr_zero(closes);
        const std::ptrdiff_t r = std::countr_zero(opens);
        const uint64_t gap = doubles & ((uint64_t{2} << r) - 1);  // those of values before r
        doubles ^= gap;
        put_gap(r, gap);
        out = Tokens::put(out, t - r, levels[r]);
        written = t;
        closes &= closes - 1;
        opens &= opens - 1;
    }
    put_gap(last, doubles);
    return {out, first + last, levels[last]};
}

// A window's masks: bit i of `starts`, value i differs from the one before;
// of `unlike`, its run of one is not written as it is. Compared 16 values a
// vector (levels[-1] and 64 bytes from levels read).
struct WindowMasks {
    // cppcheck-suppress unusedStructMember ; read in code_window, a template
    uint64_t starts;
    // cppcheck-suppress unusedStructMember ; read in code_window, a template
    uint64_t unlike;
};

template <class Tokens>
[[gnu::always_inline]] inline WindowMasks window_masks(const uint8_t* levels)
{
    Bytes equal_lanes[4];
    Bytes unlike_lanes[4];
    Bytes any_unlike{};
    for (std::ptrdiff_t k = 0; k < 4; ++k) {
        Bytes now;
        Bytes before;
        std::memcpy(&now, levels + 16 * k, sizeof now);
        std::memcpy(&before, levels + 16 * k - 1, sizeof before);
        equal_lanes[k] = std::bit_cast<Bytes>(now == before);
        unlike_lanes[k] = Tokens::unlike_singles(now);
        any_unlike |= unlike_lanes[k];
    }
    const uint64_t equal = window_bits(equal_lanes);
    // Most windows have no 255: their mask is then 0 without its folds.
    uint64_t unlike = 0;
    uint64_t any_halves[2];
    std::memcpy(any_halves, &any_unlike, sizeof any_halves);
    if ((any_halves[0] | any_halves[1]) != 0) {
        unlike = window_bits(unlike_lanes);
    }
    return {~equal, unlike};  // gathered as the values equal to the one before, a compare fewer
}

// Codes the window of levels[0..valid) (valid <= 64; levels[-1] and 72 bytes
// from levels are readable), the values first.. of the block, whose masks
// are `masks`.
template <class Tokens>
OpenRun code_window(const uint8_t* levels, int32_t first, int32_t valid, bool room, OpenRun run, WindowMasks masks)
{
    uint64_t starts = masks.starts;
    const uint64_t unlike = masks.unlike;
    if (starts == ~uint64_t{0} && unlike == 0 && valid == kWindow) {  // 64 runs of one value
        uint8_t* out = Tokens::close(run, first);
        for (std::ptrdiff_t k = 0; k < 8; ++k) {
            out = Tokens::put_singles(out, levels + 8 * k);
        }
        return {out - Tokens::kSingleBytes, first + kWindow - 1, levels[kWindow - 1]};
    }
    starts &= first_bits(valid);
    // The open run holds at most kMaxRun values before the window, so the cut
    // is at 0 or later, and comes at most once in a window: where the run
    // reaches kMaxRun values unless a start comes first.
    const int32_t cut = run.start + Tokens::kMaxRun - first;
    if (cut < valid && (starts & ((uint64_t{1} << cut) - 1)) == 0) {
        starts |= uint64_t{1} << cut;
    }
    if (room) {
        return close_literal_window<Tokens>(levels, first, starts, unlike, run);
    }
    // Words of eight runs of one value, each written by word stores: bit k
    // for word k.
    const auto bulk = static_cast<uint32_t>(gather_highs(zero_bytes(~starts | unlike)) & first_bits(valid / 8));
    if (bulk == 0) {  // noisy data and runs: one loop over the window's starts
        return close_at_starts<Tokens>(levels, first, starts, run);
    }
    for (int32_t k = 0; k < 8; ++k) {
        const int32_t at = 8 * k;
        if (((bulk >> k) & 1) != 0) {
            uint8_t* const out = Tokens::put_singles(Tokens::close(run, first + at), levels + at);
            run = {out - Tokens::kSingleBytes, first + at + 7, levels[at + 7]};
        } else {
            run = close_at_starts<Tokens>(levels, first, starts & (uint64_t{0xFF} << at), run);
        }
    }
    return run;
}

// Both encoders: quantise a chunk, code it window by window.
template <class Tokens>
int32_t encode_runs(const float* values, uint8_t* stream, int32_t n)
{
    if (n <= 0 || n > ENCODE_MAX_VALUES) {
        return 0;
    }
    // levels[-1] is the value before the chunk's first; a window past the
    // chunk's end reads zeros (a window starts kWindow or more before the end
    // of a whole chunk, so the 72 bytes it may read are inside), and so do
    // the unused masks of the window after the last, up to 127 bytes past
    // the last window's first value.
    alignas(8) uint8_t buffer[8 + kQuantiseChunk + 2 * kWindow];
    uint8_t* const levels = buffer + 8;

    OpenRun run{stream, 0, 0};
    for (int32_t base = 0; base < n; base += kQuantiseChunk) {
        const int32_t size = std::min(kQuantiseChunk, n - base);
        const uint8_t before = base == 0 ? 0 : levels[kQuantiseChunk - 1];
        quantise_block(values + base, levels, size);
        std::memset(levels + size, 0, 2 * static_cast<std::size_t>(kWindow));
        if (base == 0) {
            run.level = levels[0];
            levels[-1] = levels[0];  // the first value continues the open run
        } else {
            levels[-1] = before;
        }
        // Each window's masks are found before the window before it is
        // coded, so that they are ready when its token loop ends (a loop
        // exit is likely mispredicted, and work after it waits): found after
        // it, encode sensor_fine/1900 took 975 ns against 891, encode2 1041
        // against 971 (CPU 0, A/B).
        WindowMasks next = window_masks<Tokens>(levels);
        for (int32_t i = 0; i < size; i += kWindow) {
            const WindowMasks masks = next;
            next = window_masks<Tokens>(levels + i + kWindow);  // past the last, of zeros
            // The literal window's stores end at most 140 bytes past twice
            // its first value (see close_literal_window), and it reads 95
            // bytes of levels: with 70 values or more from its first, they
            // stay inside the stream and the buffer, and the window is whole.
            const bool room = n - (base + i) >= kWindow + 6;
            run = code_window<Tokens>(levels + i, base + i, std::min(kWindow, size - i), room, run, masks);
        }
    }
    uint8_t last[4] = {};
    uint8_t* const at = run.out;
    run.out = last;
    const auto bytes = static_cast<size_t>(Tokens::close(run, n) - last);
    std::memcpy(at, last, bytes);
    return static_cast<int32_t>(at + bytes - stream);
}

int32_t encode_pairs(const float* values, uint8_t* stream, int32_t n)
{
    return encode_runs<PairTokens>(values, stream, n);
}

int32_t encode_escaped(const float* values, uint8_t* stream, int32_t n)
{
    return encode_runs<EscapedTokens>(values, stream, n);
}

// ---- Decoders ------------------------------------------------------------------
//
// Decoders expand a stream into a staging area of levels, then convert them
// to values, so nothing is written to the caller's values past the count
// returned. A run is staged as word stores of its level, the first two
// whatever its length, into the staging area's slack; a step starts only below
// the capacity, so the slack holds the longest run's stores past it. A run
// longer than that, kept whole, goes to the values directly instead: the
// levels staged before it are converted first, in whole vectors whose stores
// past them the run's own values overwrite.

// A step starts below the capacity and stages at most four pair runs of up to
// 256 values or eight escaped ones of up to 254, the last with word stores to
// 256 bytes on.
constexpr int32_t kEscapedStepBytes = 24;  // eight tokens of up to three bytes
// The bytes a step reads: its last token starts 21 bytes on at most, and each
// token is read as a word.
constexpr int32_t kEscapedStepReach = kEscapedStepBytes - 3 + 8;
constexpr int32_t kStagingBytes = DECODE_MAX_VALUES + 8 * format::kPairMaxRun;

// Runs longer than this are written to the values directly. The whole
// vectors converted before such a run write up to 15 values past the staged
// levels, so it must be 15 values or longer.
constexpr int32_t kStagedRun = 16;
static_assert(kStagedRun + 1 >= 15);

// The expanders keep the count of staged levels in a local of their own:
// the level stores are byte stores, which the compiler must assume may change
// any member, so a member count would be reloaded after each.
class Staging {
public:
    // The levels are written before they are read: no need to clear them.
    // cppcheck-suppress uninitMemberVar
    explicit Staging(float* values) : values_(values) {}  // NOLINT(cppcoreguidelines-pro-type-member-init)

    [[nodiscard]] uint8_t* levels() { return levels_; }

    // Stages the rest of a run longer than kStagedRun whose first 16 levels
    // are stored at `staged`; returns the new count.
    int32_t put_long_run(int32_t staged, uint8_t level, int32_t length)
    {
        if (staged + length > DECODE_MAX_VALUES) {  // cut at the capacity: staged, converted exactly at the end
            for (int32_t k = 16; k < length; k += 8) {
                store_word(levels_ + staged + k, level * kOnes);
            }
            return staged + length;
        }
        // Past the staged levels, the whole vectors read this run's first 16
        // levels, stored by the caller, and write no further than its values.
        convert_levels(levels_ + converted_, values_ + converted_, staged - converted_, true);
        const float value = level_value(level);
        const float four[4] = {value, value, value, value};
        // Eight values a step (a run here has 17 or more): with four, the
        // loop's speed changed by a third with where it fell on a cache line
        // (plateau decode 237 or 318 ns, the same code moved).
        float* const at = values_ + staged;
        for (int32_t k = 0; k + 8 < length; k += 8) {
            std::memcpy(at + k, four, sizeof four);
            std::memcpy(at + k + 4, four, sizeof four);
        }
        std::memcpy(at + length - 8, four, sizeof four);
        std::memcpy(at + length - 4, four, sizeof four);
        converted_ = staged + length;
        return converted_;
    }

    // Before values written straight from the stream from `staged` on (to
    // `converted`, at most the capacity, given after them): the levels staged
    // before them are converted at the next such stretch or at the end, when
    // their stores have left the store buffer (converted at once, the vector
    // loads that span several of them waited on those stores: uniform decode
    // 366 ns against 348). The whole vectors then read the stretch's first 16
    // levels, which the caller stages too, and rewrite their values with the
    // same ones. Levels once staged are never staged over.
    float* convert_before(int32_t staged)
    {
        convert_deferred();
        deferred_ = converted_;
        deferred_end_ = staged;
        return values_ + staged;
    }
    void converted_to(int32_t converted) { converted_ = converted; }

    // Converts the `staged` levels; returns the values written, the capacity
    // at most.
    int32_t finish(int32_t staged)
    {
        convert_deferred();
        const int32_t size = std::min(staged, DECODE_MAX_VALUES);
        convert_levels(levels_ + converted_, values_ + converted_, size - converted_, false);
        return size;
    }

private:
    uint8_t levels_[kStagingBytes];
    float* values_;
    int32_t converted_ = 0;  // values_ holds the values of the levels before this
    // but for those of deferred_.. deferred_end_, followed by 16 or more
    // values written straight from the stream.
    int32_t deferred_ = 0;
    int32_t deferred_end_ = 0;

    // Out of line: inlined, it made the pair decoder slower on long runs
    // (long_runs decode 113 -> 146 ns).
    [[gnu::noinline]] void convert_deferred_apart()
    {
        convert_levels(levels_ + deferred_, values_ + deferred_, deferred_end_ - deferred_, true);
        deferred_end_ = deferred_;
    }
    void convert_deferred()
    {
        if (deferred_end_ != deferred_) {
            convert_deferred_apart();
        }
    }
};

// Staging::put_long_run out of line: inlined into the escaped decoder's
// token step, it leaves that loop short of registers, and the count goes to
// the stack and back on every run token (the pair decoder's loop is faster
// with it inlined). On a cache line, as the decoders: its fill loop is the
// escaped decoder's on long runs, which ran 40% slower (long_runs decode2,
// 139 -> 195 ns) when another change moved it off one.
[[gnu::noinline, gnu::aligned(64)]] int32_t put_long_run_apart(Staging& staging, int32_t staged, uint8_t level,
                                                               int32_t length)
{
    return staging.put_long_run(staged, level, length);
}

// Stages `length` (0 to 256) copies of `level` at `at`; returns where the
// next run goes. Runs up to kStagedRun take two word stores and no branch,
// and the next run's place only an add (an index, converted to and from a
// pointer, costs the token loops three more steps of latency a run).
template <bool kLongRunsApart = false>
uint8_t* put_run(Staging& staging, uint8_t* at, uint8_t level, int32_t length)
{
    const uint64_t word = level * kOnes;
    store_word(at, word);
    store_word(at + 8, word);
    if (length > kStagedRun) [[unlikely]] {
        const auto staged = static_cast<int32_t>(at - staging.levels());
        return staging.levels() + (kLongRunsApart ? put_long_run_apart(staging, staged, level, length)
                                                  : staging.put_long_run(staged, level, length));
    }
    return at + length;
}

// The count bytes of the four pairs in a word, and their bits that only
// counts of 8 or more (runs longer than eight values) have.
constexpr uint64_t kPairCounts = 0x00FF00FF00FF00FFU;
constexpr uint64_t kShortPairCounts = 0x00F800F800F800F8U;
constexpr uint64_t kMidPairCounts = 0x00F000F000F000F0U;  // runs longer than 16 values

// The levels of a word of four pairs, gathered into its low four bytes.
uint64_t pair_levels(uint64_t word)
{
    uint64_t levels = (word >> 8) & kPairCounts;
    levels = (levels | (levels >> 8)) & 0x0000FFFF0000FFFFU;
    return (levels | (levels >> 16)) & 0xFFFFFFFFU;
}

// The levels of the 16 pairs at `pairs`, in vector lanes: each pair is a
// 16-bit lane whose level byte is the high one on little-endian CPUs.
void gather_pair_levels(const uint8_t* pairs, uint8_t* levels)
{
    Halves halves[2];
    std::memcpy(halves, pairs, sizeof halves);
    const auto level_bytes = [](Halves h) -> Halves { return kLittleEndian ? h >> 8 : h & 0xFF; };
    const Bytes bytes =
        __builtin_convertvector(__builtin_shufflevector(level_bytes(halves[0]), level_bytes(halves[1]), 0, 1, 2, 3, 4,
                                                        5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                                Bytes);
    std::memcpy(levels, &bytes, sizeof bytes);
}

// Stages the four pairs at `pairs`, runs of one to eight values, with a word
// store each; returns where the next run goes.
uint8_t* put_short_runs(const uint8_t* pairs, uint8_t* at)
{
    for (std::ptrdiff_t k = 0; k < 8; k += 2) {
        store_word(at, pairs[k + 1] * kOnes);
        at += pairs[k] + 1;
    }
    return at;
}

// Lane k of `doubled` (both of its bytes level k) in all 16 bytes.
template <int kLane>
Bytes spread_level(Halves doubled)
{
    return std::bit_cast<Bytes>(
        __builtin_shufflevector(doubled, doubled, kLane, kLane, kLane, kLane, kLane, kLane, kLane, kLane));
}

// Where each of the four runs of a word of pairs ends, from the first's
// start: 16-bit lane k sums counts 0 to k, plus one each (64 at most, so no
// carries). The runs' stores then do not wait on one another's ends.
uint64_t run_ends(uint64_t word)
{
    constexpr uint64_t kLaneOnes = 0x0001000100010001U;
    return ((word & kPairCounts) + kLaneOnes) * kLaneOnes;
}

// Stages the eight pairs at `pairs`, runs of one to 16 values, with a 16-byte
// store each; returns where the next run goes. The levels are spread in
// vectors: a multiply a run costs more.
template <int... kLanes>
uint8_t* put_eight_runs(const uint8_t* pairs, uint8_t* at, std::integer_sequence<int, kLanes...> /*lanes*/)
{
    Halves halves;
    std::memcpy(&halves, pairs, sizeof halves);
    Halves doubled = kLittleEndian ? halves >> 8 : halves & 0xFF;
    doubled |= doubled << 8;
    const Bytes runs[] = {spread_level<kLanes>(doubled)...};
    for (std::ptrdiff_t half = 0; half < 2; ++half) {
        const uint64_t ends = run_ends(load_word(pairs + 8 * half));
        for (std::ptrdiff_t k = 0; k < 4; ++k) {
            const std::ptrdiff_t start = k == 0 ? 0 : static_cast<std::ptrdiff_t>((ends >> (16 * k - 16)) & 0xFFFF);
            std::memcpy(at + start, &runs[4 * half + k], sizeof(Bytes));
        }
        at += ends >> 48;
    }
    return at;
}

// Whether the 16 pairs at `pairs` are all runs of one value.
bool single_pairs(const uint8_t* pairs)
{
    return ((load_word(pairs) | load_word(pairs + 8) | load_word(pairs + 16) | load_word(pairs + 24)) & kPairCounts) ==
           0;
}

// Converts the runs of one value at `pairs`, whose first 16 pairs are such
// runs, 16 a step, for at most `steps` steps while the next 16 pairs are all
// such runs; returns the steps taken. Out of line, so that the pair
// decoder's other steps compile as they did without it (inlined,
// sensor_coarse decode took 1.11 times main's; out of line, 1.02).
[[gnu::noinline]] std::ptrdiff_t convert_single_stretch(const uint8_t* pairs, float* values, std::ptrdiff_t steps)
{
    std::ptrdiff_t k = 0;
    do {
        convert_single_pairs(pairs + 32 * k, values + 16 * k);
        ++k;
    } while (k < steps && single_pairs(pairs + 32 * k));
    return k;
}

int32_t expand_pairs(const uint8_t* stream, int32_t count, Staging& staging)
{
    const int32_t end = count & ~1;  // a trailing half pair is ignored
    uint8_t* const levels = staging.levels();
    // Pointers rather than indices, as in expand_escaped.
    const uint8_t* in = stream;
    const uint8_t* const in_end = stream + end;
    uint8_t* at = levels;
    uint8_t* const at_end = levels + DECODE_MAX_VALUES;
    // Four tokens (eight bytes), eight short ones or sixteen of one value a
    // step. A step starts below the capacity and stages at most 16 bytes,
    // four runs, or eight of up to 16 values.
    while (in_end - in >= 32 && at < at_end) {
        const uint64_t word = load_word(in);
        const uint64_t next = load_word(in + 8);
        if ((word & kPairCounts) == 0) {  // runs of one value: their levels gathered
            if (((next | load_word(in + 16) | load_word(in + 24)) & kPairCounts) == 0) {
                gather_pair_levels(in, at);
                // 32 or more: converted straight to values, 16 a step. Not
                // from 16: sensor_coarse has 26 stretches of 16 to 31 such
                // pairs a block, each a call and a mispredicted exit.
                const std::ptrdiff_t steps = std::min((in_end - in) / 32, (at_end - at) / 16);
                if (steps >= 2 && single_pairs(in + 32)) {
                    const std::ptrdiff_t taken =
                        convert_single_stretch(in, staging.convert_before(static_cast<int32_t>(at - levels)), steps);
                    at += 16 * taken;
                    in += 32 * taken;
                    staging.converted_to(static_cast<int32_t>(at - levels));
                    continue;
                }
                at += 16;
                in += 32;
                continue;
            }
            store_word(at, pair_levels(word));
            at += 4;
            in += 8;
            // Among runs of one, runs of two or three mostly stand alone:
            // the four pairs after such a run are staged in the same step.
            if ((next & kShortPairCounts) == 0) {
                at = put_short_runs(in, at);
                in += 8;
            }
            continue;
        }
        // Eight runs of one to eight values: a word store each, as below, but
        // in half the steps, and with fewer instructions a run than the
        // vector spread of put_eight_runs.
        if (((word | next) & kShortPairCounts) == 0) {
            at = put_short_runs(in + 8, put_short_runs(in, at));
            in += 16;
            continue;
        }
        if (((word | next) & kMidPairCounts) == 0) {  // eight runs of one to 16 values
            at = put_eight_runs(in, at, std::make_integer_sequence<int, 8>{});
            in += 16;
            continue;
        }
        if ((word & kShortPairCounts) == 0) {  // runs of one to eight values: a word store each
            at = put_short_runs(in, at);
            in += 8;
            continue;
        }
        for (int32_t k = 0; k < 4; ++k, in += 2) {
            at = put_run(staging, at, in[1], in[0] + 1);
        }
    }
    auto staged = static_cast<int32_t>(at - levels);
    for (auto p = static_cast<int32_t>(in - stream); p < end && staged < DECODE_MAX_VALUES; p += 2) {
        staged = static_cast<int32_t>(put_run(staging, levels + staged, stream[p + 1], stream[p] + 1) - levels);
    }
    return staged;
}

// The escaped token at `at` (two more bytes readable), picked without a
// branch: a literal, an escaped 255, or a run.
struct EscapedToken {
    int32_t bytes;
    int32_t length;
    uint8_t level;
};

EscapedToken escaped_token(const uint8_t* at)
{
    const bool escaped = at[0] == kEscape;
    const bool run = escaped && at[1] != kEscape;
    return {run ? 3 : (escaped ? 2 : 1), run ? at[1] : 1, run ? at[2] : at[0]};
}

// Stages at `at` the token that `bytes`, read at `in`, begins with (every
// byte it may have inside them); moves `in` past it and returns where the
// next token's levels go. Branches rather than selects: the next token's
// position then does not wait for this one's bytes.
[[gnu::always_inline]] inline uint8_t* take_token(Staging& staging, uint8_t* at, const uint8_t*& in, uint64_t bytes)
{
    if (static_cast<uint8_t>(bytes) != kEscape) {
        *at++ = static_cast<uint8_t>(bytes);
        in += 1;
    } else if (static_cast<uint8_t>(bytes >> 8) == kEscape) {
        *at++ = kEscape;
        in += 2;
    } else {
        at = put_run<true>(staging, at, static_cast<uint8_t>(bytes >> 16), static_cast<uint8_t>(bytes >> 8));
        in += 3;
    }
    return at;
}

int32_t expand_escaped(const uint8_t* stream, int32_t count, Staging& staging)
{
    uint8_t* const levels = staging.levels();
    // Pointers rather than indices in the token loop: an index takes a sign
    // extension and an add at each access.
    const uint8_t* in = stream;
    const uint8_t* const in_end = stream + count;
    uint8_t* at = levels;
    uint8_t* const at_end = levels + DECODE_MAX_VALUES;
    // Sixteen or eight literals at once, or eight tokens one after another
    // (at most 24 bytes, each read as a word, the last 21 bytes on at most):
    // all inside the stream. Eight rather than four: the test for literals is
    // then made half as often among escapes. A word load a token: a byte load each
    // for the three bytes it may have, all three made ahead of the test, was
    // slower (sensor_fine decode2 1150 -> 970 ns). The literals are still byte
    // stores: as word stores, each overlapping the one before, uniform was
    // 2.5% slower.
    while (in_end - in >= kEscapedStepReach && at < at_end) {
        const uint64_t word = load_word(in);
        if (escape_bytes(word) == 0) {
            store_word(at, word);
            if (in_end - in >= 16) {
                const uint64_t next = load_word(in + 8);
                if (escape_bytes(next) == 0) {
                    store_word(at + 8, next);
                    at += 8;
                    in += 8;
                }
            }
            at += 8;
            in += 8;
            continue;
        }
        for (int32_t k = 0; k < kEscapedStepBytes / 3; ++k) {
            at = take_token(staging, at, in, load_word(in));
        }
    }
    const int32_t left = at >= at_end ? 0 : static_cast<int32_t>(in_end - in);  // below kEscapedStepReach
    // The last bytes from a zeroed copy, one token at a time, stopping at a
    // token the stream cuts short. Those that start three bytes or more before
    // the end are whole: taken as in the steps, with eight literals at once.
    uint8_t rest[kEscapedStepReach - 1 - 3 + 8] = {};
    std::memcpy(rest, in, static_cast<size_t>(left));
    const uint8_t* r = rest;
    const uint8_t* const rest_end = rest + left;
    while (rest_end - r >= 3 && at < at_end) {
        const uint64_t bytes = load_word(r);
        if (escape_bytes(bytes) == 0 && rest_end - r >= 8) {
            store_word(at, bytes);
            at += 8;
            r += 8;
        } else {
            at = take_token(staging, at, r, bytes);
        }
    }
    auto staged = static_cast<int32_t>(at - levels);
    auto q = static_cast<int32_t>(r - rest);
    while (q < left && staged < DECODE_MAX_VALUES) {
        const EscapedToken token = escaped_token(rest + q);
        if (token.bytes > left - q) {
            break;
        }
        staged = static_cast<int32_t>(put_run(staging, levels + staged, token.level, token.length) - levels);
        q += token.bytes;
    }
    return staged;
}

// Begins at a cache line: with the same machine code 32 bytes into one, the
// escaped decoder ran 20 to 40% slower on long runs (plateau, long_runs; an
// AMD Zen 5), its hot loop then split differently over fetch blocks.
template <int32_t (*Expand)(const uint8_t*, int32_t, Staging&)>
[[gnu::aligned(64)]] int32_t decode_staged(const uint8_t* stream, float* values, int32_t count)
{
    if (count <= 0) {
        return 0;
    }
    Staging staging(values);
    return staging.finish(Expand(stream, count, staging));
}

// ---- Delta stream -----------------------------------------------------------

constexpr int32_t kGroup = format::kDeltaGroup;

// Bit b of each of the 8 bytes at `bytes`, byte j's as bit j.
uint8_t gather_bit(const uint8_t* bytes, int b)
{
    const uint64_t word = load_word(bytes);
    constexpr uint64_t kLowBits = 0x0101010101010101U;
    constexpr uint64_t kGather = 0x0102040810204080U;  // moves byte j's low bit to bit 56 + j
    return static_cast<uint8_t>((((word >> b) & kLowBits) * kGather) >> 56);
}

// Byte j of kSpread[x] is bit j of x.
constexpr std::array<uint64_t, 256> kSpread = [] {
    std::array<uint64_t, 256> table{};
    for (uint32_t x = 0; x < 256; ++x) {
        for (uint32_t j = 0; j < 8; ++j) {
            table[x] |= uint64_t{(x >> j) & 1} << (8 * j);
        }
    }
    return table;
}();

// The packed form as far as it is counted or written.
struct Packing {
    uint8_t* out;         // where the next group goes; null while only counting
    int64_t size = 0;     // bytes so far
    int64_t changes = 0;  // values unlike the one before: each starts a pair
};

// Counts, and unless `out` is null writes, the groups of deltas at
// levels[0..size) (levels[-1] is the value before; levels up to size +
// kGroup - 1 repeat the last, so their codes are 0).
Packing pack_groups(const uint8_t* levels, int32_t size, Packing packing)
{
    for (int32_t g = 0; g < size; g += kGroup) {
        uint8_t codes[kGroup];
        uint8_t any = 0;
        int32_t changes = 0;
        for (int32_t j = 0; j < kGroup; ++j) {
            codes[j] = format::zigzag(levels[g + j], levels[g + j - 1]);
            any |= codes[j];
            changes += codes[j] != 0 ? 1 : 0;
        }
        packing.changes += changes;
        const auto width = static_cast<uint8_t>(std::bit_width(any));
        packing.size += 1 + 8 * width;
        if (packing.out != nullptr) {
            *packing.out++ = width;
            for (int b = 0; b < width; ++b) {
                for (int32_t k = 0; k < kGroup; k += 8) {
                    *packing.out++ = gather_bit(codes + k, b);
                }
            }
        }
    }
    return packing;
}

// Counts the packed form of the block, and writes it to `packed` unless that
// is null, quantising a chunk at a time: value 0 and kQuantiseChunk deltas,
// then kQuantiseChunk deltas a chunk, so that groups never straddle chunks.
// The size includes the padding byte.
Packing pack_block(const float* values, uint8_t* packed, int32_t n)
{
    uint8_t buffer[1 + 1 + kQuantiseChunk + kGroup];
    uint8_t* const levels = buffer + 1;
    Packing packing{packed == nullptr ? nullptr : packed + format::kPackedHeader, format::kPackedHeader};
    uint8_t before = 0;  // the previous chunk's last level
    for (int32_t first = 0; first < n;) {
        const int32_t size = std::min(n - first, first == 0 ? 1 + kQuantiseChunk : kQuantiseChunk);
        quantise_block(values + first, levels, size);
        std::fill_n(levels + size, kGroup, levels[size - 1]);
        if (first == 0) {
            if (packed != nullptr) {
                packed[1] = levels[0];
            }
            packing = pack_groups(levels + 1, size - 1, packing);
        } else {
            levels[-1] = before;
            packing = pack_groups(levels, size, packing);
        }
        before = levels[size - 1];
        first += size;
    }
    const bool padded = packing.size % 2 == 0;
    if (packed != nullptr) {
        packed[0] = padded ? format::kPaddedFlag : format::kPackedForm;
        packed[2] = static_cast<uint8_t>((n - 1) % kGroup);
        if (padded) {
            *packing.out++ = 0;
        }
    }
    packing.size += padded ? 1 : 0;
    return packing;
}

int32_t write_levels(const float* values, uint8_t* stream, int32_t n)
{
    stream[0] = format::kLevelsForm;
    quantise_block(values, stream + 1, n);
    if (n % 2 == 1) {
        stream[0] |= format::kPaddedFlag;
        stream[n + 1] = 0;
        return n + 2;
    }
    return n + 1;
}

// The smallest form: the pair stream (even length) unless the packed deltas or
// the levels are smaller; on a tie the earlier of the three. The forms are
// counted first and only the chosen one is written: a packed form that is not
// chosen may be longer than 2n bytes.
int32_t encode_deltas(const float* values, uint8_t* stream, int32_t n)
{
    if (n <= 0 || n > ENCODE_MAX_VALUES) {
        return 0;
    }
    const Packing counted = pack_block(values, nullptr, n);
    const int64_t levels_size = int64_t{n} + 1 + n % 2;  // form byte, levels, padding to an odd length
    const int64_t other = std::min(counted.size, levels_size);
    if (2 * (counted.changes + 1) <= other) {
        const int32_t pairs = encode_pairs(values, stream, n);
        if (pairs <= other) {
            return pairs;
        }
    }
    if (counted.size <= levels_size) {
        pack_block(values, stream, n);
        return static_cast<int32_t>(counted.size);
    }
    return write_levels(values, stream, n);
}

// Expands the group whose width byte is at `group` (all of its planes there)
// into 64 levels after `before`.
void expand_group(const uint8_t* group, uint8_t before, uint8_t* levels)
{
    uint64_t codes[kGroup / 8] = {};
    const int width = group[0];
    for (int b = 0; b < width; ++b) {
        for (int32_t k = 0; k < kGroup / 8; ++k) {
            codes[k] |= kSpread[group[1 + 8 * b + k]] << b;
        }
    }
    uint8_t code_bytes[kGroup];
    for (std::ptrdiff_t k = 0; k < kGroup / 8; ++k) {
        store_word(code_bytes + 8 * k, codes[k]);
    }
    for (int32_t j = 0; j < kGroup; ++j) {
        before = format::unzigzag(code_bytes[j], before);
        levels[j] = before;
    }
}

int32_t decode_packed(const uint8_t* stream, float* values, int32_t end)
{
    if (end < format::kPackedHeader || stream[2] >= kGroup) {
        return 0;
    }
    const int32_t last_group = stream[2] == 0 ? kGroup : stream[2];
    uint8_t staging[DECODE_MAX_VALUES + kGroup];
    staging[0] = stream[1];
    int32_t staged = 1;
    for (int32_t p = format::kPackedHeader; p < end && staged < DECODE_MAX_VALUES;) {
        const int32_t width = stream[p];
        if (width > format::kDeltaMaxWidth || end - p - 1 < 8 * width) {
            break;
        }
        expand_group(stream + p, staging[staged - 1], staging + staged);
        p += 1 + 8 * width;
        staged += p == end ? last_group : kGroup;
    }
    staged = std::min(staged, DECODE_MAX_VALUES);
    level_values_block(staging, values, staged);
    return staged;
}

int32_t decode_deltas(const uint8_t* stream, float* values, int32_t count)
{
    if (count <= 0) {
        return 0;
    }
    if (count % 2 == 0) {
        return decode_staged<expand_pairs>(stream, values, count);
    }
    const uint8_t form = stream[0];
    const int32_t end = count - ((form & format::kPaddedFlag) != 0 ? 1 : 0);
    switch (form & ~format::kPaddedFlag) {
        case format::kPackedForm:
            return decode_packed(stream, values, end);
        case format::kLevelsForm: {
            const int32_t n = std::clamp(end - 1, 0, DECODE_MAX_VALUES);
            level_values_block(stream + 1, values, n);
            return n;
        }
        default:
            return 0;
    }
}

struct LibraryCopy {
    // Not inlined, so the compiler cannot see that n is at most 650 and
    // expand the copy in place (GCC does, as rep movs, several times slower
    // than the C library's memcpy).
    [[gnu::noinline]] static void copy(uint8_t* to, const uint8_t* from, int32_t n)
    {
        if (n > 0) {
            std::memcpy(to, from, static_cast<size_t>(n));
        }
    }
};

#include "comm/framing.hpp"

}  // namespace

constinit const CodecPath portable_path = {
    "portable",
    {},
    quantise_block,
    level_values_block,
    encode_pairs,
    decode_staged<expand_pairs>,
    encode_escaped,
    decode_staged<expand_escaped>,
    encode_deltas,
    decode_deltas,
    split_packets<LibraryCopy>,
    merge_packets<LibraryCopy>,
};

}  // namespace comm::detail
