// The escaped stream's window code on 256-bit registers: windows of many
// short run tokens four bytes at a time, by 128-bit shuffles with controls
// looked up by how many values each byte stands for; other windows a token at
// a time, each token found from the escapes' mask. Shared by the AVX2 path and
// the AVX-512 path without VBMI2 (on which a 64-lane expand is not at hand).
// Include it only inside a path's target region, in an unnamed namespace,
// after vector_coders.hpp and escaped_tokens.hpp: each path then compiles its
// own copy for its own instruction set. It includes nothing.
#ifndef COMM_ESCAPED_WINDOWS_HPP
#define COMM_ESCAPED_WINDOWS_HPP

// In a window whose escapes all start run tokens, each byte stands for up to
// three copies of a level: a literal for one of itself; a run token FF c v of
// up to 9 values for min(c, 3), min(c - 3, 3) and the c - 6 left (if any)
// copies of v, one count a byte. For four such counts c0..c3, the key
// c0 | c1 << 2 | c2 << 4 | c3 << 6 gives the byte (0..3) each of 16 output
// lanes copies; the lanes past the four bytes' values are left to the next
// store.
inline constexpr int kMostPerByte = 3;

struct ByteCountLayouts {
    // One table for each place of the four bytes in a 16-byte chunk, its
    // lanes moved there, so that a step's shuffle control is a load alone.
    alignas(16) uint8_t lanes[4][256][16];
};

constexpr ByteCountLayouts make_byte_count_layouts()
{
    ByteCountLayouts t{};
    for (int place = 0; place < 4; ++place) {
        for (int key = 0; key < 256; ++key) {
            int lane = 0;
            for (int b = 0; b < 4; ++b) {
                for (int copy = 0; copy < ((key >> (2 * b)) & kMostPerByte); ++copy) {
                    t.lanes[place][key][lane++] = static_cast<uint8_t>(4 * place + b);
                }
            }
        }
    }
    return t;
}

inline constexpr ByteCountLayouts kByteCountLayouts = make_byte_count_layouts();

// The lanes of `later` moved up by `by`, the top `by` lanes of `earlier`
// moved in below them.
template <int by>
[[gnu::always_inline]] inline __m256i lanes_up(__m256i later, __m256i earlier)
{
    return _mm256_alignr_epi8(later, _mm256_permute2x128_si256(earlier, later, 0x21), 16 - by);
}

// Half a window as the level each byte copies and its count.
struct CountedHalf {
    __m256i levels;
    __m256i counts;
};

// The 32 bytes at `at` (the 32 before them `earlier`, any bytes for a
// window's first half), with 0xFF at the first bytes of their run tokens
// (`runs`; `earlier_runs` for the half before, zeros for the first) and at
// the bytes they keep outside the tokens (`literals`).
[[gnu::always_inline]] inline CountedHalf counted_half(const uint8_t* at, __m256i earlier, __m256i runs,
                                                       __m256i earlier_runs, __m256i literals)
{
    const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 1));
    const __m256i after_next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 2));
    const __m256i second = lanes_up<1>(runs, earlier_runs);  // the length bytes
    const __m256i third = lanes_up<2>(runs, earlier_runs);   // the level bytes
    const __m256i most = _mm256_set1_epi8(kMostPerByte);
    const __m256i rest = _mm256_subs_epu8(lanes_up<1>(here, earlier), _mm256_set1_epi8(2 * kMostPerByte));
    __m256i counts = _mm256_and_si256(literals, _mm256_set1_epi8(1));
    counts = _mm256_or_si256(counts, _mm256_and_si256(runs, _mm256_min_epu8(next, most)));
    counts = _mm256_or_si256(counts, _mm256_and_si256(second, _mm256_min_epu8(_mm256_subs_epu8(here, most), most)));
    counts = _mm256_or_si256(counts, _mm256_and_si256(third, rest));
    const __m256i levels = _mm256_blendv_epi8(_mm256_blendv_epi8(here, after_next, runs), next, second);
    return {levels, counts};
}

