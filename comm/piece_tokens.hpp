// Token writers that take a window's run starts eight positions at a time:
// each 8-bit piece of the mask looks up where its starts are and the lengths
// of the runs they begin, and 128-bit shuffles lay out the tokens. Shared by
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

// Four escaped tokens laid out from their planar bytes [first bytes of the
// four, second bytes, third bytes]: for the key (the size of token r, 0 to 3,
// its low bit at bit r and its high bit at bit r + 4), the source byte of
// each output byte, and the four tokens' total size.
struct EscapedTokenLayouts {
    alignas(16) uint8_t from[256][16];
    uint8_t total[256];
};

constexpr EscapedTokenLayouts make_escaped_token_layouts()
{
    EscapedTokenLayouts l{};
    for (int key = 0; key < 256; ++key) {
        int out = 0;
        for (int r = 0; r < 4; ++r) {
            const int size = ((key >> r) & 1) + 2 * ((key >> (r + 4)) & 1);
            for (int b = 0; b < size && out < 16; ++b) {
                l.from[key][out++] = static_cast<uint8_t>(4 * b + r);
            }
        }
        l.total[key] = static_cast<uint8_t>(out);
        for (; out < 16; ++out) {
            l.from[key][out] = 15;
        }
    }
    return l;
}

inline constexpr EscapedTokenLayouts kEscapedTokenLayouts = make_escaped_token_layouts();

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

// The same for the escaped stream: a run of one is its level (255 as
// FF FF), a longer one FF length level. Each half piece's four tokens
// are laid out by a table keyed on their sizes. The window's last start
// has no next start, so its token is three bytes long, written and then
// given back. Stores at most 205 bytes.
[[gnu::always_inline]] inline uint8_t* piece_escaped_runs(uint8_t* out, const uint8_t* level_bytes, uint64_t starts)
{
    const __m128i escape = _mm_set1_epi8(static_cast<char>(format::kEscape));
#pragma GCC unroll 8
    for (int g = 0; g < 8; ++g) {
        const PieceTokens runs = piece_runs(level_bytes, starts, g);
        const __m128i single = _mm_cmpeq_epi8(runs.counts, _mm_setzero_si128());
        const __m128i first = _mm_blendv_epi8(escape, runs.levels, single);
        const __m128i second = _mm_blendv_epi8(_mm_add_epi8(runs.counts, _mm_set1_epi8(1)), escape, single);
        const auto singles = static_cast<unsigned>(_mm_movemask_epi8(single));
        const auto tops = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(runs.levels, escape)));
        const unsigned present = (1U << runs.starts) - 1;
        const unsigned size_low = present & ~(singles & tops);   // sizes 1 and 3
        const unsigned size_high = present & (~singles | tops);  // sizes 2 and 3
        const __m128i firsts_seconds = _mm_unpacklo_epi32(first, second);
        const __m128i thirds = _mm_unpacklo_epi32(runs.levels, _mm_setzero_si128());
        const __m128i halves[2] = {_mm_unpacklo_epi64(firsts_seconds, thirds),
                                   _mm_unpackhi_epi64(firsts_seconds, thirds)};
#pragma GCC unroll 2
        for (int h = 0; h < 2; ++h) {
            const auto key = static_cast<uint8_t>(((size_low >> (4 * h)) & 15) | (((size_high >> (4 * h)) & 15) << 4));
            const __m128i from = _mm_load_si128(reinterpret_cast<const __m128i*>(kEscapedTokenLayouts.from[key]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(halves[h], from));
            out += kEscapedTokenLayouts.total[key];
        }
    }
    return out - 3;
}

// A path's primitives with these token writers as its hooks (see
// vector_coders.hpp). Laying out tokens of three sizes takes twice the table
// steps of pairs: on windows of few stretches the stretch code is faster.
template <class Primitives>
struct WithPieceTokens : Primitives {
    using Window = typename Primitives::Window;

    static constexpr int kEscapedRunsAboveStretches = 8;

    [[gnu::always_inline]] static uint8_t* pair_runs(uint8_t* out, Window window, uint64_t starts)
    {
        alignas(64) uint8_t level_bytes[64];
        Primitives::store(level_bytes, window);
        return piece_pair_runs(out, level_bytes, starts);
    }

    [[gnu::always_inline]] static uint8_t* escaped_runs(uint8_t* out, Window window, uint64_t starts)
    {
        alignas(64) uint8_t level_bytes[64];
        Primitives::store(level_bytes, window);
        return piece_escaped_runs(out, level_bytes, starts);
    }
};

#endif  // COMM_PIECE_TOKENS_HPP
