// Pair decoders of windows of many short runs by 128-bit shuffles with
// controls looked up by the runs' counts: four runs of one to four values a
// shuffle, two of one to eight, or eight runs of one or two. Shared by the AVX2 path and the
// AVX-512 paths, whose generic window expansion (vector_coders.hpp) spends a
// store or a fill on each run. Include it only inside a path's target region,
// in an unnamed namespace, after vector_coders.hpp: each path then compiles
// its own copy for its own instruction set. It includes nothing
// (<immintrin.h>, <bit>, <cstring> and the library's headers come before the
// region).
#ifndef COMM_SHORT_RUN_PAIRS_HPP
#define COMM_SHORT_RUN_PAIRS_HPP

// Four runs of one to four values from their pairs (count, level): for the
// counts c0..c3 (each below 4) the key c0 | c1 << 2 | c2 << 4 | c3 << 6 picks
// an entry of 32 bytes at 32 * key: the byte of the four pairs (2r + 1, run
// r's level) each of 16 output lanes takes, then how many of those lanes the
// runs fill. Lanes and count share a cache line, and the key's multiply
// gives the entry's offset with no further step.
inline constexpr int kShortRunEntry = 32;

struct ShortRunLayouts {
    alignas(64) uint8_t bytes[256 * kShortRunEntry];
};

constexpr ShortRunLayouts make_short_run_layouts()
{
    ShortRunLayouts l{};
    for (int key = 0; key < 256; ++key) {
        uint8_t* entry = l.bytes + std::ptrdiff_t{kShortRunEntry} * key;
        int lane = 0;
        for (int r = 0; r < 4; ++r) {
            const int length = ((key >> (2 * r)) & 3) + 1;
            for (int k = 0; k < length; ++k) {
                entry[lane++] = static_cast<uint8_t>(2 * r + 1);
            }
        }
        entry[16] = static_cast<uint8_t>(lane);
        for (; lane < 16; ++lane) {
            entry[lane] = 7;
        }
    }
    return l;
}

inline constexpr ShortRunLayouts kShortRunLayouts = make_short_run_layouts();

// Eight runs of one or two values: for the mask of the runs of two, the
// level (0..7) each of 16 output lanes takes.
struct PairRunLayouts {
    alignas(16) uint8_t lanes[256][16];
};

constexpr PairRunLayouts make_pair_run_layouts()
{
    PairRunLayouts l{};
    for (int doubles = 0; doubles < 256; ++doubles) {
        int lane = 0;
        for (int r = 0; r < 8; ++r) {
            for (int k = 0; k <= ((doubles >> r) & 1); ++k) {
                l.lanes[doubles][lane++] = static_cast<uint8_t>(r);
            }
        }
        for (; lane < 16; ++lane) {
            l.lanes[doubles][lane] = 7;
        }
    }
    return l;
}

inline constexpr PairRunLayouts kPairRunLayouts = make_pair_run_layouts();

// Two runs of one to eight values from their pairs, the first or the second
// two of four pairs (8 bytes): for the counts c0, c1 (each below 8) the key
// c0 | c1 << 3 gives the byte of the four pairs each of 16 output lanes
// takes (lanes[0] for the first two, lanes[1] for the second two), and how
// many of those lanes the runs fill.
struct EightRunLayouts {
    alignas(16) uint8_t lanes[2][64][16];
    uint8_t total[64];
};

constexpr EightRunLayouts make_eight_run_layouts()
{
    EightRunLayouts l{};
    for (int half = 0; half < 2; ++half) {
        for (int key = 0; key < 64; ++key) {
            int lane = 0;
            for (int r = 0; r < 2; ++r) {
                const int length = ((key >> (3 * r)) & 7) + 1;
                for (int k = 0; k < length; ++k) {
                    l.lanes[half][key][lane++] = static_cast<uint8_t>(4 * half + 2 * r + 1);
                }
            }
            l.total[key] = static_cast<uint8_t>(lane);
        }
    }
    return l;
}

inline constexpr EightRunLayouts kEightRunLayouts = make_eight_run_layouts();

// A path's primitives with these decoders as its hook expand_pair_window
// (see vector_coders.hpp). The primitives bring pair_levels, fill, fill16,
// store and counts_without (whether no count byte of 64 pairs has a bit of
// a mask).
template <class Primitives>
struct WithShortRunPairs : Primitives {
    using Window = typename Primitives::Window;
    using Expanded = COMM_VECTOR_TARGET::Expanded;
    static constexpr int32_t kWindow = COMM_VECTOR_TARGET::kWindow;

