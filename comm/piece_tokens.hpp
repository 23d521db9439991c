// The escaped token writer by 128-bit shuffles from two slots a value, four
// values at a time (see escaped_slot_runs), for the AVX2 path's windows with
// lone 255s (see WithPieceTables). Include it only inside a path's target
// region, in an unnamed namespace: each path then compiles its own copy for
// its own instruction set. It includes nothing (<immintrin.h>, <bit>,
// <cstring> and the library's headers come before the region).
#ifndef COMM_PIECE_TOKENS_HPP
#define COMM_PIECE_TOKENS_HPP

// The escaped token writer's keeps: a group of four values' slots is the
// four first slots, then the four second slots; for the key (first slots
// kept at bits 0..3, second slots at bits 4..7) and the group's place in its
// 16-byte register (bytes 0..7 or 8..15), the source byte of each output
// byte, in token order: value i's first slot, then its second.
struct SlotKeeps {
    alignas(8) uint8_t from[2][256][8];
};

constexpr SlotKeeps make_slot_keeps()
{
    SlotKeeps l{};
    for (int half = 0; half < 2; ++half) {
        for (int key = 0; key < 256; ++key) {
            int out = 0;
            for (int i = 0; i < 4; ++i) {
                for (int slot = 0; slot < 2; ++slot) {
                    if (((key >> (4 * slot + i)) & 1) != 0) {
                        l.from[half][key][out++] = static_cast<uint8_t>(8 * half + 4 * slot + i);
                    }
                }
            }
            for (; out < 8; ++out) {
                l.from[half][key][out] = 0x80;
            }
        }
    }
    return l;
}

inline constexpr SlotKeeps kSlotKeeps = make_slot_keeps();

// The 64 bytes of a window as two registers, lane i of the window in byte
// i % 32 of lo (i < 32) or hi.
struct Lanes64 {
    __m256i lo;
    __m256i hi;
};

// Each lane the least of itself and the lanes up to K - 1 after it in its
// 16-lane chunk.
template <int K>
[[gnu::always_inline]] inline Lanes64 min_in_chunks(Lanes64 x)
{
    const __m256i none = _mm256_set1_epi8(127);
    return {_mm256_min_epu8(x.lo, _mm256_alignr_epi8(none, x.lo, K)),
            _mm256_min_epu8(x.hi, _mm256_alignr_epi8(none, x.hi, K))};
}

// 0xFF in lane i where bit i of `bits` is set.
[[gnu::always_inline]] inline Lanes64 spread64(uint64_t bits)
{
    const __m256i all = _mm256_set1_epi64x(static_cast<int64_t>(bits));
    const __m256i bit = _mm256_set1_epi64x(static_cast<int64_t>(0x8040201008040201U));
    const __m256i lo = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1,  //
                                        2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    const __m256i hi = _mm256_add_epi8(lo, _mm256_set1_epi8(4));
    return {_mm256_cmpeq_epi8(_mm256_and_si256(_mm256_shuffle_epi8(all, lo), bit), bit),
            _mm256_cmpeq_epi8(_mm256_and_si256(_mm256_shuffle_epi8(all, hi), bit), bit)};
}

// Lane i the distance from value i to the first start after it (64 or more
// past the last start). Found in 16-lane chunks, whose lanes past their
// chunk's last start take the first start of the chunks after.
[[gnu::always_inline]] inline Lanes64 distances_to_next_start(uint64_t starts)
{
    const __m256i lane_lo = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                                             21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    const __m256i lane_hi = _mm256_add_epi8(lane_lo, _mm256_set1_epi8(32));
    const __m256i one = _mm256_set1_epi8(1);
    const __m256i none = _mm256_set1_epi8(127);
    // i + 1 where a start follows lane i, else 127; then the least of those
    // from each lane to its chunk's end.
    const Lanes64 followed = spread64(starts >> 1);
    Lanes64 next = {_mm256_or_si256(_mm256_add_epi8(lane_lo, one), _mm256_andnot_si256(followed.lo, none)),
                    _mm256_or_si256(_mm256_add_epi8(lane_hi, one), _mm256_andnot_si256(followed.hi, none))};
    next = min_in_chunks<1>(next);
    next = min_in_chunks<2>(next);
    next = min_in_chunks<4>(next);
    next = min_in_chunks<8>(next);
    // Byte c: the first start from lane 16c + 16 on, else 127.
    uint32_t later = 127U << 24;
#pragma GCC unroll 3
    for (unsigned c = 0; c < 3; ++c) {
        const uint64_t beyond = starts >> (16 * c + 16);
        const unsigned first = beyond == 0 ? 127U : 16 * c + 16 + static_cast<unsigned>(std::countr_zero(beyond));
        later |= first << (8 * c);
    }
    const __m256i chunk_lo = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                              1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1);
    const __m256i chunk_hi = _mm256_add_epi8(chunk_lo, _mm256_set1_epi8(2));
    const __m256i laters = _mm256_set1_epi32(static_cast<int>(later));
    return {_mm256_sub_epi8(_mm256_min_epu8(next.lo, _mm256_shuffle_epi8(laters, chunk_lo)), lane_lo),
            _mm256_sub_epi8(_mm256_min_epu8(next.hi, _mm256_shuffle_epi8(laters, chunk_hi)), lane_hi)};
}

