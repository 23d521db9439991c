// The coders on 64-value windows, written once for every vector instruction
// set. Each vector path's file (codec_avx2.cpp, codec_avx512.cpp) includes this
// header inside its target region and instantiates the templates with its own
// `Ops`, a class of static, always-inlined primitives on one window:
//
//   Window                     64 levels in registers
//   load(p), store(p, w)       64 bytes, unaligned
//   equal(a, b), equal(a, v)   bit i set where a[i] == b[i], or a[i] == v
//   fill(p, v)                 64 copies of byte v at p
//   store_pairs(p, w)          128 bytes at p: the pairs (0, w[i])
//   pair_levels(p, counted)    the 64 pairs at p (128 bytes): their levels,
//                              and in `counted` bit i set where pair i's count
//                              byte is not 0
//   quantise(v)                the levels of the 64 floats at v
//   quantise_partial(v, k)     the levels of the k < 64 floats at v, then 0s;
//                              reads no float past v + k
//   level_values(p, out)       out[i] = level_value(p[i]), i < 64
//   level_values_partial(p, out, k)  the same for i < k; writes nothing past
//
// The header includes nothing: its file must include what it uses before the
// target region opens, so that no inline function of a shared header is ever
// compiled for a vector instruction set. Everything here lives in the namespace
// the file names COMM_VECTOR_TARGET (avx2, avx512), so no inline function is
// shared between two paths either: the linker keeps one copy of an inline
// function, and it must never pick another path's.
//
// How the coders work
//
// Encoders quantise a chunk of up to 8192 values into a buffer of levels, then
// code it a window at a time. Bit i of a window's mask `starts` says that
// value i begins a run: it differs from the value before it, or its run has
// reached the longest a token holds. The run still open (its start and level)
// has no token yet; `out` is where that token goes. Each start closes the open
// run, writing its token. A window with a start at every value and, for the
// escaped stream, no level 255 is its own stream: one store. Otherwise each
// stretch of consecutive starts is one store of the window's pairs or bytes
// from that start on, of which the part up to the stretch's last value stays.
//
// Stores may run past the bytes a token needs, up to 128 bytes past `out`: the
// next tokens overwrite them. The stream holds 2n bytes; `out` never passes
// twice the open run's start, so such stores stay inside it while 128 values or
// more remain. The last windows are coded into a buffer on the stack instead
// and copied out.
//
// Decoders expand a stream into a staging area of levels, then convert the
// levels to values with exact stores, so nothing is written to the caller's
// values past the count returned. Expansion reads a 64-token window, stores it
// whole, keeps its literals up to the first token that is not one, and expands
// that token with 64-byte fills, which again may run past it into the staging
// area's slack. Windows are read in place while 64 bytes or pairs remain; the
// rest is copied into a zeroed buffer first, so no byte past `count` is read.
#ifndef COMM_VECTOR_CODERS_HPP
#define COMM_VECTOR_CODERS_HPP

#ifndef COMM_VECTOR_TARGET
#error "include comm/vector_coders.hpp only inside a vector path's target region"
#endif