    // Where the primitives expand a window of few runs by masked stores
    // (expand_few_runs), windows of up to this many runs of two go there: a
    // store and a fill a run, less than the shuffles' fixed work. The generic
    // expansion reloads its stores, and loses to the shuffles from one run.
    static constexpr bool kMaskedFewRuns = requires { &Primitives::expand_few_runs; };
    static constexpr int kFewDoubles = kMaskedFewRuns ? 3 : 0;
    // Without masked stores, a window of few runs, none longer than eight
    // values, goes by the shuffles too: the generic expansion's first reload
    // of the window it has just stored waits for the stores (heavy_255/1900
    // decode avx2 474 -> 432 ns).
    static constexpr bool kFewShortRunsShuffled = !kMaskedFewRuns;

    // A pair at a time: a 16-byte fill for a run of up to 16 values, else
    // 64-byte fills. Stops once the capacity is reached.
    [[gnu::always_inline]] static int32_t expand_each_pair(const uint8_t* pairs, int32_t n, uint8_t* staging,
                                                           int32_t staged)
    {
        for (std::ptrdiff_t j = 0; j < n && staged < DECODE_MAX_VALUES; ++j) {
            const int32_t length = pairs[2 * j] + 1;
            const uint8_t level = pairs[2 * j + 1];
            if (length <= 16) {
                Primitives::fill16(staging + staged, level);
            } else {
                COMM_VECTOR_TARGET::fill_run<Primitives>(staging, staged, level, length);
            }
            staged += length;
        }
        return staged;
    }

    // The entry of kShortRunLayouts for four pairs whose counts are all
    // below 4. The AVX2 path also runs on AMD CPUs before Zen 3, where pext
    // is microcoded and takes tens of cycles: there the four counts' low
    // bits are gathered by a multiply, whose partial products leave bits
    // 40..47 clear, so that a shift gives key * 32 at once. Every CPU with
    // AVX-512 has a fast pext, 3 to 7% faster here.
    [[gnu::always_inline]] static const uint8_t* four_run_entry(uint64_t four)
    {
        constexpr uint64_t kCountLow = 0x0003000300030003;
        constexpr uint64_t kKeyGather = 0x0001000400100040;
        if constexpr (kMaskedFewRuns) {
            return kShortRunLayouts.bytes + kShortRunEntry * _pext_u64(four, kCountLow);
        } else {
            return kShortRunLayouts.bytes + (((four & kCountLow) * kKeyGather) >> 43);
        }
    }