// The bytes of `kept` outside the run tokens that start at `runs`.
[[gnu::always_inline]] inline __m256i literals_among_runs(__m256i runs, __m256i earlier_runs, __m256i kept)
{
    const __m256i token_bytes =
        _mm256_or_si256(runs, _mm256_or_si256(lanes_up<1>(runs, earlier_runs), lanes_up<2>(runs, earlier_runs)));
    return _mm256_andnot_si256(token_bytes, kept);
}

// Inclusive running sums of 8 32-bit lanes.
[[gnu::always_inline]] inline __m256i running_sums(__m256i x)
{
    x = _mm256_add_epi32(x, _mm256_slli_si256(x, 4));
    x = _mm256_add_epi32(x, _mm256_slli_si256(x, 8));
    const __m256i low_total = _mm256_shuffle_epi32(x, 0xFF);
    return _mm256_add_epi32(x, _mm256_permute2x128_si256(low_total, low_total, 0x08));
}

// For each four of 32 counts c0..c3, the offset of their table row, key * 16
// = 16 c0 + 64 c1 + 256 c2 + 1024 c3, by the weights of the two multiplies.
[[gnu::always_inline]] inline __m256i group_rows(__m256i counts)
{
    return _mm256_madd_epi16(_mm256_maddubs_epi16(counts, _mm256_set1_epi16(0x4010)), _mm256_set1_epi32(0x00100001));
}

// For each four of 32 counts, whose sums are `totals` and whose running sums
// end at `ends`: the offset of their table row (key * 16) in the low 16 bits,
// and of their first value in the output in the high 16.
[[gnu::always_inline]] inline __m256i group_steps(__m256i counts, __m256i ends, __m256i totals)
{
    return _mm256_or_si256(group_rows(counts), _mm256_slli_epi32(_mm256_sub_epi32(ends, totals), 16));
}

// For each four of 32 counts: the offset of their table row (key * 16) in
// the low 16 bits, and how many values they stand for in the high 16.
[[gnu::always_inline]] inline __m256i group_rows_and_totals(__m256i counts, __m256i totals)
{
    return _mm256_or_si256(group_rows(counts), _mm256_slli_epi32(totals, 16));
}