namespace comm::detail::COMM_VECTOR_TARGET {

inline constexpr int32_t kWindow = 64;
inline constexpr int32_t kChunk = 8192;  // values quantised at a time
inline constexpr uint8_t kEscape = 0xFF;

// Staging area: room for every level a decoder keeps, and the most a window
// step writes past that (a 64-byte store, then a run fill of 256 bytes).
inline constexpr int32_t kStagingBytes = DECODE_MAX_VALUES + 64 + 256 + 64;

// ---- Levels and values ----------------------------------------------------

template <class Ops>
void quantise(const float* values, uint8_t* levels, int32_t n)
{
    int32_t i = 0;
    for (; i + kWindow <= n; i += kWindow) {
        Ops::store(levels + i, Ops::quantise(values + i));
    }
    if (i < n) {
        alignas(64) uint8_t rest[kWindow];
        Ops::store(rest, Ops::quantise_partial(values + i, n - i));
        std::memcpy(levels + i, rest, static_cast<size_t>(n - i));
    }
}

template <class Ops>
void level_values(const uint8_t* levels, float* values, int32_t n)
{
    int32_t i = 0;
    for (; i + kWindow <= n; i += kWindow) {
        Ops::level_values(levels + i, values + i);
    }
    if (i < n) {
        alignas(64) uint8_t rest[kWindow] = {};
        std::memcpy(rest, levels + i, static_cast<size_t>(n - i));
        Ops::level_values_partial(rest, values + i, n - i);
    }
}

// ---- Encoders ---------------------------------------------------------------

// The run whose token is not written yet.
struct OpenRun {
    int32_t start;  // index of its first value in the block
    uint8_t level;
};

// Bit i set for i < valid.
inline uint64_t first_bits(int32_t valid)
{
    return valid >= kWindow ? ~uint64_t{0} : (uint64_t{1} << valid) - 1;
}

// Bits at and above e cleared below: the mask without its bits below e.
inline uint64_t bits_from(uint64_t bits, int32_t e)
{
    return e >= kWindow ? 0 : bits & (~uint64_t{0} << e);
}

// The window's run starts (see the top of the file): values unlike the one
// before, and the value at which the open run reaches MaxRun values if no
// start comes first. The open run holds at most MaxRun values before the
// window, so after it too.
template <class Ops, int32_t MaxRun>
uint64_t run_starts(const uint8_t* levels, int32_t first, int32_t valid, const OpenRun& open)
{
    uint64_t starts = ~Ops::equal(Ops::load(levels), Ops::load(levels - 1)) & first_bits(valid);
    const int32_t cut = open.start + MaxRun - first;  // >= 0
    if (cut < valid && (starts & ((uint64_t{2} << cut) - 1)) == 0) {
        starts |= uint64_t{1} << cut;
    }
    return starts;
}

// Pair stream: each run as (length - 1, level), runs cut at 256 values.
struct PairMethod {
    static constexpr int32_t kMaxRun = 256;

    static uint8_t* close(uint8_t* out, const OpenRun& open, int32_t end)
    {
        out[0] = static_cast<uint8_t>(end - open.start - 1);
        out[1] = open.level;
        return out + 2;
    }

    template <class Ops>
    static uint8_t* window(const uint8_t* levels, int32_t first, int32_t valid, OpenRun& open, uint8_t* out)
    {
        uint64_t starts = run_starts<Ops, kMaxRun>(levels, first, valid, open);
        if (starts == ~uint64_t{0}) {  // 64 runs of one value
            out = close(out, open, first);
            Ops::store_pairs(out, Ops::load(levels));
            open = {first + kWindow - 1, levels[kWindow - 1]};
            return out + 2 * std::ptrdiff_t{kWindow - 1};
        }
        while (starts != 0) {
            const int32_t s = std::countr_zero(starts);
            out = close(out, open, first + s);
            const int32_t e = s + std::countr_one(starts >> s);  // the first value after the stretch
            Ops::store_pairs(out, Ops::load(levels + s));
            out += 2 * static_cast<std::ptrdiff_t>(e - 1 - s);
            open = {first + e - 1, levels[e - 1]};
            starts = bits_from(starts, e);
        }
        return out;
    }
};

// Escaped stream: a run of one is a literal (255 as FF FF), a longer one
// FF length level; runs cut at 254 values.
struct EscapedMethod {
    static constexpr int32_t kMaxRun = 254;

    static uint8_t* close(uint8_t* out, const OpenRun& open, int32_t end)
    {
        const int32_t length = end - open.start;
        if (length == 1) {
            out[0] = open.level;
            out[1] = kEscape;
            return out + (open.level == kEscape ? 2 : 1);
        }
        out[0] = kEscape;
        out[1] = static_cast<uint8_t>(length);
        out[2] = open.level;
        return out + 3;
    }