// Four values' slots (see escaped_slot_runs) kept by `key`, at `out`;
// returns the position after them. Stores 8 bytes.
template <int Half>
[[gnu::always_inline]] inline uint8_t* keep_slots(uint8_t* out, __m128i slots, uint64_t key)
{
    const auto k = static_cast<uint8_t>(key);
    const __m128i from = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kSlotKeeps.from[Half][k]));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(slots, from));
    return out + std::popcount(k);
}

// Writes at `out` the escaped tokens of the runs from each start of `starts`
// to the next (each shorter than a window, so no cut among them), and
// returns the position after them. Stores at most 136 bytes.
//
// A run's token fits in two bytes a value of it: a literal in its one
// value's two, FF length level in the four or more of a longer run. So the
// tokens are laid out by value, two slots a value. Value i's first slot holds
// its level, or FF where a longer run starts there; that level is the third
// byte of a token started the value before. Its second slot holds FF for a
// literal (kept only after a 255) or the length of the run starting there.
// Groups of four values go through one 16-byte shuffle each, its control
// looked up by the group's eight kept slots.
[[gnu::always_inline]] inline uint8_t* escaped_slot_runs(uint8_t* out, Lanes64 levels, uint64_t starts)
{
    const uint64_t closed = starts ^ std::bit_floor(starts);  // the last start's run stays open
    const uint64_t longer = closed & ~(starts >> 1);
    const uint64_t literals = closed & ~longer;
    const __m256i escape = _mm256_set1_epi8(static_cast<char>(format::kEscape));
    const uint64_t escapes =
        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(levels.lo, escape))) |
        (uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(levels.hi, escape)))} << 32);
    const uint64_t keep_first = closed | (longer << 1);
    const uint64_t keep_second = longer | (literals & escapes);
    // Byte k of each: the key of group 2k, then of group 2k + 1.
    constexpr uint64_t kLowNibbles = 0x0F0F0F0F0F0F0F0F;
    const uint64_t keys_even = (keep_first & kLowNibbles) | ((keep_second << 4) & ~kLowNibbles);
    const uint64_t keys_odd = ((keep_first >> 4) & kLowNibbles) | (keep_second & ~kLowNibbles);

    const Lanes64 lengths = distances_to_next_start(starts);
    const Lanes64 runs = spread64(longer);
    const __m256i first[2] = {_mm256_or_si256(levels.lo, runs.lo), _mm256_or_si256(levels.hi, runs.hi)};
    const __m256i second[2] = {_mm256_or_si256(lengths.lo, _mm256_xor_si256(runs.lo, escape)),
                               _mm256_or_si256(lengths.hi, _mm256_xor_si256(runs.hi, escape))};
#pragma GCC unroll 2
    for (int h = 0; h < 2; ++h) {
        // Groups 0, 1 | 4, 5 of the 32 values, then 2, 3 | 6, 7.
        const __m256i groups[2] = {_mm256_unpacklo_epi32(first[h], second[h]),
                                   _mm256_unpackhi_epi32(first[h], second[h])};
        const __m128i chunks[4] = {_mm256_castsi256_si128(groups[0]), _mm256_castsi256_si128(groups[1]),
                                   _mm256_extracti128_si256(groups[0], 1), _mm256_extracti128_si256(groups[1], 1)};
#pragma GCC unroll 4
        for (int c = 0; c < 4; ++c) {
            const int byte = 8 * (4 * h + c);
            out = keep_slots<0>(out, chunks[c], keys_even >> byte);
            out = keep_slots<1>(out, chunks[c], keys_odd >> byte);
        }
    }
    return out;
}

// A path's primitives with this writer as its escaped_runs hook (see
// vector_coders.hpp). On windows of a few stretches of starts the stretch
// code beats the escaped writers: a store or two against their fixed work.
template <class Primitives>
struct WithPieceTokens : Primitives {
    using Window = typename Primitives::Window;

    static constexpr int kEscapedRunsAboveStretches = 4;

    [[gnu::always_inline]] static uint8_t* escaped_runs(uint8_t* out, Window window, uint64_t starts)
    {
        alignas(64) uint8_t level_bytes[64];
        Primitives::store(level_bytes, window);
        const auto* halves = reinterpret_cast<const __m256i*>(level_bytes);
        return escaped_slot_runs(out, {_mm256_load_si256(halves), _mm256_load_si256(halves + 1)}, starts);
    }
};

#endif  // COMM_PIECE_TOKENS_HPP
