// Token writers by 16-byte shuffles whose controls are looked up by 8-bit
// pieces of a window's run starts: all the tokens of the runs begun in eight
// values in one shuffle and one store, for the paths without a byte compress
// (AVX2, and AVX-512 without VBMI2). Include it only inside such a path's
// target region, in an unnamed namespace; it includes nothing.
//
// Piece p of a window is values 8p to 8p + 7. Its shuffle source is 16 bytes:
//
//   bytes 0-7    the piece's levels
//   bytes 8-14   seven constant bytes the tokens need (escape, run lengths)
//   byte 15      the length of the run begun by the piece's last start (to the
//                first start of a later piece), less the stream's bias
//
// A run begun inside the piece and ending inside it (or at the next piece's
// first value) has a length the piece's starts fix, so its token takes a
// constant byte; only the last start's run reaches further. The control,
// looked up by the piece's starts (and, for the escaped stream, whether the
// next piece begins with a start), lays out the piece's tokens in order.
//
// Every start of the window gets a token, the window's last too: its run
// stays open, so the caller takes the position of its token as the end.
#ifndef COMM_AVX2_TOKEN_TABLES_HPP
#define COMM_AVX2_TOKEN_TABLES_HPP

// Source bytes (see above).
inline constexpr uint8_t kPieceLength = 15;
inline constexpr uint8_t kPieceConstants = 8;

// Pair tokens (length - 1, level). Constant byte 8 + c holds count c (0..6);
// byte 15 the last start's count. A piece's tokens fill 2 bytes a start, all
// 16 with eight starts.
struct PiecePairControls {
    alignas(16) uint8_t control[256][16];
};

constexpr PiecePairControls make_piece_pair_controls()
{
    PiecePairControls t{};
    for (int piece = 0; piece < 256; ++piece) {
        int out = 0;
        for (int i = 0; i < 8; ++i) {
            if (((piece >> i) & 1) == 0) {
                continue;
            }
            const int later = piece >> (i + 1);
            const int count = later == 0 ? -1 : std::countr_zero(static_cast<unsigned>(later));
            t.control[piece][out++] = static_cast<uint8_t>(count < 0 ? kPieceLength : kPieceConstants + count);
            t.control[piece][out++] = static_cast<uint8_t>(i);
        }
        for (; out < 16; ++out) {
            t.control[piece][out] = 0x80;
        }
    }
    return t;
}

inline constexpr PiecePairControls kPiecePairControls = make_piece_pair_controls();

// Escaped tokens: a run of one is its level, a longer run FF length level.
// Constant byte 8 is FF, byte 9 + k length k + 2 (2..7); byte 15 the last
// start's length. Indexed by the piece's starts and, as bit 8, a start at the
// next piece's first value (then a last start at value 7 is a run of one).
// Tokens take at most 12 bytes (four runs of two); byte 15 of each control
// holds how many, for the caller (its output byte lies past the tokens).
struct PieceEscapedControls {
    alignas(16) uint8_t control[512][16];
};

constexpr PieceEscapedControls make_piece_escaped_controls()
{
    PieceEscapedControls t{};
    for (int key = 0; key < 512; ++key) {
        int out = 0;
        for (int i = 0; i < 8; ++i) {
            if (((key >> i) & 1) == 0) {
                continue;
            }
            const int later = key >> (i + 1);  // bit 0: value i + 1, up to the next piece's first
            const bool last = (later & (0x7F >> i)) == 0;
            const int length = later == 0 ? 0 : 1 + std::countr_zero(static_cast<unsigned>(later));
            if (length == 1) {
                t.control[key][out++] = static_cast<uint8_t>(i);
                continue;
            }
            t.control[key][out++] = kPieceConstants;
            t.control[key][out++] = static_cast<uint8_t>(last ? kPieceLength : kPieceConstants + length - 1);
            t.control[key][out++] = static_cast<uint8_t>(i);
        }
        for (int k = out; k < 15; ++k) {
            t.control[key][k] = 0x80;
        }
        t.control[key][15] = static_cast<uint8_t>(out);
    }
    return t;
}

inline constexpr PieceEscapedControls kPieceEscapedControls = make_piece_escaped_controls();

