// The AVX-512 path with VBMI and VBMI2 on top (Ice Lake, Zen 4 and later):
// the same window primitives, and the encoders' tokens made from a window's
// run starts without a loop over them. The run starts' positions are gathered
// by a byte compress and the lengths are the differences of neighbouring
// positions. Pair tokens are interleaved from the lengths and the levels at the
// starts by unpacks; escaped tokens two slots a value, from the window
// and the lengths looked up from the start bits after each value, and a
// second compress keeps the bytes each token needs.
//
// Its decoders take short runs without a branch per token too. The pair
// decoder gives each run of a window of 64 pairs a fixed number of byte slots
// holding its level, and a compress keeps the first count + 1 of each run's
// slots; runs longer than 16 values among them are filled in between such
// stretches. The escaped decoder finds a window's tokens by masks and gives
// each byte of the window one, three or five slots the same way, a run
// token's count spread over its three bytes; runs longer than that are filled
// in between. Windows of few runs and the escaped stream's long runs stay with
// the window code.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "comm/Comm.h"
#include "comm/byte_splats.hpp"
#include "comm/codec_paths.hpp"
#include "comm/escaped_tokens.hpp"
#include "comm/sample_level.hpp"
#include "comm/target_region.hpp"

#if COMM_X86_PATHS
#include <immintrin.h>

COMM_TARGET_REGION("avx512f,avx512bw,avx512vbmi,avx512vbmi2,avx2,fma,bmi,bmi2,popcnt,pclmul")

#define COMM_VECTOR_TARGET avx512vbmi2
#include "comm/vector_coders.hpp"

namespace comm::detail {
namespace {

#include "comm/avx512_primitives.hpp"

using avx512vbmi2::clear_bits_below;
using avx512vbmi2::expand_escaped_window;
using avx512vbmi2::expand_last_escaped;
using avx512vbmi2::expand_pair_window;
using avx512vbmi2::Expanded;
using avx512vbmi2::fill_run;
using avx512vbmi2::kDenseRuns;
using avx512vbmi2::kEscape;
using avx512vbmi2::kWindow;
using avx512vbmi2::mask_below;

// The escaped token writer finds the lengths of runs of up to kNearRun values
// by two lookups of kNearRun / 2 start bits each (Vbmi2Primitives::
// near_run_levels); a window with a longer run before its last start takes
// the gathered lengths.
inline constexpr int kNearRun = 12;

// The escaped writer's lookups, lane u for value u: next_bit[h][u] is the bit
// of the starts 6h + 1 after value u, where a multishift begins lane u's byte;
// a byte permute reads its low six bits, and distance[h][b] is the length of a
// run from a start whose next start is the lowest set bit of b there (FF where
// b has none). Lane t of its output vector c is a slot of value 32c + t / 2
// (escaped_slot[c][t]): its escape slot for even t, its level slot for odd t.
//
// The pair writer reads its vectors in another lane order: lane u holds value
// 8 * value_qword[u / 8] + u % 8, qword 2L values 8L to 8L + 7 and qword
// 2L + 1 values 32 + 8L to 39 + 8L, so that the low unpack of each 128-bit
// lane takes values 0-31 and the high one 32-63.
struct NearRunLookups {
    alignas(64) uint8_t next_bit[2][64];
    alignas(64) uint8_t distance[2][64];
    alignas(64) uint8_t escaped_slot[2][64];
    alignas(64) uint64_t value_qword[8];
    alignas(64) uint8_t next_value[64];  // lane u: its value + 1 (mod 64)
};

constexpr NearRunLookups make_near_run_lookups()
{
    NearRunLookups l{};
    for (int q = 0; q < 8; ++q) {
        l.value_qword[q] = static_cast<uint64_t>(q % 2 == 0 ? q / 2 : 4 + q / 2);
    }
    for (int u = 0; u < 64; ++u) {
        const int value = 8 * static_cast<int>(l.value_qword[u / 8]) + u % 8;
        l.next_value[u] = static_cast<uint8_t>((value + 1) % 64);
        for (int h = 0; h < 2; ++h) {
            constexpr int kBits = kNearRun / 2;
            l.next_bit[h][u] = static_cast<uint8_t>((u + kBits * h + 1) % 64);
            l.distance[h][u] =
                static_cast<uint8_t>(u == 0 ? 0xFF : kBits * h + std::countr_zero(static_cast<unsigned>(u)) + 1);
            l.escaped_slot[h][u] = static_cast<uint8_t>(32 * h + u / 2);
        }
    }
    return l;
}

inline constexpr NearRunLookups kNearRunLookups = make_near_run_lookups();

// The pair decoder's slot layouts. Pairs whose counts are below 16 are
// expanded by slots: each run of a group of 16 pairs gets 4, 8 or 16 bytes
// holding its level (the fewest its longest run fits in), and a compress keeps
// the first count + 1 of them. No running sums and no search: a vector of
// slots costs two permutes, a compare and a compress. Lane u of vector q of
// group h (the 16 pairs from byte 32h of 64) with w slots a run is slot u % w
// of pair (64q + u) / w.
struct SlotLayouts {
    alignas(64) uint8_t count_byte[3][2][4][64];  // [log2(w / 4)][h][q]: the pair's count byte
    alignas(64) uint8_t slot[3][64];
};

constexpr SlotLayouts make_slot_layouts()
{
    SlotLayouts l{};
    for (int k = 0; k < 3; ++k) {
        const int w = 4 << k;
        for (int u = 0; u < 64; ++u) {
            l.slot[k][u] = static_cast<uint8_t>(u % w);
            for (int h = 0; h < 2; ++h) {
                for (int q = 0; q < 4; ++q) {
                    l.count_byte[k][h][q][u] = static_cast<uint8_t>(32 * h + 2 * ((64 * q + u) / w % 16));
                }
            }
        }
    }
    return l;
}

inline constexpr SlotLayouts kSlotLayouts = make_slot_layouts();

// The escaped decoder's slots by byte, for windows whose run tokens hold at
// most 3W values (W = 1, 3 or 5 below): each byte of the window gets W slots, lane
// u of vector k being slot (64k + u) % W of byte (64k + u) / W. A literal (or
// a lone 255's second byte) keeps one slot of itself; a run token FF c v
// keeps min(c, W), min(c - W, W) and the c - 2W left (if any) slots of v over
// its three bytes; every other byte keeps none. With one slot a byte the
// slots are the window itself: one compress where three would do no more.
template <int W>
struct ByteSlots {
    alignas(64) uint8_t byte[W][64];
    alignas(64) uint8_t slot[W][64];
};

template <int W>
constexpr ByteSlots<W> make_byte_slots()
{
    ByteSlots<W> l{};
    for (int k = 0; k < W; ++k) {
        for (int u = 0; u < 64; ++u) {
            l.byte[k][u] = static_cast<uint8_t>((64 * k + u) / W);
            l.slot[k][u] = static_cast<uint8_t>((64 * k + u) % W);
        }
    }
    return l;
}

template <int W>
inline constexpr ByteSlots<W> kByteSlots = make_byte_slots<W>();

// Three slots a run over a whole window of 64 pairs, for windows whose runs
// hold at most three values (noisy signals): lane u of vector k is slot
// kByteSlots<3>.slot[k][u] of pair kByteSlots<3>.byte[k][u], read from the
// window's counts and levels each packed into one vector (lane pair[k][u]).
// The packing leaves each 128-bit lane's eight pairs of the low half ahead of
// the high half's eight: the lookups take that order rather than a permute to
// undo it. Three vectors where the groups of 16 take four.
struct ThirdSlots {
    alignas(64) uint8_t pair[3][64];
};

constexpr ThirdSlots make_third_slots()
{
    ThirdSlots l{};
    for (int k = 0; k < 3; ++k) {
        for (int u = 0; u < 64; ++u) {
            const int p = kByteSlots<3>.byte[k][u];
            const int half = p / 32;
            l.pair[k][u] = static_cast<uint8_t>(16 * (p % 32 / 8) + 8 * half + p % 8);
        }
    }
    return l;
}

inline constexpr ThirdSlots kThirdSlots = make_third_slots();

struct Vbmi2Primitives : Avx512Primitives {
    // The token writers keep port 5 busy with compresses and permutes; the
    // quantiser's products and conversions can run beside them.
    static constexpr bool kQuantisesAhead = true;

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
    // them), and returns the position after them; `escapes` are the window's
    // 255s. Stores 128 bytes.
    //
    // A run's token fits in two bytes a value of it: a literal in its one
    // value's two, FF length level in the four or more of a longer run. So the
    // tokens are laid out by value, two slots a value, and one compress a half
    // window keeps the bytes they need. Value i's first slot is FF, kept where
    // a longer run starts there or i is a literal 255. Its second slot holds
    // the length of a longer run starting there, else its level: kept at
    // literals, at longer runs' starts, and at their second values, where
    // the level is the token's third byte.
    //
    // The first slots being a constant, each half window's slots are one
    // permute of the second slots merged into FF: the lengths merge into the
    // window in value order, with no permute of the levels, and the 255s'
    // compare of the window's test serves here too.
    [[gnu::always_inline]] static uint8_t* escaped_runs(uint8_t* out, Window window, uint64_t starts, uint64_t escapes)
    {
        const uint64_t closed = _bzhi_u64(starts, 63U - static_cast<unsigned>(std::countl_zero(starts)));
        const uint64_t literals = closed & (starts >> 1);
        const uint64_t longer = closed & ~literals;
        const uint64_t keep_escape = longer | (literals & escapes);
        const uint64_t keep_level = closed | (longer << 1);
        const __m512i levels = near_run_levels(window, starts, longer);
        if (_mm512_mask_cmpeq_epi8_mask(longer, levels, _mm512_load_si512(kByteSplats.escape)) != 0) [[unlikely]] {
            // A run of more than kNearRun values: the lengths gathered at the
            // starts and spread back to them.
            const __m512i lengths = _mm512_maskz_expand_epi8(starts, run_lengths(starts));
            return escaped_slots(out, _mm512_mask_blend_epi8(longer, window, lengths), keep_escape, keep_level);
        }
        return escaped_slots(out, levels, keep_escape, keep_level);
    }

