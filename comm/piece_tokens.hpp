// Token writers by 128-bit shuffles with controls looked up by pieces of a
// window's run starts: pairs eight positions at a time (where the piece's
// starts are and the lengths of the runs they begin). Shared by
// the AVX2 path and the AVX-512 path without VBMI2 (on which a 64-lane
// compress is not at hand). Include it only inside a path's target region, in
// an unnamed namespace: each path then compiles its own copy for its own
// instruction set. It includes nothing (<immintrin.h>, <bit>, <cstring> and
// the library's headers come before the region).
#ifndef COMM_PIECE_TOKENS_HPP
#define COMM_PIECE_TOKENS_HPP

// For each 8-bit piece of a window's run starts: the positions of its starts
// in order, and the count (length - 1) of the run each begins, the last one's
// taken to the piece's end; 0s past its starts.
struct PieceRuns {
    alignas(8) uint8_t at[256][8];
    alignas(8) uint8_t counts[256][8];
};

constexpr PieceRuns make_piece_runs()
{
    PieceRuns l{};
    for (int piece = 0; piece < 256; ++piece) {
        int j = 0;
        for (int b = 0; b < 8; ++b) {
            if (((piece >> b) & 1) != 0) {
                l.at[piece][j++] = static_cast<uint8_t>(b);
            }
        }
        for (int k = 0; k < j; ++k) {
            const int next = k + 1 < j ? l.at[piece][k + 1] : 8;
            l.counts[piece][k] = static_cast<uint8_t>(next - l.at[piece][k] - 1);
        }
    }
    return l;
}

inline constexpr PieceRuns kPieceRuns = make_piece_runs();

// The runs begun by the starts in piece g of a window: their counts
// (length - 1), the last one's to the next start in a later piece, and
// their levels, in the low eight bytes.
struct PieceTokens {
    __m128i counts;
    __m128i levels;
    int starts;
};

[[gnu::always_inline]] inline PieceTokens piece_runs(const uint8_t* level_bytes, uint64_t starts, int g)
{
    const auto piece = static_cast<uint8_t>(starts >> (8 * g));
    const int in_piece = std::popcount(piece);
    const uint64_t beyond = g < 7 ? starts >> (8 * g + 8) : 0;
    uint64_t counts = 0;
    std::memcpy(&counts, kPieceRuns.counts[piece], sizeof counts);
    counts += static_cast<uint64_t>(std::countr_zero(beyond)) << (8 * ((in_piece - 1) & 7));
    const __m128i at = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kPieceRuns.at[piece]));
    const __m128i levels =
        _mm_shuffle_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(level_bytes + 8 * std::ptrdiff_t{g})), at);
    return {_mm_cvtsi64_si128(static_cast<int64_t>(counts)), levels, in_piece};
}

// Writes at `out` the pair tokens (length - 1, level) of the runs from
// each start of `starts` to the next (each shorter than a window, so no
// cut among them), and returns the position after them. Eight window
// positions at a time: the 8-bit piece of the mask looks up the positions
// of its starts, which pick their levels by a shuffle, and the counts of
// the runs they begin; the last start's run goes on to the first start of
// a later piece. Stores 128 bytes.
[[gnu::always_inline]] inline uint8_t* piece_pair_runs(uint8_t* out, const uint8_t* level_bytes, uint64_t starts)
{
    int32_t n = 0;  // starts in the pieces before
#pragma GCC unroll 8
    for (int g = 0; g < 8; ++g) {
        const PieceTokens runs = piece_runs(level_bytes, starts, g);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * static_cast<std::ptrdiff_t>(n)),
                         _mm_unpacklo_epi8(runs.counts, runs.levels));
        n += runs.starts;
    }
    return out + 2 * static_cast<std::ptrdiff_t>(n - 1);
}

// The 64 bytes of a window as two registers, lane i of the window in byte
// i % 32 of lo (i < 32) or hi.
struct Lanes64 {
    __m256i lo;
    __m256i hi;
};

// A path's primitives with these token writers as its hooks (see
// vector_coders.hpp). On windows of a few stretches of starts the stretch
// code beats the escaped writer: a store or two against its fixed work.
template <class Primitives>
struct WithPieceTokens : Primitives {
    using Window = typename Primitives::Window;

    static constexpr int kEscapedRunsAboveStretches = 4;

    [[gnu::always_inline]] static uint8_t* pair_runs(uint8_t* out, Window window, uint64_t starts)
    {
        alignas(64) uint8_t level_bytes[64];
        Primitives::store(level_bytes, window);
        return piece_pair_runs(out, level_bytes, starts);
    }
};

#endif  // COMM_PIECE_TOKENS_HPP