// Byte p (p < 8): the length of the run begun by piece p's last start, to the
// first start of a later piece, less `bias`. Meaningless where the piece has
// no start or its last start is the window's last.
[[gnu::always_inline]] inline __m128i last_run_lengths(uint64_t starts, uint8_t bias)
{
    const __m128i pieces = _mm_cvtsi64_si128(static_cast<int64_t>(starts));
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i low = _mm_and_si128(pieces, nibble);
    const __m128i high = _mm_and_si128(_mm_srli_epi16(pieces, 4), nibble);
    // The lowest and the highest start of each piece (127 and 0 for none).
    constexpr char kNone = 127;
    const __m128i lowest_low = _mm_setr_epi8(kNone, 0, 1, 0, 2, 0, 1, 0, 3, 0, 1, 0, 2, 0, 1, 0);
    const __m128i lowest_high = _mm_setr_epi8(kNone, 4, 5, 4, 6, 4, 5, 4, 7, 4, 5, 4, 6, 4, 5, 4);
    const __m128i highest_low = _mm_setr_epi8(0, 0, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    const __m128i highest_high = _mm_setr_epi8(0, 4, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7, 7, 7, 7, 7);
    const __m128i lowest = _mm_min_epu8(_mm_shuffle_epi8(lowest_low, low), _mm_shuffle_epi8(lowest_high, high));
    const __m128i highest = _mm_max_epu8(_mm_shuffle_epi8(highest_low, low), _mm_shuffle_epi8(highest_high, high));
    const __m128i piece_base = _mm_setr_epi8(0, 8, 16, 24, 32, 40, 48, 56, 64, 72, 80, 88, 96, 104, 112, 120);
    // The first start of each piece, then of the pieces after each (the
    // least over them; 127 or more for none).
    const __m128i first = _mm_add_epi8(lowest, piece_base);
    const __m128i none = _mm_set1_epi8(kNone);
    __m128i next = _mm_alignr_epi8(none, first, 1);
    next = _mm_min_epu8(next, _mm_alignr_epi8(none, next, 1));
    next = _mm_min_epu8(next, _mm_alignr_epi8(none, next, 2));
    next = _mm_min_epu8(next, _mm_alignr_epi8(none, next, 4));
    const __m128i last = _mm_add_epi8(highest, _mm_add_epi8(piece_base, _mm_set1_epi8(static_cast<char>(bias))));
    return _mm_sub_epi8(next, last);
}

// The shuffle sources of a window's eight pieces (see the top of the file),
// from its levels `lo` (values 0-31) and `hi`, the run lengths of
// last_run_lengths and the seven constant bytes in bytes 8-14 of `constants`.
struct PieceSources {
    __m128i piece[8];
};

[[gnu::always_inline]] inline PieceSources piece_sources(__m256i lo, __m256i hi, __m128i lengths, __m128i constants)
{
    // Bytes 0-7 the lengths, 8-14 the constants.
    const __m128i bytes = _mm_blend_epi32(lengths, constants, 0x0C);
    const __m256i both = _mm256_broadcastsi128_si256(bytes);
    // Quadword q: the constants, then piece q's length (pieces 4q.. for hi).
    const __m256i lo_tails =
        _mm256_shuffle_epi8(both, _mm256_setr_epi8(8, 9, 10, 11, 12, 13, 14, 0, 8, 9, 10, 11, 12, 13, 14, 1,  //
                                                   8, 9, 10, 11, 12, 13, 14, 2, 8, 9, 10, 11, 12, 13, 14, 3));
    const __m256i hi_tails =
        _mm256_shuffle_epi8(both, _mm256_setr_epi8(8, 9, 10, 11, 12, 13, 14, 4, 8, 9, 10, 11, 12, 13, 14, 5,  //
                                                   8, 9, 10, 11, 12, 13, 14, 6, 8, 9, 10, 11, 12, 13, 14, 7));
    // Pieces 0 and 2, 1 and 3, 4 and 6, 5 and 7.
    const __m256i even_lo = _mm256_unpacklo_epi64(lo, lo_tails);
    const __m256i odd_lo = _mm256_unpackhi_epi64(lo, lo_tails);
    const __m256i even_hi = _mm256_unpacklo_epi64(hi, hi_tails);
    const __m256i odd_hi = _mm256_unpackhi_epi64(hi, hi_tails);
    return {{_mm256_castsi256_si128(even_lo), _mm256_castsi256_si128(odd_lo), _mm256_extracti128_si256(even_lo, 1),
             _mm256_extracti128_si256(odd_lo, 1), _mm256_castsi256_si128(even_hi), _mm256_castsi256_si128(odd_hi),
             _mm256_extracti128_si256(even_hi, 1), _mm256_extracti128_si256(odd_hi, 1)}};
}

// The control row for `key`, of a table of 16-byte rows.
[[gnu::always_inline]] inline __m128i control_row(const uint8_t (*rows)[16], uint64_t key)
{
    return _mm_load_si128(reinterpret_cast<const __m128i*>(rows[key]));
}

// Writes at `out` the pair tokens of the runs from each start of `starts`
// (at least one) to the next, the levels `lo` and `hi` (each run shorter than
// a window, so no cut among them), and returns the position of the last
// start's token. Stores 128 bytes at most.
[[gnu::always_inline]] inline uint8_t* piece_table_pair_runs(uint8_t* out, __m256i lo, __m256i hi, uint64_t starts)
{
    const __m128i counts = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 0);
    const PieceSources sources = piece_sources(lo, hi, last_run_lengths(starts, 1), counts);
    uint8_t* at = out;
#pragma GCC unroll 8
    for (int p = 0; p < 8; ++p) {
        const uint64_t piece = (starts >> (8 * p)) & 0xFF;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at),
                         _mm_shuffle_epi8(sources.piece[p], control_row(kPiecePairControls.control, piece)));
        at += 2 * std::ptrdiff_t{std::popcount(piece)};
    }
    return at - 2;
}