    // The window's 255s for the escaped encoder, compared with 64 bytes of
    // FF from memory (kByteSplats): GCC re-made all_ones() for this compare
    // in every window, by a broadcast on port 5.
    [[gnu::always_inline]] static uint64_t escape_mask(Window window)
    {
        return _mm512_cmpeq_epi8_mask(window, _mm512_load_si512(kByteSplats.escape));
    }

    // Writes the tokens from the second slots `levels` (see escaped_runs),
    // the first slots of `keep_escape` and the second of `keep_level`.
    [[gnu::always_inline]] static uint8_t* escaped_slots(uint8_t* out, __m512i levels, uint64_t keep_escape,
                                                         uint64_t keep_level)
    {
        constexpr uint64_t kFirstSlots = 0x5555555555555555;
        constexpr uint64_t kSecondSlots = ~kFirstSlots;
        const uint64_t keep_low = _pdep_u64(keep_escape, kFirstSlots) | _pdep_u64(keep_level, kSecondSlots);
        const uint64_t keep_high =
            _pdep_u64(keep_escape >> 32, kFirstSlots) | _pdep_u64(keep_level >> 32, kSecondSlots);
        const auto half = [&](int c) {
            return _mm512_mask_permutexvar_epi8(all_ones(), kSecondSlots,
                                                _mm512_load_si512(kNearRunLookups.escaped_slot[c]), levels);
        };
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep_low, half(0)));
        out += std::popcount(keep_low);
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(keep_high, half(1)));
        return out + std::popcount(keep_high);
    }

    // The window with each value of `lanes` replaced by the length of the
    // run from it to the next start, FF where that is more than kNearRun
    // values away. The lengths are read from the start bits after each value,
    // which a multishift brings to its lane, by a lookup of their lowest set
    // bit: nothing waits on a gather of the starts.
    [[gnu::always_inline]] static __m512i near_run_levels(Window window, uint64_t starts, uint64_t lanes)
    {
        // From memory: a broadcast from a general register takes port 5 on
        // Intel, one from memory only a load port. Both operand orders, for
        // builds with -masm=intel.
        __m512i bits;
        asm("vpbroadcastq {%1, %0|%0, %1}" : "=v"(bits) : "m"(starts));
        const auto lengths_from = [&](int h) {
            const __m512i next = _mm512_multishift_epi64_epi8(_mm512_load_si512(kNearRunLookups.next_bit[h]), bits);
            return _mm512_permutexvar_epi8(next, _mm512_load_si512(kNearRunLookups.distance[h]));
        };
        return _mm512_mask_min_epu8(window, lanes, lengths_from(0), lengths_from(1));
    }

    // The same for the pair stream: (length - 1, level) a run. Stores 128
    // bytes.
    //
    // The starts' positions are gathered once and read in the lane order of
    // NearRunLookups, so that unpacks interleave counts and levels in token
    // order; the levels are a permute of the window by those positions. Seven
    // uops on port 5 where a second compress and two-source permutes took
    // nine.
    [[gnu::always_inline]] static uint8_t* pair_runs(uint8_t* out, Window window, uint64_t starts)
    {
        const __m512i at = _mm512_maskz_compress_epi8(starts, lane_numbers());
        const __m512i here = _mm512_permutexvar_epi64(_mm512_load_si512(kNearRunLookups.value_qword), at);
        const __m512i next = _mm512_permutexvar_epi8(_mm512_load_si512(kNearRunLookups.next_value), at);
        const __m512i counts = _mm512_sub_epi8(_mm512_sub_epi8(next, here), _mm512_set1_epi8(1));
        const __m512i levels = _mm512_permutexvar_epi8(here, window);
        _mm512_storeu_si512(out, _mm512_unpacklo_epi8(counts, levels));
        _mm512_storeu_si512(out + 64, _mm512_unpackhi_epi8(counts, levels));
        return out + 2 * static_cast<std::ptrdiff_t>(std::popcount(starts) - 1);
    }

    // ---- Decoders ----

    [[gnu::always_inline]] static __m512i lane_numbers()
    {
        return _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42,
                               41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20,
                               19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    }

    // Lane j byte j + K of the window (wrapping round): at a token's escape,
    // its count (K = 1) and its level (K = 2).
    template <int K>
    [[gnu::always_inline]] static __m512i bytes_ahead(__m512i window)
    {
        return _mm512_permutexvar_epi8(_mm512_add_epi8(lane_numbers(), _mm512_set1_epi8(K)), window);
    }

    // Every byte V (V <= 16), loaded from kByteSplats: GCC makes a byte splat
    // by a broadcast from a general register, which takes the port of the
    // window's permutes and compresses here, several times a window; a load
    // takes a load port alone and folds into the instruction that uses it.
    template <int V>
    [[gnu::always_inline]] static __m512i splat()
    {
        static_assert(V >= 0 && V < kByteSplatValues);
        return _mm512_load_si512(kByteSplats.of[V]);
    }

    // The lanes whose slot number is at most their run's count (both below
    // 16): the sign bits of slot - 1 - count. On Intel a compare into a mask
    // takes the one shuffle port, which the slots' permutes and compresses
    // keep busy; the subtraction and the move of the sign bits do not.
    [[gnu::always_inline]] static __mmask64 slots_kept(__m512i slot, __m512i counts)
    {
        return _mm512_movepi8_mask(_mm512_sub_epi8(_mm512_sub_epi8(slot, _mm512_set1_epi8(1)), counts));
    }

    // Stores at `out` the runs of the pairs of `bytes` in the slots of
    // `count_byte` and `slot` (see SlotLayouts), and returns the number of
    // values of those in the lanes of `lanes`. Stores 64 bytes: the values of
    // the lanes past `lanes` (pairs past the last run, their counts 0) follow
    // the others unmasked, so that the mask needs no move to a mask register.
    [[gnu::always_inline]] static int32_t compress_slots(__m512i bytes, const uint8_t* count_byte, const uint8_t* slot,
                                                         uint64_t lanes, uint8_t* out)
    {
        const __m512i count_at = _mm512_load_si512(count_byte);
        const __m512i counts = _mm512_permutexvar_epi8(count_at, bytes);
        const __mmask64 kept = slots_kept(_mm512_load_si512(slot), counts);
        const __m512i levels = _mm512_permutexvar_epi8(_mm512_or_si512(count_at, _mm512_set1_epi8(1)), bytes);
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(kept, levels));
        return static_cast<int32_t>(std::popcount(kept & lanes));
    }

    // A window of pairs with more runs than this goes to slots; fewer runs
    // are filled one at a time more cheaply.
    static constexpr int kSlotRuns = 2;

    // Pair j of the 64 in `low` and `high` a run of more than one value.
    [[gnu::always_inline]] static uint64_t counted_runs(__m512i low, __m512i high)
    {
        const __m512i count_byte = _mm512_load_si512(kByteSplats.pair_count);
        return _mm512_test_epi16_mask(low, count_byte) | (uint64_t{_mm512_test_epi16_mask(high, count_byte)} << 32);
    }

    // Pair j of the 64 in `low` and `high` a run of more than 16 values.
    [[gnu::always_inline]] static uint64_t runs_over_16(__m512i low, __m512i high)
    {
        const __m512i from16 = _mm512_load_si512(kByteSplats.pair_count_from16);
        return _mm512_test_epi16_mask(low, from16) | (uint64_t{_mm512_test_epi16_mask(high, from16)} << 32);
    }

    // Expands the first `runs` of the 16 pairs at byte 32h of `bytes` after
    // the `staged` levels, in 4 << K slots a run; every count is below 4 << K.
    // Returns the levels staged. Each store begins after a multiple of 4 of
    // the group's pairs, fewer than `runs`.
    template <int K>
    [[gnu::always_inline]] static int32_t compress_group(__m512i bytes, int h, int32_t runs, uint8_t* staging,
                                                         int32_t staged)
    {
        const int32_t slots = std::clamp(runs, 0, 16) * (4 << K);
#pragma GCC unroll 4
        for (int32_t q = 0; q < (1 << K); ++q) {
            if (kWindow * q >= slots) {
                break;
            }
            staged += compress_slots(bytes, kSlotLayouts.count_byte[K][h][q], kSlotLayouts.slot[K],
                                     mask_below(slots - kWindow * q), staging + staged);
        }
        return staged;
    }

    // The same for the 64 pairs of `low` and `high`, every group in 4 << K
    // slots a run.
    template <int K>
    [[gnu::always_inline]] static int32_t compress_window(__m512i low, __m512i high, int32_t runs, uint8_t* staging,
                                                          int32_t staged)
    {
        staged = compress_group<K>(low, 0, runs, staging, staged);
        staged = compress_group<K>(low, 1, runs - 16, staging, staged);
        staged = compress_group<K>(high, 0, runs - 32, staging, staged);
        return compress_group<K>(high, 1, runs - 48, staging, staged);
    }

    // The same in as few slots a run as the group's longest needs; every
    // count is below 16.
    [[gnu::always_inline]] static int32_t expand_slotted(__m512i bytes, int h, bool from8, bool from4, int32_t runs,
                                                         uint8_t* staging, int32_t staged)
    {
        if (from8) {
            return compress_group<2>(bytes, h, runs, staging, staged);
        }
        if (from4) {
            return compress_group<1>(bytes, h, runs, staging, staged);
        }
        return compress_group<0>(bytes, h, runs, staging, staged);
    }

    // The count bytes of the 64 pairs in `low` and `high`, in the lane order
    // of packed_levels.
    [[gnu::always_inline]] static __m512i packed_counts(__m512i low, __m512i high)
    {
        const __m512i count_byte = _mm512_load_si512(kByteSplats.pair_count);
        return _mm512_packus_epi16(_mm512_and_si512(low, count_byte), _mm512_and_si512(high, count_byte));
    }

    // The packed counts of each group of 16 pairs (`low`'s first and second,
    // then `high`'s).
    static constexpr std::array<uint64_t, 4> kPackedGroups = {0x0000000000FF00FF, 0x00FF00FF00000000,
                                                              0x00000000FF00FF00, 0xFF00FF0000000000};

    // Expands the first `runs` of 64 pairs (0 past them), every count below
    // 3, from their packed counts and levels, in three slots a run (see
    // ThirdSlots) after the `staged` levels. Returns the levels staged; each
    // store begins fewer values in than the runs hold. One-source permutes of
    // the packed bytes: a two-source one costs two on Intel's single shuffle
    // port.
    [[gnu::always_inline]] static int32_t compress_packed_thirds(__m512i counts, __m512i levels, int32_t runs,
                                                                 uint8_t* staging, int32_t staged)
    {
        const int32_t slots = 3 * runs;
#pragma GCC unroll 3
        for (int32_t k = 0; k < 3; ++k) {
            if (kWindow * k >= slots) {
                break;
            }
            const __m512i pair = _mm512_load_si512(kThirdSlots.pair[k]);
            const __mmask64 kept =
                slots_kept(_mm512_load_si512(kByteSlots<3>.slot[k]), _mm512_permutexvar_epi8(pair, counts));
            _mm512_storeu_si512(staging + staged,
                                _mm512_maskz_compress_epi8(kept, _mm512_permutexvar_epi8(pair, levels)));
            staged += static_cast<int32_t>(std::popcount(kept & mask_below(slots - kWindow * k)));
        }
        return staged;
    }

    // Whether every count in `counts` is below 3: runs of at most three
    // values (noisy signals), tested first, on the whole window at once.
    [[gnu::always_inline]] static bool all_thirds(__m512i counts)
    {
        return _mm512_cmpgt_epu8_mask(counts, splat<2>()) == 0;
    }

    // Expands the first `runs` of the 64 pairs in `low` and `high` (0 past
    // them, every count below 16 and some above 2, `counts` their
    // packed_counts) after the `staged` levels, and returns the levels
    // staged. The widths are tested on the packed counts, a test for all 64
    // pairs. Stores at most 1024 bytes past `staged`: the last store begins
    // 60 pairs of up to 16 values in.
    [[gnu::always_inline]] static int32_t expand_wider_slots(__m512i low, __m512i high, __m512i counts, int32_t runs,
                                                             uint8_t* staging, int32_t staged)
    {
        const uint64_t from4 = _mm512_test_epi8_mask(counts, _mm512_load_si512(kByteSplats.count_from4));
        if (from4 == 0) {
            return compress_window<0>(low, high, runs, staging, staged);
        }
        const uint64_t from8 = _mm512_test_epi8_mask(counts, _mm512_load_si512(kByteSplats.count_from8));
        const auto in = [&](int g, uint64_t mask) { return (mask & kPackedGroups[g]) != 0; };
        staged = expand_slotted(low, 0, in(0, from8), in(0, from4), runs, staging, staged);
        staged = expand_slotted(low, 1, in(1, from8), in(1, from4), runs - 16, staging, staged);
        staged = expand_slotted(high, 0, in(2, from8), in(2, from4), runs - 32, staging, staged);
        return expand_slotted(high, 1, in(3, from8), in(3, from4), runs - 48, staging, staged);
    }
    static_assert(avx512vbmi2::kStagingBytes - DECODE_MAX_VALUES >= 60 * 16 + kWindow,
                  "room for the last store of slots");

    // The n <= 64 pairs at `pairs`, every count below 16, by masked loads
    // (nothing past them is read) and slots.
    [[gnu::always_inline]] static int32_t expand_short_stretch(const uint8_t* pairs, int32_t n, uint8_t* staging,
                                                               int32_t staged)
    {
        const int32_t bytes = 2 * n;
        const __m512i low = _mm512_maskz_loadu_epi8(mask_below(bytes), pairs);
        const __m512i high = bytes > kWindow ? _mm512_maskz_loadu_epi8(mask_below(bytes - kWindow), pairs + kWindow)
                                             : _mm512_setzero_si512();
        const __m512i counts = packed_counts(low, high);
        if (all_thirds(counts)) {
            return compress_packed_thirds(counts, packed_levels(low, high), n, staging, staged);
        }
        return expand_wider_slots(low, high, counts, n, staging, staged);
    }

    static constexpr int kShortAmongFills = 4;

    // The first `runs` pairs at `pairs`, a fill each: one 64-byte store where
    // every run is known to hold at most 64 values. Stops early at the
    // capacity.
    template <bool kAtMost64>
    [[gnu::noinline]] static int32_t fill_each_run(const uint8_t* pairs, int32_t runs, uint8_t* staging, int32_t staged)
    {
        for (std::ptrdiff_t j = 0; j < runs && staged < DECODE_MAX_VALUES; ++j) {
            if constexpr (kAtMost64) {
                fill(staging + staged, pairs[2 * j + 1]);
            } else {
                fill_run<Vbmi2Primitives>(staging, staged, pairs[2 * j + 1], pairs[2 * j] + 1);
            }
            staged += pairs[2 * j] + 1;
        }
        return staged;
    }

    // Expands the first `runs` of the 64 pairs at `pairs`, loaded in `low`
    // and `high` (0 past them), after the `staged` levels: runs of up to 16
    // values by slots, a stretch at a time between the longer runs, which
    // are filled in. Stops early at the capacity. Returns the levels staged.
    static int32_t expand_runs(const uint8_t* pairs, __m512i low, __m512i high, int32_t runs, uint8_t* staging,
                               int32_t staged)
    {
        const __m512i counts = packed_counts(low, high);
        if (all_thirds(counts)) {
            return compress_packed_thirds(counts, packed_levels(low, high), runs, staging, staged);
        }
        if (_mm512_test_epi8_mask(counts, _mm512_load_si512(kByteSplats.count_from16)) == 0) {
            return expand_wider_slots(low, high, counts, runs, staging, staged);
        }
        uint64_t long_runs = runs_over_16(low, high);
        // Where no run of the window is longer than 64 values (plateaus),
        // each is one 64-byte fill; a branch a run on its length would
        // mispredict where lengths are mixed (speech).
        const __m512i from64 = _mm512_load_si512(kByteSplats.pair_count_from64);
        const bool short_enough = (_mm512_test_epi16_mask(low, from64) | _mm512_test_epi16_mask(high, from64)) == 0;
        // Windows of such runs but a few shorter ones (a block's first and
        // last runs are cut) are all fills: a loop of its own, with no test
        // a run but the capacity.
        if (short_enough && std::popcount(mask_below(runs) & ~long_runs) <= kShortAmongFills) {
            return fill_each_run<true>(pairs, runs, staging, staged);
        }
        int32_t single = 0;  // the first pair not yet expanded
        for (;;) {
            const int32_t r = long_runs == 0 ? runs : std::countr_zero(long_runs);
            if (r > single) {
                staged =
                    expand_short_stretch(pairs + 2 * static_cast<std::ptrdiff_t>(single), r - single, staging, staged);
            }
            if (r == runs || staged >= DECODE_MAX_VALUES) {
                return staged;
            }
            const uint8_t* pair = pairs + 2 * static_cast<std::ptrdiff_t>(r);
            if (short_enough) {
                fill(staging + staged, pair[1]);
            } else {
                fill_run<Vbmi2Primitives>(staging, staged, pair[1], pair[0] + 1);
            }
            staged += pair[0] + 1;
            if (staged >= DECODE_MAX_VALUES) {
                return staged;
            }
            single = r + 1;
            long_runs &= long_runs - 1;
        }
    }

    [[gnu::always_inline]] static bool many_runs(uint64_t counted)
    {
        return std::popcount(counted) > kSlotRuns;
    }

    // The last `left` < 64 pairs at `pairs`, read by masked loads (zeros
    // past them: runs of one value, not counted), as the windows below.
    // Returns the levels kept.
    static int32_t expand_last_short_pairs(const uint8_t* pairs, int32_t left, uint8_t* staging, int32_t staged)
    {
        if (left <= 0 || staged >= DECODE_MAX_VALUES) {
            return std::min(staged, DECODE_MAX_VALUES);
        }
        const int32_t bytes = 2 * left;
        const __m512i low = _mm512_maskz_loadu_epi8(mask_below(bytes), pairs);
        const __m512i high = bytes > kWindow ? _mm512_maskz_loadu_epi8(mask_below(bytes - kWindow), pairs + kWindow)
                                             : _mm512_setzero_si512();
        const uint64_t long_runs = runs_over_16(low, high);
        if (long_runs == mask_below(left)) {
            // Runs of more than 16 values alone (the stream of a block of
            // long runs): a fill each, which the slots' set-up would only delay.
            return std::min(fill_each_run<false>(pairs, left, staging, staged), DECODE_MAX_VALUES);
        }
        const uint64_t counted = counted_runs(low, high);
        if (many_runs(counted)) {
            return std::min(expand_runs(pairs, low, high, left, staging, staged), DECODE_MAX_VALUES);
        }
        const __m512i levels = window_levels(low, high);
        if (counted == 0) {
            _mm512_storeu_si512(staging + staged, levels);
            return std::min(staged + left, DECODE_MAX_VALUES);
        }
        return std::min(expand_few_runs(pairs, levels, counted, left, staging, staged).staged, DECODE_MAX_VALUES);
    }

    // The pair stream, 64 pairs a step: as above where they hold more than a
    // few runs; else a fill a run, the literals between stored from the
    // register by masked stores (the window code would store the window and
    // reload it from each stretch's start, which waits for the store).
    static int32_t expand_pairs(const uint8_t* stream, int32_t count, uint8_t* staging)
    {
        const int32_t pairs = count / 2;  // a trailing half pair is ignored
        int32_t staged = 0;
        int32_t i = 0;
        while (pairs - i >= kWindow && staged < DECODE_MAX_VALUES) {
            const uint8_t* at = stream + 2 * static_cast<std::ptrdiff_t>(i);
            const __m512i low = _mm512_loadu_si512(at);
            const __m512i high = _mm512_loadu_si512(at + kWindow);
            // The levels packed only where they are used as they stand: the
            // slots read the pairs, and the packing's shuffles share one
            // port with the slots' permutes on Intel.
            const uint64_t counted = counted_runs(low, high);
            if (many_runs(counted)) {
                staged = expand_runs(at, low, high, kWindow, staging, staged);
                i += kWindow;
                continue;
            }
            const __m512i literals = window_levels(low, high);
            if (counted == 0) {
                _mm512_storeu_si512(staging + staged, literals);
                i += kWindow;
                staged += kWindow;
                continue;
            }
            const Expanded step = expand_few_runs(at, literals, counted, kWindow, staging, staged);
            i += step.consumed;
            staged = step.staged;
        }
        return expand_last_short_pairs(stream + 2 * static_cast<std::ptrdiff_t>(i), pairs - i, staging, staged);
    }

    // Expands the window's bytes by W slots each (see ByteSlots): the run
    // tokens that start at `runs` (each of at most 3W values, their length
    // bytes `count_byte` and levels `level_byte` lane for lane), and one
    // value of each other byte at `ones`. Returns the levels staged; stores
    // at most 64 bytes past them. With kSignBits, the slots kept are the sign
    // bits of slot - count (as slots_kept): a compare into a mask takes port
    // 5 on Intel, as the permutes and compresses do; the subtraction and the
    // move of the sign bits do not. Worth it where port 5 sets the pace (the
    // parsed windows), not on the signals' windows.
    template <int W, bool kSignBits = false>
    [[gnu::always_inline]] static int32_t expand_byte_slots(__m512i window, __m512i count_byte, __m512i level_byte,
                                                            uint64_t runs, uint64_t ones, uint8_t* staging,
                                                            int32_t staged)
    {
        const __m512i width = splat<W>();
        const __m512i previous = bytes_ahead<-1>(window);
        const __m512i one = splat<1>();
        const __m512i twice_width = splat<2 * W>();
        __m512i counts = _mm512_maskz_mov_epi8(ones, one);
        counts = _mm512_mask_min_epu8(counts, runs, count_byte, width);
        counts = _mm512_mask_min_epu8(counts, runs << 1, _mm512_subs_epu8(window, width), width);
        counts = _mm512_mask_subs_epu8(counts, runs << 2, previous, twice_width);
        // A run token's three bytes all hold its level.
        const __m512i values =
            _mm512_mask_mov_epi8(_mm512_mask_mov_epi8(window, runs, level_byte), runs << 1, count_byte);
        if constexpr (W == 1) {
            const __mmask64 kept = _mm512_test_epi8_mask(counts, counts);
            _mm512_storeu_si512(staging + staged, _mm512_maskz_compress_epi8(kept, values));
            return staged + static_cast<int32_t>(std::popcount(kept));
        }
#pragma GCC unroll 3
        for (int k = 0; k < W; ++k) {
            const __m512i byte = _mm512_load_si512(kByteSlots<W>.byte[k]);
            const __m512i slot = _mm512_load_si512(kByteSlots<W>.slot[k]);
            const __m512i slot_counts = _mm512_permutexvar_epi8(byte, counts);
            __mmask64 kept = 0;
            if constexpr (kSignBits) {
                kept = _mm512_movepi8_mask(_mm512_sub_epi8(slot, slot_counts));
            } else {
                kept = _mm512_cmplt_epu8_mask(slot, slot_counts);
            }
            _mm512_storeu_si512(staging + staged,
                                _mm512_maskz_compress_epi8(kept, _mm512_permutexvar_epi8(byte, values)));
            staged += static_cast<int32_t>(std::popcount(kept));
        }
        return staged;
    }

    // The running parity of the 64 bits, bit i the parity of bits 0..i: a
    // carry-less product with all ones.
    [[gnu::always_inline]] static uint64_t prefix_parity(uint64_t bits)
    {
        const __m128i product =
            _mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<int64_t>(bits)), _mm_set1_epi8(-1), 0);
        return static_cast<uint64_t>(_mm_cvtsi128_si64(product));
    }

    // escaped_tokens(escapes), from one carry-less product.
    [[gnu::always_inline]] static EscapedTokens escaped_tokens_by_parities(uint64_t escapes)
    {
        return escaped_tokens_from_parity(escapes, prefix_parity(escapes));
    }

    // The run tokens that start at `runs` of the bytes at `bytes`, each of at
    // most 64 values: a 64-byte fill each. Stops early at the capacity.
    [[gnu::noinline]] static int32_t fill_each_token(const uint8_t* bytes, uint64_t runs, uint8_t* staging,
                                                     int32_t staged)
    {
        for (; runs != 0 && staged < DECODE_MAX_VALUES; runs &= runs - 1) {
            const int t = std::countr_zero(runs);
            fill(staging + staged, bytes[t + 2]);
            staged += bytes[t + 1];
        }
        return staged;
    }

    // A window of the escaped stream with more escapes than this goes to
    // slots; the window code takes a lone 255 or one run token more cheaply.
    static constexpr int kSlotEscapes = 2;

    // Expands the escaped tokens that start in the 64 bytes at `bytes` and
    // end in them after the `staged` levels, where there are more than a few
    // escapes: by byte slots where every run token holds at most 15 values;
    // where one holds more, the runs of more than 9 by fills and the tokens
    // between by byte slots. Returns the bytes consumed, or 0 for a window
    // left to the window code: few escapes or more than one run of over 16
    // values. The stream may end `limit` < 64
    // bytes in, zeros past it: its end then cuts tokens as the window's end
    // does.
    template <bool kParsedApart = false>
    [[gnu::always_inline]] static Expanded expand_dense_escapes(const uint8_t* bytes, int32_t limit, uint8_t* staging,
                                                                int32_t staged)
    {
        const __m512i window = _mm512_loadu_si512(bytes);
        const __mmask64 escape_lanes = _mm512_cmpeq_epi8_mask(window, all_ones());
        uint64_t escapes = escape_lanes;
        // Kept in a general register: the compiler would otherwise move it
        // out of the mask register afresh at each use, a uop each time.
        asm("" : "+r"(escapes));
        if (std::popcount(escapes) <= kSlotEscapes) {
            return {0, staged};
        }
        // Where no escape is within two bytes of another or in the last two
        // bytes, each starts a run token that ends in the window: the masks
        // of the slots are the escapes' own, taken straight from the mask
        // register. Moved to a general register and back, they put some 17
        // cycles more between the window's load and its stores.
        if (limit == kWindow && (escapes_followed_closely(escapes) | (escapes >> 62)) == 0) {
            const __m512i count_byte = bytes_ahead<1>(window);
            if (_mm512_mask_cmpgt_epu8_mask(escape_lanes, count_byte, splat<9>()) == 0) {
                return {kWindow, expand_short_runs(window, count_byte, bytes_ahead<2>(window), escape_lanes,
                                                   _knot_mask64(escape_lanes), staging, staged)};
            }
        }
        // Where no escape is within two bytes of another, each one starts a
        // run token: the parse is spared where 255s are rare. The window's
        // end never waits for it.
        EscapedTokens parse{~((escapes << 1) | (escapes << 2)), escapes};
        if (escapes_followed_closely(escapes) != 0) {
            if constexpr (kParsedApart) {
                return {-1, staged};
            }
            parse = escaped_tokens_by_parities(escapes);
        }
        const int32_t short_by = kWindow - limit;
        const int32_t whole_bytes = escaped_whole_bytes(escapes << short_by) - short_by;
        const uint64_t whole = mask_below(whole_bytes);
        const uint64_t tokens = parse.starts & whole;
        const __m512i count_byte = bytes_ahead<1>(window);
        const __m512i level_byte = bytes_ahead<2>(window);
        const uint64_t runs = parse.runs & whole;
        const uint64_t beyond_slots = _mm512_mask_cmpgt_epu8_mask(runs, count_byte, splat<9>());
        if (beyond_slots == 0) {
            return {whole_bytes, expand_short_runs(window, count_byte, level_byte, runs,
                                                   whole & ~(parse.starts & escapes), staging, staged)};
        }
        // A lone 255 keeps its escape as the level and a length of one.
        const __m512i lengths = _mm512_mask_blend_epi8(parse.runs, splat<1>(), count_byte);
        const uint64_t long_tokens = _mm512_mask_cmpgt_epu8_mask(tokens, lengths, splat<16>());
        if (std::popcount(long_tokens) > 1) {
            // Run tokens alone, none of more than 64 values (plateaus): a fill
            // each. Other windows of long runs: the window code.
            if ((whole & ~(runs | (runs << 1) | (runs << 2))) == 0 &&
                _mm512_mask_cmpgt_epu8_mask(runs, count_byte, _mm512_set1_epi8(kWindow)) == 0) {
                return {whole_bytes, fill_each_token(bytes, runs, staging, staged)};
            }
            return {0, staged};
        }
        // Five slots a byte where no run holds more than 15 values: five
        // compresses. Gathering the tokens' lengths and levels first, then
        // giving them slots by groups of 16 tokens, took two compresses more
        // and four for each group with a run of more than 8.
        if (long_tokens == 0 && _mm512_mask_cmpgt_epu8_mask(runs, count_byte, splat<15>()) == 0) {
            return {whole_bytes, expand_byte_slots<5>(window, count_byte, level_byte, runs,
                                                      whole & ~(parse.starts & escapes), staging, staged)};
        }
        // A run of 16 values, or one of more than 16 (a pause in sound, a
        // plateau in a signal): each run of more than 9 by a fill, the tokens
        // between by byte slots, so that the step takes the whole window.
        // Cheaper than finding each value's run among the window's; and a
        // step that ended at the first such run left the next window's load
        // waiting on its place, and its set-up to be made again. No test of the capacity
        // between the fills: a window's tokens (three bytes a run) hold at
        // most one run of 254 values and 20 of 16, and a fill stores at most
        // 128 bytes past the end of a run of up to 128 values.
        static_assert(avx512vbmi2::kStagingBytes - DECODE_MAX_VALUES >= 254 + 20 * 16 + 2 * kWindow,
                      "room for a window's fills");
        const uint64_t ones = whole & ~(parse.starts & escapes);
        int32_t from = 0;  // the first byte not yet expanded
        uint64_t fills = beyond_slots;
        do {
            const int32_t cut = std::countr_zero(fills);
            const uint64_t between = clear_bits_below(mask_below(cut), from);
            if (between != 0) {
                staged =
                    expand_short_runs(window, count_byte, level_byte, runs & between, ones & between, staging, staged);
            }
            const int32_t length = bytes[cut + 1];
            fill_run<Vbmi2Primitives>(staging, staged, bytes[cut + 2], length);
            staged += length;
            from = cut + 3;
            fills &= fills - 1;
        } while (fills != 0);
        const uint64_t after = clear_bits_below(whole, from);
        if (after != 0) {
            staged = expand_short_runs(window, count_byte, level_byte, runs & after, ones & after, staging, staged);
        }
        return {whole_bytes, staged};
    }

    // The run tokens of at most 9 values that start at `runs`, and the bytes
    // of `ones` (the kept bytes but the tokens' escapes): each of those
    // stands for one value until the run tokens' counts take their bytes
    // over. The fewer slots a byte, the fewer compresses: one where no run
    // holds more than 3 values, else three.
    [[gnu::always_inline]] static int32_t expand_short_runs(__m512i window, __m512i count_byte, __m512i level_byte,
                                                            uint64_t runs, uint64_t ones, uint8_t* staging,
                                                            int32_t staged)
    {
        if (_mm512_mask_cmpgt_epu8_mask(runs, count_byte, splat<3>()) == 0) {
            return expand_byte_slots<1>(window, count_byte, level_byte, runs, ones, staging, staged);
        }
        return expand_byte_slots<3>(window, count_byte, level_byte, runs, ones, staging, staged);
    }

    // A parsed window's tokens as expand_short_runs takes them, and the
    // bytes its whole tokens cover (escaped_whole_bytes). The runs are those
    // that end in the window and the ones the bytes that stand for one value
    // each, without mask_below(whole bytes): the only token a window cuts is
    // a run at byte 62 or 63, and a run's count byte takes no value of its
    // own (its slots come from the run's mask). Neither needs the literals'
    // starts.
    struct ParsedWindow {
        uint64_t runs;
        uint64_t ones;
        int32_t whole_bytes;
    };

    // The whole bytes are picked by a branch on that run: as a value, the
    // next window's load waited on them in each window with an escape in its
    // last two bytes (most of them where 255s are common), some 15 cycles;
    // predicted, it is made at once. From the parse rather than from the last
    // group alone (escaped_window_cuts_token): eight instructions a window
    // fewer.
    [[gnu::always_inline]] static ParsedWindow parsed_tokens(uint64_t escapes)
    {
        const uint64_t token_escapes = token_escapes_from_parity(escapes, prefix_parity(escapes));
        const uint64_t runs = runs_of_token_escapes(escapes, token_escapes);
        int32_t whole_bytes = kWindow;
        if ((runs >> (kWindow - 2)) != 0) {
            whole_bytes = static_cast<int32_t>(kWindow - 2 + (escapes >> 63));
            asm("" : "+r"(whole_bytes));  // kept a branch, not a conditional move
        }
        return {runs & mask_below(kWindow - 2), ~(token_escapes | (runs << 1)), whole_bytes};
    }

    // Windows parsed one after another, from one that needs the parse (lone
    // 255s, runs of 255), while their runs hold at most 9 values: each
    // window's parse made before the window ahead of it is expanded, so that
    // the parse's chain (the escapes through a general register, the
    // carry-less product and a dozen steps) is not at the head of each
    // window's work. Stops before a window of at most kSlotEscapes escapes,
    // at the capacity, and where fewer than 64 bytes are left; `p` and
    // `staged` unchanged where the first window's runs are longer. The
    // stream's place and the levels' end are pointers, and a window carries
    // only its runs, ones and whole bytes to the next step: with indices and
    // the whole parse, GCC kept several of them on the stack. Out of line:
    // inlined, its growth moved the signals' windows (which never enter it)
    // 2 to 6% slower.
    [[gnu::noinline]] static void expand_parsed_windows(const uint8_t* stream, int32_t count, int32_t& p,
                                                        uint8_t* staging, int32_t& staged)
    {
        // Set once: called in the loop, the FF bytes were made afresh in each
        // window by a broadcast from a general register.
        const __m512i escape = all_ones();
        const uint8_t* at = stream + p;
        const uint8_t* const last = stream + count - kWindow;  // the last place with 64 bytes
        uint8_t* out = staging + staged;
        uint8_t* const full = staging + DECODE_MAX_VALUES;
        __m512i window = _mm512_loadu_si512(at);
        uint64_t escapes = _mm512_cmpeq_epi8_mask(window, escape);
        asm("" : "+r"(escapes));
        ParsedWindow tokens = parsed_tokens(escapes);
        while (true) {
            const uint8_t* const next = at + tokens.whole_bytes;
            const bool more = next <= last;
            __m512i next_window = window;
            uint64_t next_escapes = 0;
            if (more) {
                next_window = _mm512_loadu_si512(next);
                next_escapes = _mm512_cmpeq_epi8_mask(next_window, escape);
                asm("" : "+r"(next_escapes));
            }
            const ParsedWindow next_tokens = parsed_tokens(next_escapes);
            const __m512i count_byte = bytes_ahead<1>(window);
            const __m512i level_byte = bytes_ahead<2>(window);
            // Two slots a byte where no run holds more than 6 values: two
            // compresses where three were, and the test for 9 only where
            // some run holds more than 6.
            if (_mm512_mask_cmpgt_epu8_mask(tokens.runs, count_byte, splat<6>()) == 0) {
                if (_mm512_mask_cmpgt_epu8_mask(tokens.runs, count_byte, splat<3>()) == 0) {
                    out += expand_byte_slots<1, true>(window, count_byte, level_byte, tokens.runs, tokens.ones, out, 0);
                } else {
                    out += expand_byte_slots<2, true>(window, count_byte, level_byte, tokens.runs, tokens.ones, out, 0);
                }
            } else {
                if (_mm512_mask_cmpgt_epu8_mask(tokens.runs, count_byte, _mm512_set1_epi8(9)) != 0) {
                    break;
                }
                out += expand_byte_slots<3, true>(window, count_byte, level_byte, tokens.runs, tokens.ones, out, 0);
            }
            at = next;
            // The escapes' count alone: the windows that need no parse are
            // rare among those that do, and the parse takes them too.
            if (!more || out >= full || std::popcount(next_escapes) <= kSlotEscapes) {
                break;
            }
            window = next_window;
            tokens = next_tokens;
        }
        p = static_cast<int32_t>(at - stream);
        staged = static_cast<int32_t>(out - staging);
    }

    // The escaped stream, a window a step as above, or by the window code.
    static int32_t expand_escaped(const uint8_t* stream, int32_t count, uint8_t* staging)
    {
        int32_t staged = 0;
        int32_t p = 0;
        while (count - p >= kWindow && staged < DECODE_MAX_VALUES) {
            const __m512i window = _mm512_loadu_si512(stream + p);
            if (_mm512_cmpeq_epi8_mask(window, all_ones()) == 0) [[likely]] {
                _mm512_storeu_si512(staging + staged, window);
                p += kWindow;
                staged += kWindow;
                continue;
            }
            Expanded step = expand_dense_escapes<true>(stream + p, kWindow, staging, staged);
            if (step.consumed < 0) {
                const int32_t before = p;
                expand_parsed_windows(stream, count, p, staging, staged);
                if (p != before) {
                    continue;
                }
                step = expand_dense_escapes(stream + p, kWindow, staging, staged);
            }
            if (step.consumed == 0) {
                if (count - p < 2 * kWindow) {  // the window code reads 128 bytes
                    return expand_last_escaped<Vbmi2Primitives>(stream + p, count - p, staging, staged);
                }
                step = expand_escaped_window<Vbmi2Primitives>(stream + p, count - p, staging, staged);
            }
            p += step.consumed;  // not -1: the window's tokens end in the stream
            staged = step.staged;
        }
        return expand_last_dense(stream + p, count - p, staging, staged);
    }

    // The last `left` < 64 bytes at `bytes`, from a copy with zeros past
    // them: as above, the window code taking what the slots leave.
    static int32_t expand_last_dense(const uint8_t* bytes, int32_t left, uint8_t* staging, int32_t staged)
    {
        if (staged >= DECODE_MAX_VALUES) {
            return DECODE_MAX_VALUES;
        }
        // A masked load reads none of the bytes past the stream, and costs
        // no call. The window code reads 128 bytes from any j < 64.
        alignas(64) uint8_t rest[3 * kWindow] = {};
        _mm512_store_si512(rest, _mm512_maskz_loadu_epi8(mask_below(left), bytes));
        int32_t j = 0;
        while (j < left && staged < DECODE_MAX_VALUES) {
            Expanded step = expand_dense_escapes(rest + j, std::min(left - j, kWindow), staging, staged);
            if (step.consumed == 0) {
                step = expand_escaped_window<Vbmi2Primitives>(rest + j, left - j, staging, staged);
            }
            staged = step.staged;
            if (step.consumed <= 0) {
                break;
            }
            j += step.consumed;
        }
        return std::min(staged, DECODE_MAX_VALUES);
    }
};

}  // namespace

constinit const CodecPath avx512vbmi2_path = avx512vbmi2::make_path<Vbmi2Primitives>(
    "avx512vbmi2",
    {CpuFeature::avx512f, CpuFeature::avx512bw, CpuFeature::avx512vbmi, CpuFeature::avx512vbmi2, CpuFeature::avx2,
     CpuFeature::fma, CpuFeature::bmi1, CpuFeature::bmi2, CpuFeature::popcnt, CpuFeature::pclmul});

}  // namespace comm::detail

COMM_TARGET_REGION_END

#endif  // COMM_X86_PATHS