// Expands a window's two counted halves at `out`: four bytes a step, one
// table lookup and one 16-byte store each. Each step's place comes either
// from a running sum of the counts in the vector registers, so that no step
// waits for the one before, or (kPlacesByAdds) from the step before plus its
// count, an add in a general register, fewer instructions and an earlier
// first store. Returns the values stored (at most 192; the stores reach 16
// bytes past them).
template <bool kPlacesByAdds>
[[gnu::always_inline]] inline int32_t expand_counted_halves(const CountedHalf& lo, const CountedHalf& hi, uint8_t* out)
{
    const __m256i ones = _mm256_set1_epi8(1);
    const __m256i pair_sums = _mm256_set1_epi16(1);
    const __m256i totals_lo = _mm256_madd_epi16(_mm256_maddubs_epi16(lo.counts, ones), pair_sums);
    const __m256i totals_hi = _mm256_madd_epi16(_mm256_maddubs_epi16(hi.counts, ones), pair_sums);
    __m256i steps[2];
    __m256i ends_hi = totals_hi;
    if constexpr (kPlacesByAdds) {
        steps[0] = group_rows_and_totals(lo.counts, totals_lo);
        steps[1] = group_rows_and_totals(hi.counts, totals_hi);
    } else {
        const __m256i ends_lo = running_sums(totals_lo);
        ends_hi = _mm256_add_epi32(running_sums(totals_hi), _mm256_permutevar8x32_epi32(ends_lo, _mm256_set1_epi32(7)));
        steps[0] = group_steps(lo.counts, ends_lo, totals_lo);
        steps[1] = group_steps(hi.counts, ends_hi, totals_hi);
    }
    const __m256i levels[2] = {lo.levels, hi.levels};
    const auto* rows = reinterpret_cast<const uint8_t*>(kByteCountLayouts.lanes);
    constexpr auto kPlaceBytes = static_cast<std::ptrdiff_t>(sizeof kByteCountLayouts.lanes[0]);
    // kPlacesByAdds: a pointer bumped from the window's start (no window
    // waits for the one before), one register, so that a step's store
    // address is one add.
    uint8_t* bumped = out;
#pragma GCC unroll 4
    for (int q = 0; q < 4; ++q) {
        const __m128i chunk =
            q % 2 == 0 ? _mm256_castsi256_si128(levels[q / 2]) : _mm256_extracti128_si256(levels[q / 2], 1);
        const __m128i chunk_steps =
            q % 2 == 0 ? _mm256_castsi256_si128(steps[q / 2]) : _mm256_extracti128_si256(steps[q / 2], 1);
        const auto low = static_cast<uint64_t>(_mm_cvtsi128_si64(chunk_steps));
        const auto high = static_cast<uint64_t>(_mm_extract_epi64(chunk_steps, 1));
        // Each step's two fields are whole 16-bit halves: the row's a zero
        // extension, the other a shift alone, so a step costs few scalar
        // instructions besides its load, shuffle and store.
        const uint64_t halves[2] = {low, high};
#pragma GCC unroll 4
        for (int g = 0; g < 4; ++g) {
            const uint64_t two = halves[g / 2];
            const uint32_t row = g % 2 == 0 ? static_cast<uint16_t>(two) : static_cast<uint16_t>(two >> 32);
            const uint64_t field = g % 2 == 0 ? static_cast<uint32_t>(two) >> 16 : two >> 48;
            const __m128i lanes = _mm_load_si128(reinterpret_cast<const __m128i*>(rows + kPlaceBytes * g + row));
            uint8_t* const to = kPlacesByAdds ? bumped : out + field;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_shuffle_epi8(chunk, lanes));
            if constexpr (kPlacesByAdds) {
                bumped += field;
            }
        }
    }
    return kPlacesByAdds ? static_cast<int32_t>(bumped - out) : _mm256_extract_epi32(ends_hi, 7);
}

// Expands the window at `bytes` (128 bytes readable, the first 64 of them
// `first_32` and `second_32`), whose run tokens start at the bytes of
// `runs_lo`/`runs_hi` and end by the bytes `kept_lo`/`kept_hi` mark, at
// `out`, as expand_counted_halves does. Bytes outside `kept` and the run
// tokens stand for no values. Returns -1 and stores nothing where a run token
// holds more than 9 values.
template <bool kPlacesByAdds = false>
[[gnu::always_inline]] inline int32_t expand_tokens_by_groups(const uint8_t* bytes, __m256i first_32, __m256i runs_lo,
                                                              __m256i runs_hi, __m256i kept_lo, __m256i kept_hi,
                                                              uint8_t* out)
{
    const __m256i longest = _mm256_set1_epi8(3 * kMostPerByte);
    const __m256i too_long = _mm256_or_si256(
        _mm256_and_si256(runs_lo,
                         _mm256_subs_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 1)), longest)),
        _mm256_and_si256(runs_hi,
                         _mm256_subs_epu8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 33)), longest)));
    if (_mm256_testz_si256(too_long, too_long) == 0) {
        return -1;
    }
    const __m256i zero = _mm256_setzero_si256();
    const CountedHalf lo = counted_half(bytes, zero, runs_lo, zero, literals_among_runs(runs_lo, zero, kept_lo));
    const CountedHalf hi =
        counted_half(bytes + 32, first_32, runs_hi, runs_lo, literals_among_runs(runs_hi, runs_lo, kept_hi));
    return expand_counted_halves<kPlacesByAdds>(lo, hi, out);
}

// Lanes i < `end` of 32 set (`end` may be below 0 or above 32).
[[gnu::always_inline]] inline __m256i bytes_below(int32_t end)
{
    const __m256i place = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                           22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    return _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(end)), place);
}