// The same for escaped tokens, where no run of one has level 255 (FF FF):
// a run of one is its level, a longer one FF length level. Stores 100 bytes
// at most.
[[gnu::always_inline]] inline uint8_t* piece_table_escaped_runs(uint8_t* out, __m256i lo, __m256i hi, uint64_t starts)
{
    const __m128i constants = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, -1, 2, 3, 4, 5, 6, 7, 0);
    const PieceSources sources = piece_sources(lo, hi, last_run_lengths(starts, 0), constants);
    uint8_t* at = out;
#pragma GCC unroll 8
    for (int p = 0; p < 8; ++p) {
        const uint64_t key = (starts >> (8 * p)) & 0x1FF;
        const __m128i control = control_row(kPieceEscapedControls.control, key);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_shuffle_epi8(sources.piece[p], control));
        at += kPieceEscapedControls.control[key][15];
    }
    // The last start's run stays open: its token is not kept.
    const uint64_t closed = starts ^ std::bit_floor(starts);
    const uint64_t longer = closed & ~(starts >> 1);
    return out + std::popcount(closed) + 2 * std::ptrdiff_t{std::popcount(longer)};
}

// The same where some runs of one are lone 255s (the bits of `lone`, each
// written FF FF), by the controls of lone_escape_controls.hpp, a row found by
// a bit extract (pext): only where the CPU's is fast. Stores 128 bytes at
// most. Called, not inlined: inlined, it cost the window loop's other
// windows (encode2 sensor_fine and speech 7% slower).
[[gnu::noinline]] inline uint8_t* piece_table_lone_escaped_runs(uint8_t* out, __m256i lo, __m256i hi, uint64_t starts,
                                                                uint64_t lone)
{
    const __m128i constants = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, -1, 2, 3, 4, 5, 6, 7, 0);
    const PieceSources sources = piece_sources(lo, hi, last_run_lengths(starts, 0), constants);
    const uint64_t singles = starts & (starts >> 1);
    const auto& t = kLoneEscapeControls;
    uint8_t* at = out;
#pragma GCC unroll 8
    for (int p = 0; p < 8; ++p) {
        const uint64_t key = (starts >> (8 * p)) & 0x1FF;
        const uint64_t row = t.first[key] + _pext_u64(lone >> (8 * p), (singles >> (8 * p)) & 0xFF);
        const __m128i control = _mm_load_si128(reinterpret_cast<const __m128i*>(t.control[row]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(at), _mm_shuffle_epi8(sources.piece[p], control));
        at += t.length[row];
    }
    const uint64_t closed = starts ^ std::bit_floor(starts);
    const uint64_t longer = closed & ~(starts >> 1);
    return out + std::popcount(closed) + 2 * std::ptrdiff_t{std::popcount(longer)} + std::popcount(lone);
}

// The table writers as a path's hooks (see vector_coders.hpp). Windows with
// lone 255s (FF FF) take the escaped one's larger table where the CPU's pext
// is fast (Primitives::kFastBitExtract: every CPU with AVX-512, and the
// avx2pext row), else the escaped_runs hook of `Primitives` (a slot writer):
// AMD CPUs before Zen 3 run the avx2 row, and their pext is microcoded, tens
// of cycles. On a
// Zen 5 the table takes heavy_255 encode2 from 552 to 482 ns; a pext by two
// four-bit lookups instead made it 590. `Primitives` gives a window's two
// 256-bit halves by `halves`.
template <class Primitives>
struct WithPieceTables : Primitives {
    using Window = typename Primitives::Window;

    [[gnu::always_inline]] static uint8_t* pair_runs(uint8_t* out, Window window, uint64_t starts)
    {
        const auto [lo, hi] = Primitives::halves(window);
        return piece_table_pair_runs(out, lo, hi, starts);
    }

    [[gnu::always_inline]] static uint8_t* escaped_runs(uint8_t* out, Window window, uint64_t starts)
    {
        const uint64_t escaped_singles = starts & (starts >> 1) & Primitives::equal(window, format::kEscape);
        if (escaped_singles != 0) {
            if constexpr (Primitives::kFastBitExtract) {
                const auto [lo, hi] = Primitives::halves(window);
                return piece_table_lone_escaped_runs(out, lo, hi, starts, escaped_singles);
            } else {
                return Primitives::escaped_runs(out, window, starts);
            }
        }
        const auto [lo, hi] = Primitives::halves(window);
        return piece_table_escaped_runs(out, lo, hi, starts);
    }
};

#endif  // COMM_AVX2_TOKEN_TABLES_HPP