    // Four runs of up to four values at `out`; returns the position after
    // them. Stores 16 bytes.
    [[gnu::always_inline]] static uint8_t* four_runs(uint8_t* out, uint64_t four)
    {
        const uint8_t* entry = four_run_entry(four);
        const __m128i lanes = _mm_load_si128(reinterpret_cast<const __m128i*>(entry));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                         _mm_shuffle_epi8(_mm_cvtsi64_si128(static_cast<int64_t>(four)), lanes));
        return out + entry[16];
    }

    // A whole window of 64 pairs whose runs all hold up to four values:
    // its 16 groups with no test between them. Stores up to 256 levels and
    // 16 bytes past them.
    [[gnu::always_inline]] static int32_t expand_four_run_window(const uint8_t* pairs, uint8_t* staging, int32_t staged)
    {
        uint8_t* out = staging + staged;
#pragma GCC unroll 16
        for (std::ptrdiff_t g = 0; g < kWindow / 4; ++g) {
            uint64_t four = 0;
            std::memcpy(&four, pairs + 8 * g, sizeof four);
            out = four_runs(out, four);
        }
        return static_cast<int32_t>(out - staging);
    }

    // Expands the first `limit` of the pairs at `pairs` after the `staged`
    // levels, four pairs at a time where their runs are all shorter than five
    // values (one table lookup and one 16-byte shuffle), two at a time where
    // they are all shorter than nine, a pair at a time elsewhere. Reads no
    // pair past `limit`. The shuffles of a group of four keep at most 32
    // levels, so the capacity is checked only after a group expanded a pair
    // at a time: once it is reached, the window has stored at most a run of
    // 256 or its 16 groups' 512 levels and a 16-byte store past it.
    [[gnu::always_inline]] static Expanded expand_short_runs(const uint8_t* pairs, int32_t limit, uint8_t* staging,
                                                             int32_t staged)
    {
        constexpr uint64_t kCountHigh = 0x00FC00FC00FC00FC;
        constexpr uint64_t kCountAbove7 = 0x00F800F800F800F8;
        const uint8_t* p = pairs;
        const uint8_t* const groups_end = pairs + 2 * static_cast<std::ptrdiff_t>(limit & -4);
        uint8_t* out = staging + staged;
        for (; p != groups_end; p += 8) {
            uint64_t four = 0;
            std::memcpy(&four, p, sizeof four);
            const __m128i bytes = _mm_cvtsi64_si128(static_cast<int64_t>(four));
            if ((four & kCountHigh) == 0) {
                out = four_runs(out, four);
            } else if ((four & kCountAbove7) == 0) {
                // Runs of up to eight values: two pairs a shuffle.
#pragma GCC unroll 2
                for (std::ptrdiff_t half = 0; half < 2; ++half) {
                    const uint64_t two = four >> (32 * half);
                    const auto key = static_cast<uint8_t>((two & 7) | ((two >> 13) & 0x38));
                    const __m128i lanes =
                        _mm_load_si128(reinterpret_cast<const __m128i*>(kEightRunLayouts.lanes[half][key]));
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(bytes, lanes));
                    out += kEightRunLayouts.total[key];
                }
            } else {
                const int32_t done = expand_each_pair(p, 4, staging, static_cast<int32_t>(out - staging));
                out = staging + done;
                if (done >= DECODE_MAX_VALUES) {
                    return {static_cast<int32_t>((p - pairs) / 2) + 4, done};
                }
            }
        }
        return {limit, expand_each_pair(p, limit & 3, staging, static_cast<int32_t>(out - staging))};
    }

    // A whole window of 64 pairs, each a run of one or two values: eight
    // pairs a shuffle, its lanes looked up by the mask of the runs of two.
    // Stores up to 16 bytes past what it keeps.
    [[gnu::always_inline]] static int32_t expand_ones_and_twos(Window levels, uint64_t doubles, uint8_t* staging,
                                                               int32_t staged)
    {
        alignas(64) uint8_t level_bytes[kWindow];
        Primitives::store(level_bytes, levels);
#pragma GCC unroll 8
        for (std::ptrdiff_t g = 0; g < 8; ++g) {
            const auto eight = static_cast<uint8_t>(doubles >> (8 * g));
            const __m128i lanes = _mm_load_si128(reinterpret_cast<const __m128i*>(kPairRunLayouts.lanes[eight]));
            const __m128i from = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(level_bytes + 8 * g));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(staging + staged), _mm_shuffle_epi8(from, lanes));
            staged += 8 + std::popcount(eight);
        }
        return staged;
    }

    // A window of pairs with many runs goes through expand_ones_and_twos,
    // expand_four_run_window or expand_short_runs, any other the way every
    // path takes (see kFewDoubles, kFewShortRunsShuffled and kDenseRuns).
    [[gnu::always_inline]] static Expanded expand_pair_window(const uint8_t* pairs, int32_t remaining, uint8_t* staging,
                                                              int32_t staged)
    {
        uint64_t counted = 0;
        const Window levels = Primitives::pair_levels(pairs, counted);
        const int32_t limit = std::min(remaining, kWindow);
        const int runs = std::popcount(counted & COMM_VECTOR_TARGET::mask_below(limit));
        if (limit == kWindow && runs > kFewDoubles && Primitives::counts_without(pairs, 0xFE)) {
            return {limit, expand_ones_and_twos(levels, counted, staging, staged)};
        }
        if (limit == kWindow && runs > kFewDoubles && Primitives::counts_without(pairs, 0xFC)) {
            return {limit, expand_four_run_window(pairs, staging, staged)};
        }
        if (runs > COMM_VECTOR_TARGET::kDenseRuns ||
            (kFewShortRunsShuffled && runs > 0 && Primitives::counts_without(pairs, 0xF8))) {
            return expand_short_runs(pairs, limit, staging, staged);
        }
        if constexpr (kMaskedFewRuns) {
            if (runs > 0) {
                return Primitives::expand_few_runs(pairs, levels, counted & COMM_VECTOR_TARGET::mask_below(limit),
                                                   limit, staging, staged);
            }
        }
        return COMM_VECTOR_TARGET::expand_pair_window<Primitives>(pairs, remaining, staging, staged);
    }
};

#endif  // COMM_SHORT_RUN_PAIRS_HPP