// Expands the first `end` bytes of the window at `bytes` (128 bytes
// readable), whose every escape is the first byte of a run token that ends
// by `end`, at `out`, as expand_tokens_by_groups does. The run tokens are
// found by a compare, with no parse of the escapes.
[[gnu::always_inline]] inline int32_t expand_run_tokens_by_groups(const uint8_t* bytes, int32_t end, uint8_t* out)
{
    const __m256i escape = _mm256_set1_epi8(static_cast<char>(0xFF));
    const __m256i kept_lo = bytes_below(end);
    const __m256i kept_hi = bytes_below(end - 32);
    const __m256i first_32 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
    const __m256i second_32 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 32));
    const __m256i runs_lo = _mm256_and_si256(_mm256_cmpeq_epi8(first_32, escape), kept_lo);
    const __m256i runs_hi = _mm256_and_si256(_mm256_cmpeq_epi8(second_32, escape), kept_hi);
    return expand_tokens_by_groups(bytes, first_32, runs_lo, runs_hi, kept_lo, kept_hi, out);
}

// 0xFF in byte i where bit i of the 32 bits is set.
[[gnu::always_inline]] inline __m256i bytes_of_bits(uint32_t bits)
{
    const __m256i select = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1,  //
                                            2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    const __m256i bit = _mm256_set1_epi64x(static_cast<int64_t>(0x8040201008040201U));
    const __m256i spread = _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(bits)), select);
    return _mm256_cmpeq_epi8(_mm256_and_si256(spread, bit), bit);
}

// Expands the first `end` bytes of the window at `bytes` (128 bytes
// readable), whose run tokens start at the bits of `runs` and whose lone 255s
// (FF FF) end at the bits of `lone_ends`, all whole by `end`, at `out`, as
// expand_tokens_by_groups does: a lone 255's first byte is a literal 255, its
// second stands for no value.
template <bool kPlacesByAdds>
[[gnu::always_inline]] inline int32_t expand_parsed_tokens_by_groups(const uint8_t* bytes, int32_t end, uint64_t runs,
                                                                     uint64_t lone_ends, uint8_t* out)
{
    const __m256i first_32 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
    const __m256i kept_lo = _mm256_andnot_si256(bytes_of_bits(static_cast<uint32_t>(lone_ends)), bytes_below(end));
    const __m256i kept_hi =
        _mm256_andnot_si256(bytes_of_bits(static_cast<uint32_t>(lone_ends >> 32)), bytes_below(end - 32));
    const __m256i runs_lo = bytes_of_bits(static_cast<uint32_t>(runs));
    const __m256i runs_hi = bytes_of_bits(static_cast<uint32_t>(runs >> 32));
    return expand_tokens_by_groups<kPlacesByAdds>(bytes, first_32, runs_lo, runs_hi, kept_lo, kept_hi, out);
}

// Expands the window of 64 stream bytes at `bytes` (128 readable), whose
// escapes are `escapes`, by expand_run_tokens_by_groups where it is one for
// it: at least kGroupRuns escapes, each the first byte of a run token of at
// most 9 values (no lone 255s, no runs of 255: signals that change often, as
// sensors and sound), where it beats a token at a time. A run token at byte
// 62 or 63 is left to the next window. Returns what it consumed and the
// levels staged after, or 0 consumed and nothing stored for any other window.
inline constexpr int kGroupRuns = 9;

// Windows with lone 255s or runs of 255 need the escapes' parse first, and
// a lone 255's second byte then stands for no value; with this many tokens
// or more the parse and the groups still beat a token at a time.
inline constexpr int kGroupTokens = 4;

