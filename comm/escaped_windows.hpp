// The escaped stream's window code on 256-bit registers: windows of many
// short run tokens as a compress of their bytes, eight bytes a step by 128-bit
// shuffles with controls looked up by which bytes stand for a value; other
// windows a token at a time, each token found from the escapes' mask. Shared by the AVX2 path and
// the AVX-512 path without VBMI2 (on which a 64-lane expand is not at hand).
// Include it only inside a path's target region, in an unnamed namespace,
// after vector_coders.hpp and escaped_tokens.hpp: each path then compiles its
// own copy for its own instruction set. It includes nothing.
#ifndef COMM_ESCAPED_WINDOWS_HPP
#define COMM_ESCAPED_WINDOWS_HPP

// In a window whose run tokens hold 2 to 19 values each, each byte stands for
// no value or one, but for the level byte of a run of more than 3: a literal
// for itself; a run token FF c v for one v at each of its three bytes, the
// third kept where c is 3 or more, and the c - 3 left (if any) filled after
// it. The kept bytes are then a compress, eight bytes a step by a shuffle
// looked up by the step's byte of the keep mask, as a stream of control bytes
// is expanded; each level byte with more copies cuts its step there for a
// fill, the step's rest compressed after it.
inline constexpr int kLongestCompressedRun = 19;

struct KeptByteLayouts {
    // The lanes of a step's kept bytes, in order, for the steps at the low
    // and high halves of a 16-byte chunk, and how many they are.
    alignas(64) uint8_t lanes[2][256][8];
    uint8_t kept[256];
    // down + k: the shuffle control that moves 16 bytes down by k (k <= 8).
    uint8_t down[24];
};

constexpr KeptByteLayouts make_kept_byte_layouts()
{
    KeptByteLayouts t{};
    for (int half = 0; half < 2; ++half) {
        for (int mask = 0; mask < 256; ++mask) {
            int lane = 0;
            for (int b = 0; b < 8; ++b) {
                if (((mask >> b) & 1) != 0) {
                    t.lanes[half][mask][lane++] = static_cast<uint8_t>(8 * half + b);
                }
            }
            t.kept[mask] = static_cast<uint8_t>(lane);
        }
    }
    for (int k = 0; k < 24; ++k) {
        t.down[k] = static_cast<uint8_t>(k < 16 ? k : 0x80);
    }
    return t;
}

inline constexpr KeptByteLayouts kKeptByteLayouts = make_kept_byte_layouts();

// The lanes of `later` moved up by `by`, the top `by` lanes of `earlier`
// moved in below them.
template <int by>
[[gnu::always_inline]] inline __m256i lanes_up(__m256i later, __m256i earlier)
{
    return _mm256_alignr_epi8(later, _mm256_permute2x128_si256(earlier, later, 0x21), 16 - by);
}

// Bit i set where byte i of the 64 at `at`, less `less` (modulo 256), is
// `least` or more.
template <int least, int less = 0>
[[gnu::always_inline]] inline uint64_t bytes_at_least(const uint8_t* at)
{
    const __m256i bias = _mm256_set1_epi8(static_cast<char>(0x80 - least));
    const auto half = [&](const uint8_t* q) {
        __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
        if constexpr (less != 0) {
            x = _mm256_sub_epi8(x, _mm256_set1_epi8(static_cast<char>(less)));
        }
        return static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_adds_epu8(x, bias)));
    };
    return half(at) | (uint64_t{half(at + 32)} << 32);
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

// The 32 levels at `at` with each run token's level at its three bytes: its
// first at the 0xFF lanes of `runs`, its count at those of `counts`.
[[gnu::always_inline]] inline __m256i run_levels(const uint8_t* at, __m256i runs, __m256i counts)
{
    const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 1));
    const __m256i after_next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 2));
    return _mm256_blendv_epi8(_mm256_blendv_epi8(here, after_next, runs), next, counts);
}

// The eight steps of compress_window_body: the kept bytes of `keep` from
// `levels_lo`/`levels_hi`, each level byte of `filled` (none unless kFills)
// filled after.
template <bool kFills>
[[gnu::always_inline]] inline int32_t compress_steps(const uint8_t* bytes, __m256i levels_lo, __m256i levels_hi,
                                                     uint64_t keep, uint64_t filled, uint8_t* out)
{
    const auto& t = kKeptByteLayouts;
    uint8_t* at = out;
#pragma GCC unroll 8
    for (int g = 0; g < 8; ++g) {
        const __m256i levels = g < 4 ? levels_lo : levels_hi;
        const __m128i chunk = g % 4 < 2 ? _mm256_castsi256_si128(levels) : _mm256_extracti128_si256(levels, 1);
        // 64-bit indices and masks throughout: the fill loop runs once per
        // long run, so each widening or sign extension in it counts.
        const uint64_t m = keep & 0xFF;
        const auto lanes = [&](uint64_t mask) {
            return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(t.lanes[g % 2][mask]));
        };
        const __m128i step = _mm_shuffle_epi8(chunk, lanes(m));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(at), step);
        for (uint64_t f = kFills ? filled & 0xFF : 0; f != 0; f &= f - 1) {
            const auto b = static_cast<uint64_t>(std::countr_zero(f));
            const uint8_t* const level = bytes + (8 * static_cast<uint64_t>(g) + b);
            const uint64_t before = t.kept[m & ((uint64_t{1} << b) - 1)];
            _mm_storeu_si128(reinterpret_cast<__m128i*>(at + before + 1), _mm_set1_epi8(static_cast<char>(*level)));
            at += level[-1] - 3;
            // The step's bytes after the level byte: the step moved down,
            // by a control at hand once `before` is, not a second lookup.
            const __m128i down = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.down + before + 1));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(at + before + 1), _mm_shuffle_epi8(step, down));
        }
        at += t.kept[m];
        keep >>= 8;
        filled >>= 8;
    }
    return static_cast<int32_t>(at - out);
}