    template <class Ops>
    static uint8_t* window(const uint8_t* levels, int32_t first, int32_t valid, OpenRun& open, uint8_t* out)
    {
        uint64_t starts = run_starts<Ops, kMaxRun>(levels, first, valid, open);
        const typename Ops::Window window = Ops::load(levels);
        const uint64_t escapes = Ops::equal(window, kEscape) & first_bits(valid);
        if (starts == ~uint64_t{0} && escapes == 0) {  // 64 literals that need no escape
            out = close(out, open, first);
            Ops::store(out, window);
            open = {first + kWindow - 1, levels[kWindow - 1]};
            return out + kWindow - 1;
        }
        while (starts != 0) {
            const int32_t s = std::countr_zero(starts);
            out = close(out, open, first + s);
            // The stretch's runs of one are literals; it ends early after a
            // 255, which then closes as the open run, escaped.
            int32_t e = s + std::countr_one(starts >> s);
            const int32_t escape = std::countr_zero(bits_from(escapes, s));
            e = std::min(e, escape + 1);
            Ops::store(out, Ops::load(levels + s));
            out += e - 1 - s;
            open = {first + e - 1, levels[e - 1]};
            starts = bits_from(starts, e);
        }
        return out;
    }
};

// Both encoders: quantise a chunk, code it window by window.
template <class Ops, class Method>
int32_t encode(const float* values, uint8_t* stream, int32_t n)
{
    if (n <= 0 || n > ENCODE_MAX_VALUES) {
        return 0;
    }
    // levels[-1] is the value before each chunk's first; 128 bytes of padding
    // after a chunk's last window are read by the stretch stores.
    alignas(64) uint8_t buffer[kWindow + kChunk + 2 * kWindow];
    uint8_t* const levels = buffer + kWindow;
    // The last windows: their tokens and the stores past them.
    constexpr int32_t kTailValues = 2 * kWindow;
    alignas(64) uint8_t tail[2 * (kTailValues + kWindow + Method::kMaxRun) + 2 * kWindow];
    uint8_t* tail_goes_to = nullptr;  // where in the stream the tail's bytes belong

    uint8_t* out = stream;
    OpenRun open{0, 0};
    for (int32_t base = 0; base < n; base += kChunk) {
        const int32_t size = std::min(kChunk, n - base);
        const uint8_t before = base == 0 ? 0 : levels[kChunk - 1];  // the previous chunk's last level
        int32_t padded = size & -kWindow;
        for (int32_t i = 0; i < padded; i += kWindow) {
            Ops::store(levels + i, Ops::quantise(values + base + i));
        }
        if (padded < size) {
            Ops::store(levels + padded, Ops::quantise_partial(values + base + padded, size - padded));
            padded += kWindow;
        }
        Ops::fill(levels + padded, 0);
        Ops::fill(levels + padded + kWindow, 0);
        if (base == 0) {
            open.level = levels[0];
            levels[-1] = levels[0];  // the first value continues the open run
        } else {
            levels[-1] = before;
        }
        for (int32_t i = 0; i < size; i += kWindow) {
            if (tail_goes_to == nullptr && n - (base + i) < kTailValues) {
                tail_goes_to = out;
                out = tail;
            }
            out = Method::template window<Ops>(levels + i, base + i, std::min(kWindow, size - i), open, out);
        }
    }
    out = Method::close(out, open, n);
    if (tail_goes_to != nullptr) {
        const auto bytes = static_cast<size_t>(out - tail);
        std::memcpy(tail_goes_to, tail, bytes);
        out = tail_goes_to + bytes;
    }
    return static_cast<int32_t>(out - stream);
}

// ---- Decoders ---------------------------------------------------------------

// Writes `length` copies of `level` at `staged`, in 64-byte stores.
template <class Ops>
void fill_run(uint8_t* staged, uint8_t level, int32_t length)
{
    for (int32_t k = 0; k < length; k += kWindow) {
        Ops::fill(staged + k, level);
    }
}

// One step over the pairs at `pairs` (`remaining` of them, the window of 64
// readable): the pairs of one value up to the first longer one, then that one.
// Returns the pairs consumed.
template <class Ops>
int32_t expand_pairs_step(const uint8_t* pairs, int32_t remaining, uint8_t* staged, int32_t& staged_size)
{
    uint64_t counted = 0;
    Ops::store(staged + staged_size, Ops::pair_levels(pairs, counted));
    const int32_t singles = std::min(std::countr_zero(counted), remaining);
    staged_size += singles;
    if (singles == remaining || singles == kWindow) {
        return singles;
    }
    const uint8_t* pair = pairs + 2 * static_cast<std::ptrdiff_t>(singles);
    fill_run<Ops>(staged + staged_size, pair[1], pair[0] + 1);
    staged_size += pair[0] + 1;
    return singles + 1;
}

template <class Ops>
int32_t expand_pairs(const uint8_t* stream, int32_t count, uint8_t* staged)
{
    const int32_t pairs = count / 2;  // a trailing half pair is ignored
    int32_t staged_size = 0;
    int32_t i = 0;
    while (pairs - i >= kWindow && staged_size < DECODE_MAX_VALUES) {
        i += expand_pairs_step<Ops>(stream + 2 * static_cast<std::ptrdiff_t>(i), pairs - i, staged, staged_size);
    }
    if (i < pairs && staged_size < DECODE_MAX_VALUES) {
        alignas(64) uint8_t rest[4 * kWindow] = {};
        const int32_t left = pairs - i;
        std::memcpy(rest, stream + 2 * static_cast<std::ptrdiff_t>(i), 2 * static_cast<size_t>(left));
        for (int32_t j = 0; j < left && staged_size < DECODE_MAX_VALUES;) {
            j += expand_pairs_step<Ops>(rest + 2 * static_cast<std::ptrdiff_t>(j), left - j, staged, staged_size);
        }
    }
    return std::min(staged_size, DECODE_MAX_VALUES);
}

// One step over the escaped stream at `bytes` (`remaining` of them, the window
// of 64 readable): the literals up to the first escape, then its token.
// Returns the bytes consumed, or -1 if the stream ends inside that token.
template <class Ops>
int32_t expand_escaped_step(const uint8_t* bytes, int32_t remaining, uint8_t* staged, int32_t& staged_size)
{
    const typename Ops::Window window = Ops::load(bytes);
    Ops::store(staged + staged_size, window);
    const int32_t literals = std::min(std::countr_zero(Ops::equal(window, kEscape)), remaining);
    staged_size += literals;
    if (literals == remaining || literals == kWindow) {
        return literals;
    }
    const uint8_t* token = bytes + literals;
    const int32_t left = remaining - literals;
    if (left >= 2 && token[1] == kEscape) {
        staged[staged_size++] = kEscape;
        return literals + 2;
    }
    if (left < 3) {
        return -1;
    }
    fill_run<Ops>(staged + staged_size, token[2], token[1]);
    staged_size += token[1];
    return literals + 3;
}

template <class Ops>
int32_t expand_escaped(const uint8_t* stream, int32_t count, uint8_t* staged)
{
    int32_t staged_size = 0;
    int32_t p = 0;
    while (count - p >= kWindow && staged_size < DECODE_MAX_VALUES) {
        const int32_t step = expand_escaped_step<Ops>(stream + p, count - p, staged, staged_size);
        if (step < 0) {
            return std::min(staged_size, DECODE_MAX_VALUES);
        }
        p += step;
    }
    if (p < count && staged_size < DECODE_MAX_VALUES) {
        alignas(64) uint8_t rest[2 * kWindow] = {};
        const int32_t left = count - p;
        std::memcpy(rest, stream + p, static_cast<size_t>(left));
        for (int32_t j = 0; j < left && staged_size < DECODE_MAX_VALUES;) {
            const int32_t step = expand_escaped_step<Ops>(rest + j, left - j, staged, staged_size);
            if (step < 0) {
                break;
            }
            j += step;
        }
    }
    return std::min(staged_size, DECODE_MAX_VALUES);
}

template <class Ops, int32_t (*Expand)(const uint8_t*, int32_t, uint8_t*)>
int32_t decode(const uint8_t* stream, float* values, int32_t count)
{
    if (count <= 0) {
        return 0;
    }
    alignas(64) uint8_t staged[kStagingBytes];
    const int32_t size = Expand(stream, count, staged);
    level_values<Ops>(staged, values, size);
    return size;
}

// The path's table entry.
template <class Ops>
constexpr CodecPath make_path(const char* name) noexcept
{
    return {name,
            quantise<Ops>,
            level_values<Ops>,
            encode<Ops, PairMethod>,
            decode<Ops, expand_pairs<Ops>>,
            encode<Ops, EscapedMethod>,
            decode<Ops, expand_escaped<Ops>>};
}

}  // namespace comm::detail::COMM_VECTOR_TARGET

#endif  // COMM_VECTOR_CODERS_HPP