[[gnu::always_inline]] inline COMM_VECTOR_TARGET::Expanded expand_run_token_window(const uint8_t* bytes,
                                                                                   uint64_t escapes, uint8_t* staging,
                                                                                   int32_t staged)
{
    constexpr int32_t kWindow = COMM_VECTOR_TARGET::kWindow;
    if (std::popcount(escapes) < kGroupRuns || (escapes & ((escapes >> 1) | (escapes >> 2))) != 0) {
        return {0, staged};
    }
    const int32_t last = kWindow - 1 - std::countl_zero(escapes);
    const int32_t end = last + 3 <= kWindow ? kWindow : last;
    const int32_t values = expand_run_tokens_by_groups(bytes, end, staging + staged);
    return values < 0 ? COMM_VECTOR_TARGET::Expanded{0, staged} : COMM_VECTOR_TARGET::Expanded{end, staged + values};
}

// A path's primitives with this window code as the escaped stream's
// expansion (with the path's own fills of long runs): the groups above first,
// then a token at a time. A path whose own window
// code (vector_coders.hpp's) is faster on windows of few escapes names how
// many in Primitives::kFewEscapes.
template <class Primitives>
struct WithEscapedWindows : Primitives {
    using Expanded = COMM_VECTOR_TARGET::Expanded;
    static constexpr int32_t kWindow = COMM_VECTOR_TARGET::kWindow;
    // Where the primitives name kParsedPlacesByAdds, windows after the
    // parse place their groups by adds (see expand_counted_halves).
    static constexpr bool kParsedPlacesByAdds = requires { Primitives::kParsedPlacesByAdds; };

    [[gnu::always_inline]] static __m256i load_32(const uint8_t* p)
    {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }

    [[gnu::always_inline]] static void store_32(uint8_t* p, __m256i v)
    {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
    }

    // A window moved and searched as two 256-bit halves, also on a path of
    // 512-bit registers: on Intel, 512-bit work in flight closes a port to
    // the 256-bit work of the code below.
    [[gnu::always_inline]] static void copy_64(uint8_t* to, const uint8_t* from)
    {
        store_32(to, load_32(from));
        store_32(to + 32, load_32(from + 32));
    }