// Expands the window at `bytes` (128 bytes readable), whose run tokens start
// at the bits of `runs` and whose other bytes that stand for a value are
// `singles`, at `out`. kEscapesAreRuns: each escape of the window starts a
// run token (there are no lone 255s or runs of 255), so that a compare
// finds them. Returns the values stored (the stores reach 16 bytes past
// them), or -1 and stores nothing where a run token holds fewer than 2 or
// more than kLongestCompressedRun values.
template <bool kEscapesAreRuns>
[[gnu::always_inline]] inline int32_t compress_window_body(const uint8_t* bytes, uint64_t runs, uint64_t singles,
                                                           uint8_t* out)
{
    // Counts below 2 wrap round to the top.
    const uint64_t out_of_range = bytes_at_least<kLongestCompressedRun - 1, 2>(bytes + 1);
    if ((runs & out_of_range) != 0) {
        return -1;
    }
    const uint64_t three = bytes_at_least<3>(bytes + 1);
    const uint64_t four = bytes_at_least<4>(bytes + 1);
    __m256i runs_lo;
    __m256i runs_hi;
    if constexpr (kEscapesAreRuns) {
        const __m256i escape = _mm256_set1_epi8(static_cast<char>(0xFF));
        runs_lo = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes)), escape);
        runs_hi = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 32)), escape);
    } else {
        runs_lo = bytes_of_bits(static_cast<uint32_t>(runs));
        runs_hi = bytes_of_bits(static_cast<uint32_t>(runs >> 32));
    }
    const __m256i levels_lo = run_levels(bytes, runs_lo, lanes_up<1>(runs_lo, _mm256_setzero_si256()));
    const __m256i levels_hi = run_levels(bytes + 32, runs_hi, lanes_up<1>(runs_hi, runs_lo));
    const uint64_t keep = singles | runs | (runs << 1) | ((runs & three) << 2);
    const uint64_t filled = (runs & four) << 2;  // the level bytes of runs of more than 3
    // A window without long runs (most where runs are short) takes the steps
    // without a test for fills each.
    return filled == 0 ? compress_steps<false>(bytes, levels_lo, levels_hi, keep, 0, out)
                       : compress_steps<true>(bytes, levels_lo, levels_hi, keep, filled, out);
}

// compress_window_body, called, not inlined: inlined, the escaped loop's
// other windows lost registers to it (uniform/1900 decode2 avx512 122 -> 139
// ns).
template <bool kEscapesAreRuns>
[[gnu::noinline]] int32_t compress_window(const uint8_t* bytes, uint64_t runs, uint64_t singles, uint8_t* out)
{
    return compress_window_body<kEscapesAreRuns>(bytes, runs, singles, out);
}

// Expands the first `end` bytes of the window at `bytes` (128 bytes
// readable), whose run tokens start at the bits of `runs` and whose lone 255s
// (FF FF) end at the bits of `lone_ends`, all whole by `end`, at `out`, as
// compress_window does: a lone 255's first byte is a literal 255, its second
// stands for no value.
[[gnu::always_inline]] inline int32_t expand_parsed_tokens_by_compress(const uint8_t* bytes, int32_t end, uint64_t runs,
                                                                       uint64_t lone_ends, uint8_t* out)
{
    const uint64_t singles = COMM_VECTOR_TARGET::mask_below(end) & ~(lone_ends | runs | (runs << 1) | (runs << 2));
    return compress_window<false>(bytes, runs, singles, out);
}

// A window of 64 stream bytes goes to the compress of run tokens
// (WithEscapedWindows::expand_run_token_windows) where it has at least
// kGroupRuns escapes, each the first byte of a run token of at most
// kLongestCompressedRun values (no lone 255s, no runs of 255: signals that
// change often, as sensors and sound): there it beats a token at a time.
inline constexpr int kGroupRuns = 5;

// Windows with lone 255s or runs of 255 need the escapes' parse first, and
// a lone 255's second byte then stands for no value; with this many tokens
// or more the parse and the compress still beat a token at a time.
inline constexpr int kGroupTokens = 4;

// A path's primitives with this window code as the escaped stream's
// expansion (with the path's own fills of long runs): the compress above first,
// then a token at a time. A path whose own window
// code (vector_coders.hpp's) is faster on windows of few escapes names how
// many in Primitives::kFewEscapes.
template <class Primitives>
struct WithEscapedWindows : Primitives {
    using Expanded = COMM_VECTOR_TARGET::Expanded;
    static constexpr int32_t kWindow = COMM_VECTOR_TARGET::kWindow;

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
                COMM_VECTOR_TARGET::fill_run<Primitives>(staging, staged, level, length);
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
    // the compress where there are enough of them, else a token at a time.
    [[gnu::always_inline]] static Expanded expand_parsed(const uint8_t* bytes, int32_t end, uint64_t escapes,
                                                         const EscapedTokens& parse, uint8_t* staging, int32_t staged)
    {
        const uint64_t tokens = parse.starts & escapes & COMM_VECTOR_TARGET::mask_below(end);
        if (std::popcount(tokens) >= kGroupTokens) {
            const uint64_t runs = parse.runs & tokens;
            const int32_t values =
                expand_parsed_tokens_by_compress(bytes, end, runs, (tokens & ~runs) << 1, staging + staged);
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
        if (escapes_followed_closely(escapes) == 0) {  // each escape a run token
            if (limit == kWindow && std::popcount(escapes) >= kGroupRuns) {
                const Expanded grouped = expand_run_token_windows(bytes, remaining, escapes, staging, staged);
                if (grouped.consumed > 0) {
                    return grouped;
                }
            }
            if (last + 3 <= limit) {
                return expand_tokens_among_literals(bytes, limit, escapes, escapes, staging, staged);
            }
            // A token at byte 62 or 63 is left to the next window, rather
            // than taking the loop below, which finds each escape from where
            // the token before ended: a chain of dependent steps a token. A
            // window of run tokens alone (plateaus) ends so whenever its
            // first starts at a multiple of three bytes (plateau/1900 decode2
            // 286 -> 227 ns on avx2, 244 -> 175 on avx512).
            if (limit == kWindow) {
                return expand_tokens_among_literals(bytes, last, escapes & ~(uint64_t{1} << last), escapes, staging,
                                                    staged);
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
                COMM_VECTOR_TARGET::fill_run<Primitives>(staging, staged, level, length);
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
        return escapes_followed_closely(escapes) != 0;
    }

    // A stretch of windows that take the parse, from the one at `p` (whose
    // escapes are `escapes`), as expand_escaped_window expands them, but with
    // each window's parse made before the window ahead of it is expanded: the
    // parse is a chain of some 30 dependent steps at the head of a window's
    // work, which out-of-order execution cannot reach from the window before
    // over the compress's 200 or so instructions. Stops before a window of
    // another kind, and where fewer than 128 bytes are left after the one it
    // expands.
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

    // Whether a whole window of these escapes takes the compress of run
    // tokens (kGroupRuns).
    [[gnu::always_inline]] static bool run_token_window(uint64_t escapes)
    {
        return std::popcount(escapes) >= kGroupRuns && escapes_followed_closely(escapes) == 0;
    }

    // Expands the windows of run tokens (run_token_window) from the one at
    // `stream` (the first `count` bytes are the stream's; 128 readable),
    // whose escapes are `escapes`, each by the compress, in a loop of its
    // own: the compress's constants and registers are set up once a stretch,
    // not once a window (sensor_fine/1900 decode2 avx2 560 -> 520 ns). A run
    // token at byte 62 or 63 is left to the next window. Returns what it
    // consumed and the levels staged after: it stops before a window of
    // another kind, or with a run the compress does not take (0 consumed and
    // nothing stored where that is the first), where fewer than 128 bytes are
    // left, or at the capacity.
    [[gnu::noinline]] static Expanded expand_run_token_windows(const uint8_t* stream, int32_t count, uint64_t escapes,
                                                               uint8_t* staging, int32_t staged)
    {
        int32_t p = 0;
        while (true) {
            const int32_t last = kWindow - 1 - std::countl_zero(escapes);
            const int32_t end = last + 3 <= kWindow ? kWindow : last;
            const uint64_t whole = COMM_VECTOR_TARGET::mask_below(end);
            const uint64_t runs = escapes & whole;
            const int32_t values = compress_window_body<true>(
                stream + p, runs, whole & ~(runs | (runs << 1) | (runs << 2)), staging + staged);
            if (values < 0) {
                return {p, staged};
            }
            p += end;
            staged += values;
            if (count - p < 2 * kWindow || staged >= DECODE_MAX_VALUES) {
                return {p, staged};
            }
            escapes = escapes_64(stream + p);
            if (!run_token_window(escapes)) {
                return {p, staged};
            }
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