    [[gnu::always_inline]] static uint64_t escapes_64(const uint8_t* p)
    {
        const __m256i escape = _mm256_set1_epi8(static_cast<char>(COMM_VECTOR_TARGET::kEscape));
        const auto half = [&](const uint8_t* q) {
            return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(load_32(q), escape)));
        };
        return half(p) | (uint64_t{half(p + 32)} << 32);
    }

    [[gnu::always_inline]] static void fill_16(uint8_t* p, uint8_t v)
    {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_set1_epi8(static_cast<char>(v)));
    }

    // Expands the tokens that start at the bits of `token_escapes` (run
    // tokens where `runs` has them, else lone 255s), and the literals between
    // them, up to `end`, where the last token ends at or before it. Where each
    // token starts is known from the masks, not from the token before, so
    // consecutive tokens are expanded independently.
    [[gnu::always_inline]] static Expanded expand_tokens_among_literals(const uint8_t* bytes, int32_t end,
                                                                        uint64_t token_escapes, uint64_t runs,
                                                                        uint8_t* staging, int32_t staged)
    {
        int32_t p = 0;  // the first byte not yet expanded
        while (token_escapes != 0) {
            const int32_t e = std::countr_zero(token_escapes);
            token_escapes &= token_escapes - 1;
            store_32(staging + staged, load_32(bytes + p));
            if (e - p > 32) {
                store_32(staging + staged + 32, load_32(bytes + p + 32));
            }
            staged += e - p;
            const bool run = ((runs >> e) & 1) != 0;
            const int32_t length = run ? bytes[e + 1] : 1;
            const uint8_t level = run ? bytes[e + 2] : COMM_VECTOR_TARGET::kEscape;
            if (length <= 16) {
                fill_16(staging + staged, level);
            } else {
                COMM_VECTOR_TARGET::fill_run<Primitives>(staging + staged, level, length);
            }
            staged += length;
            p = e + (run ? 3 : 2);
            if (staged >= DECODE_MAX_VALUES) {
                return {p, staged};
            }
        }
        copy_64(staging + staged, bytes + p);
        return {end, staged + end - p};
    }

    // Where a parsed window's whole tokens end: a run token at byte 62 or 63
    // ends in the next window, and is left to it.
    [[gnu::always_inline]] static int32_t parsed_end(const EscapedTokens& parse)
    {
        const uint64_t cut = parse.runs & (uint64_t{3} << (kWindow - 2));
        return cut == 0 ? kWindow : std::countr_zero(cut);
    }

    // Expands the tokens of the window at `bytes` (lone 255s and runs of 255
    // among them; its escapes `escapes`, parsed as `parse`) up to `end`: by
    // the groups where there are enough of them, else a token at a time.
    [[gnu::always_inline]] static Expanded expand_parsed(const uint8_t* bytes, int32_t end, uint64_t escapes,
                                                         const EscapedTokens& parse, uint8_t* staging, int32_t staged)
    {
        const uint64_t tokens = parse.starts & escapes & COMM_VECTOR_TARGET::mask_below(end);
        if (std::popcount(tokens) >= kGroupTokens) {
            const uint64_t runs = parse.runs & tokens;
            const int32_t values = expand_parsed_tokens_by_groups<kParsedPlacesByAdds>(
                bytes, end, runs, (tokens & ~runs) << 1, staging + staged);
            if (values >= 0) {
                return {end, staged + values};
            }
        }
        return expand_tokens_among_literals(bytes, end, tokens, parse.runs, staging, staged);
    }

    // Expands the escaped stream's window of 64 bytes at `bytes` (the first
    // `remaining` are the stream's; 128 bytes are readable) after the
    // `staged` levels, as every path does, but with stores sized to what they
    // keep: a stretch of literals under 32 bytes is one 32-byte store, a run
    // of up to 16 values one 16-byte fill, and a token's kind is picked
    // without a branch. What it consumes may end inside the next window; -1
    // if the stream ends inside a token. Stops early at the capacity.
    [[gnu::always_inline]] static Expanded expand_escaped_window(const uint8_t* bytes, int32_t remaining,
                                                                 uint8_t* staging, int32_t staged)
    {
        constexpr uint8_t kEscape = COMM_VECTOR_TARGET::kEscape;
        const int32_t limit = std::min(remaining, kWindow);
        uint64_t escapes = escapes_64(bytes) & COMM_VECTOR_TARGET::mask_below(limit);
        if (escapes == 0) {
            copy_64(staging + staged, bytes);
            return {limit, staged + limit};
        }
        if constexpr (requires { Primitives::kFewEscapes; }) {
            if (std::popcount(escapes) <= Primitives::kFewEscapes) {
                return COMM_VECTOR_TARGET::expand_escaped_window<Primitives>(bytes, remaining, staging, staged);
            }
        }

        const int32_t last = kWindow - 1 - std::countl_zero(escapes);
        if ((escapes & ((escapes >> 1) | (escapes >> 2))) == 0) {  // each escape a run token
            if (limit == kWindow) {
                const Expanded grouped = expand_run_token_window(bytes, escapes, staging, staged);
                if (grouped.consumed > 0) {
                    return grouped;
                }
            }
            if (last + 3 <= limit) {
                return expand_tokens_among_literals(bytes, limit, escapes, escapes, staging, staged);
            }
        } else if (limit == kWindow) {
            const EscapedTokens parse = escaped_tokens(escapes);
            return expand_parsed(bytes, parsed_end(parse), escapes, parse, staging, staged);
        }
        int32_t p = 0;  // the first byte not yet expanded
        do {
            const int32_t e = std::countr_zero(escapes);
            store_32(staging + staged, load_32(bytes + p));
            if (e - p > 32) {
                store_32(staging + staged + 32, load_32(bytes + p + 32));
            }
            staged += e - p;
            const int32_t left = remaining - e;
            const bool escaped_255 = bytes[e + 1] == kEscape;  // FF FF, else FF length level
            if (left < 3 && (left < 2 || !escaped_255)) {
                return {-1, staged};
            }
            const int32_t length = escaped_255 ? 1 : bytes[e + 1];
            const uint8_t level = escaped_255 ? kEscape : bytes[e + 2];
            if (length <= 16) {
                fill_16(staging + staged, level);
            } else {
                COMM_VECTOR_TARGET::fill_run<Primitives>(staging + staged, level, length);
            }
            staged += length;
            p = e + (escaped_255 ? 2 : 3);
            if (staged >= DECODE_MAX_VALUES) {
                return {p, staged};
            }
            escapes = COMM_VECTOR_TARGET::clear_bits_below(escapes, p);
        } while (escapes != 0);
        if (p < limit) {
            copy_64(staging + staged, bytes + p);
            return {limit, staged + limit - p};
        }
        return {p, staged};
    }

    // Whether a window's escapes take the parse (lone 255s or runs of 255)
    // and expand_escaped_window would take them through it.
    [[gnu::always_inline]] static bool parsed_window(uint64_t escapes)
    {
        if constexpr (requires { Primitives::kFewEscapes; }) {
            if (std::popcount(escapes) <= Primitives::kFewEscapes) {
                return false;
            }
        }
        return (escapes & ((escapes >> 1) | (escapes >> 2))) != 0;
    }

    // A stretch of windows that take the parse, from the one at `p` (whose
    // escapes are `escapes`), as expand_escaped_window expands them, but with
    // each window's parse made before the window ahead of it is expanded: the
    // parse is a chain of some 30 dependent steps at the head of a window's
    // work, which out-of-order execution cannot reach from the window before
    // over the groups' 300 instructions. Stops before a window of another kind,
    // and where fewer than 128 bytes are left after the one it expands.
    [[gnu::always_inline]] static void expand_parsed_windows(const uint8_t* stream, int32_t count, uint64_t escapes,
                                                             int32_t& p, uint8_t* staging, int32_t& staged)
    {
        EscapedTokens parse = escaped_tokens(escapes);
        while (true) {
            const int32_t end = parsed_end(parse);
            const int32_t next = p + end;
            const bool more = count - next >= 2 * kWindow;
            const uint64_t next_escapes = more ? escapes_64(stream + next) : 0;
            const EscapedTokens next_parse = escaped_tokens(next_escapes);
            const Expanded step = expand_parsed(stream + p, end, escapes, parse, staging, staged);
            staged = step.staged;
            p += step.consumed;
            if (!more || staged >= DECODE_MAX_VALUES || !parsed_window(next_escapes)) {
                return;
            }
            escapes = next_escapes;
            parse = next_parse;
        }
    }

    // The escaped stream, a window a step, those without escapes (literals
    // alone) in the loop itself.
    static int32_t expand_escaped(const uint8_t* stream, int32_t count, uint8_t* staging)
    {
        int32_t staged = 0;
        int32_t p = 0;
        while (count - p >= 2 * kWindow && staged < DECODE_MAX_VALUES) {
            const uint64_t escapes = escapes_64(stream + p);
            if (escapes == 0) {
                copy_64(staging + staged, stream + p);
                p += kWindow;
                staged += kWindow;
                continue;
            }
            // A window of one or two lone 255s among literals (uniform
            // levels) is left to expand_escaped_window: there the next
            // window's parse made ahead is for nothing (uniform/1900 decode2
            // avx2 152 -> 146 ns without it).
            if (std::popcount(escapes) >= kGroupTokens && parsed_window(escapes)) {
                expand_parsed_windows(stream, count, escapes, p, staging, staged);
                continue;
            }
            const Expanded step = expand_escaped_window(stream + p, count - p, staging, staged);
            staged = step.staged;
            if (step.consumed < 0) {
                return std::min(staged, DECODE_MAX_VALUES);
            }
            p += step.consumed;
        }
        return COMM_VECTOR_TARGET::expand_last_escaped<WithEscapedWindows>(stream + p, count - p, staging, staged);
    }
};

#endif  // COMM_ESCAPED_WINDOWS_HPP
