// The coders on 64-value windows, written once for every vector instruction
// set. Each vector path's file (codec_avx2.cpp, codec_avx512.cpp,
// codec_avx512vbmi2.cpp) includes this
// header inside its target region and instantiates the templates with its own
// `Primitives`, a class of static, always-inlined primitives on one window. The
// steps here are always inlined too, and the loops over a window's vectors
// carry `#pragma GCC unroll`, so that -O2 gives the code -O3 does and the
// vectors stay in registers:
//
//   Window                     64 levels in registers
//   load(p), store(p, w)       64 bytes, unaligned
//   equal(a, b), equal(a, v)   bit i set where a[i] == b[i], or a[i] == v
//   fill(p, v)                 64 copies of byte v at p
//   fill16(p, v)               16 copies of byte v at p
//   store_pairs(p, w)          128 bytes at p: the pairs (0, w[i])
//   pair_levels(p, counted)    the 64 pairs at p (128 bytes): their levels,
//                              and in `counted` bit i set where pair i's count
//                              byte is not 0
//   counts_below_16(p)         whether every count byte of those pairs is
//                              below 16
//   copy_short(to, from, n)    copies n < 64 bytes, touching nothing past
//
// and on vectors of kLanes floats (Floats) or 32-bit words (Words):
//
//   load_floats(p), store_floats(p, v)   kLanes floats, unaligned
//   load_floats_partial(p, k)  lanes i < k from p, the rest 0; reads no float
//                              past p + k (k may be above kLanes)
//   store_floats_partial(p, v, k)  lanes i < k to p; writes nothing past
//   quantise_lanes(v)          quantise(v[i]) in each 32-bit lane
//   zero_words()               0 in each lane
//   pack_window(q)             the window of levels in the 64 / kLanes
//                              vectors q, in order
//   level_floats(p)            level_value(p[i]) for the kLanes bytes at p
//   rounds_to_nearest()        whether the float rules hold in the caller's
//                              floating-point environment; where not, the
//                              path's functions run the portable ones
//
// and, where the instruction set has a byte compress, the token writers
// pair_runs(out, w, starts) and escaped_runs(out, w, starts), or
// escaped_runs(out, w, starts, escapes) given the window's 255s: the tokens of
// the runs from each start of the window w to the next, written at out, with
// the position after them returned; and escape_mask(w), the window's 255s, where
// the path compares them its own way.
//
// The header includes nothing: its file must include what it uses before the
// target region opens, so that no inline function of a shared header is ever
// compiled for a vector instruction set. Everything here lives in the namespace
// the file names COMM_VECTOR_TARGET (avx2, avx512, avx512vbmi2), so no inline function is
// shared between two paths either: the linker keeps one copy of an inline
// function, and it must never pick another path's.
//
// How the coders work
//
// Encoders quantise a chunk of up to kChunk values into a buffer of levels, then
// code it a window at a time. Bit i of a window's mask `starts` says that
// value i begins a run: it differs from the value before it, or its run has
// reached the longest a token holds. The run still open (its start and level)
// has no token yet; `out` is where that token goes. Each start closes the open
// run, writing its token. A window with a start at every value and, for the
// escaped stream, no level 255 is its own stream: one store. Otherwise each
// stretch of consecutive starts is one store of the window's pairs or bytes
// from that start on, of which the part up to the stretch's last value stays.
//
// Where the path has a token writer, a window with many starts is coded by it
// at once: the open run is closed at the first start, the writer writes the
// runs between the starts, and the run at the last start stays open.
//
// Stores may run past the bytes a token needs, up to 205 bytes past `out`: the
// next tokens overwrite them. The stream holds 2n bytes; `out` never passes
// twice the open run's start, so such stores stay inside it while 128 values or
// more remain. The last windows are coded into a buffer on the stack instead
// and copied out.
//
// Decoders expand a stream into a staging area of levels, then convert the
// levels to values with exact stores, so nothing is written to the caller's
// values past the count returned. Expansion takes a window of 64 pairs or
// bytes: a window of literals only is one store; otherwise the literals
// between its runs or escapes go a stretch at a time, each run as 64-byte
// fills and each escaped literal as a byte, the next found from the window's
// mask, not by reading the window again. Stores may run past what they keep,
// into the staging area's slack. A path may log runs of more than a window
// instead of staging them whole, and write their values straight (RunLog).
// Windows are read in place while 128 bytes remain; the rest is copied into a
// zeroed buffer first, so no byte past `count` is read.
#ifndef COMM_VECTOR_CODERS_HPP
#define COMM_VECTOR_CODERS_HPP

#ifndef COMM_VECTOR_TARGET
#error "include comm/vector_coders.hpp only inside a vector path's target region"
#endif

namespace comm::detail::COMM_VECTOR_TARGET {

inline constexpr int32_t kWindow = 64;
inline constexpr int32_t kChunk = format::kQuantiseChunk;
inline constexpr uint8_t kEscape = format::kEscape;

// A window of pairs with more runs than this, all shorter than 17 values, is
// expanded a pair at a time.
inline constexpr int kDenseRuns = 8;

// Staging area: room for every level a decoder keeps, and the most a window
// writes past that: 64 pairs of up to 16 values and a 16-byte store, or a
// 64-byte store and a run fill of 256 bytes.
inline constexpr int32_t kStagingBytes = DECODE_MAX_VALUES + 64 * 16 + 16;

// Where a path writes long runs straight (kLongRunsStraight), a run of more
// than a window is staged no further than its first window and its last:
// its values are written straight, where converting its levels costs the
// AVX2 decoders three memcpys of the values. Each such run that ends by the
// capacity is logged after the staging area's levels: a count, where the last
// logged run ends, then each run's place and length in the order staged.
// Expansion stages levels in order and never over a run once staged, so a
// logged run ends by the count the expansion returns; the log takes only runs
// that start where the last one ended or after, so it holds at most kMaxRuns
// whatever a stream says. A run it does not take is staged whole.
struct RunLog {
    static constexpr int32_t kStagedBytes = kWindow;
    static constexpr int32_t kMaxRuns = DECODE_MAX_VALUES / (kStagedBytes + 1);
    static constexpr int32_t kBytes = 8 * (kMaxRuns + 1);

    static int32_t load(const uint8_t* p)
    {
        int32_t v = 0;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static void store(uint8_t* p, int32_t v) { std::memcpy(p, &v, sizeof v); }

    static void clear(uint8_t* staging)
    {
        store(staging + kStagingBytes, 0);
        store(staging + kStagingBytes + 4, 0);
    }

    // Logs the run of `length` > kStagedBytes values after `at` staged
    // levels, if it can; otherwise the caller stages it whole.
    static bool add(uint8_t* staging, int32_t at, int32_t length)
    {
        uint8_t* const log = staging + kStagingBytes;
        const int32_t end = at + length;
        if (end > DECODE_MAX_VALUES || at < load(log + 4)) {
            return false;
        }
        const std::ptrdiff_t n = load(log);
        store(log + 8 + 8 * n, at);
        store(log + 12 + 8 * n, length);
        store(log, static_cast<int32_t>(n + 1));
        store(log + 4, end);
        return true;
    }
};

// ---- Levels and values ----------------------------------------------------

// The levels of the 64 floats at `values`.
template <class Primitives>
[[gnu::always_inline]] inline typename Primitives::Window quantise_window(const float* values)
{
    constexpr int32_t kLanes = Primitives::kLanes;
    typename Primitives::Words q[kWindow / kLanes];
#pragma GCC unroll 8
    for (std::ptrdiff_t j = 0; j < kWindow / kLanes; ++j) {
        q[j] = Primitives::quantise_lanes(Primitives::load_floats(values + kLanes * j));
    }
    return Primitives::pack_window(q);
}

// The levels of the k < 64 floats at `values`, then 0s; reads no float past
// values + k.
template <class Primitives>
[[gnu::always_inline]] inline typename Primitives::Window quantise_window_partial(const float* values, int32_t k)
{
    constexpr int32_t kLanes = Primitives::kLanes;
    typename Primitives::Words q[kWindow / kLanes];
#pragma GCC unroll 8
    for (std::ptrdiff_t j = 0; j < kWindow / kLanes; ++j) {
        q[j] = k > kLanes * j
                   ? Primitives::quantise_lanes(Primitives::load_floats_partial(values + kLanes * j, k - kLanes * j))
                   : Primitives::zero_words();
    }
    return Primitives::pack_window(q);
}

// values[i] = level_value(levels[i]) for i < 64.
template <class Primitives>
[[gnu::always_inline]] inline void level_values_window(const uint8_t* levels, float* values)
{
    constexpr int32_t kLanes = Primitives::kLanes;
#pragma GCC unroll 8
    for (std::ptrdiff_t j = 0; j < kWindow / kLanes; ++j) {
        Primitives::store_floats(values + kLanes * j, Primitives::level_floats(levels + kLanes * j));
    }
}

// The same for i < k; writes nothing past values + k (64 levels are readable).
template <class Primitives>
[[gnu::always_inline]] inline void level_values_window_partial(const uint8_t* levels, float* values, int32_t k)
{
    constexpr int32_t kLanes = Primitives::kLanes;
    for (std::ptrdiff_t j = 0; j < kWindow / kLanes && k > kLanes * j; ++j) {
        Primitives::store_floats_partial(values + kLanes * j, Primitives::level_floats(levels + kLanes * j),
                                         k - kLanes * j);
    }
}

// values[i] = level_value(levels[i]) for i < n, in whole vectors: the
// values of the levels up to kLanes - 1 past n are written too.
template <class Primitives>
[[gnu::always_inline]] inline void level_values_past(const uint8_t* levels, float* values, int32_t n)
{
    if (!Primitives::rounds_to_nearest()) {
        portable_path.level_values(levels, values, n);
        return;
    }
    constexpr int32_t kLanes = Primitives::kLanes;
    int32_t i = 0;
    for (; i + kWindow <= n; i += kWindow) {
        level_values_window<Primitives>(levels + i, values + i);
    }
    for (; i < n; i += kLanes) {
        Primitives::store_floats(values + i, Primitives::level_floats(levels + i));
    }
}

// Quantises n values a window at a time, the last window stored whole (0s
// past n). Returns the bytes written: n rounded up to a whole window.
template <class Primitives>
int32_t quantise_windows(const float* values, uint8_t* levels, int32_t n)
{
    int32_t i = 0;
    for (; i + kWindow <= n; i += kWindow) {
        Primitives::store(levels + i, quantise_window<Primitives>(values + i));
    }
    if (i < n) {
        Primitives::store(levels + i, quantise_window_partial<Primitives>(values + i, n - i));
        i += kWindow;
    }
    return i;
}

template <class Primitives>
void quantise(const float* values, uint8_t* levels, int32_t n)
{
    if (!Primitives::rounds_to_nearest()) {
        portable_path.quantise(values, levels, n);
        return;
    }
    const int32_t whole = n & -kWindow;
    quantise_windows<Primitives>(values, levels, whole);
    if (whole < n) {
        alignas(64) uint8_t rest[kWindow];
        quantise_windows<Primitives>(values + whole, rest, n - whole);
        std::memcpy(levels + whole, rest, static_cast<size_t>(n - whole));
    }
}

template <class Primitives>
void level_values(const uint8_t* levels, float* values, int32_t n)
{
    if (!Primitives::rounds_to_nearest()) {
        portable_path.level_values(levels, values, n);
        return;
    }
    int32_t i = 0;
    for (; i + kWindow <= n; i += kWindow) {
        level_values_window<Primitives>(levels + i, values + i);
    }
    if (i < n) {
        alignas(64) uint8_t rest[kWindow] = {};
        std::memcpy(rest, levels + i, static_cast<size_t>(n - i));
        level_values_window_partial<Primitives>(rest, values + i, n - i);
    }
}

// ---- Encoders ---------------------------------------------------------------

// An encoder's state between windows: the run whose token is not written yet,
// and where that token goes. Passed and returned by value, so that it stays in
// registers: in memory, every byte stored to the stream could alias it.
struct OpenRun {
    uint8_t* out;
    int32_t start;  // index of the open run's first value in the block
    uint8_t level;  // the open run's level
};

// Bit i set for i < valid.
[[gnu::always_inline]] inline uint64_t mask_below(int32_t valid)
{
    return valid >= kWindow ? ~uint64_t{0} : (uint64_t{1} << valid) - 1;
}

// The mask without its bits below e.
[[gnu::always_inline]] inline uint64_t clear_bits_below(uint64_t bits, int32_t e)
{
    return e >= kWindow ? 0 : bits & (~uint64_t{0} << e);
}

// The window's run starts (see the top of the file): values unlike the one
// before, and the value at which the open run reaches MaxRun values if no
// start comes first. The open run holds at most MaxRun values before the
// window, so after it too.
template <class Primitives, int32_t MaxRun>
[[gnu::always_inline]] inline uint64_t run_starts(const uint8_t* levels, int32_t first, int32_t valid,
                                                  int32_t open_start)
{
    uint64_t starts = ~Primitives::equal(Primitives::load(levels), Primitives::load(levels - 1)) & mask_below(valid);
    const int32_t cut = open_start + MaxRun - first;  // >= 0
    if (cut < valid && (starts & ((uint64_t{2} << cut) - 1)) == 0) {
        starts |= uint64_t{1} << cut;
    }
    return starts;
}

// Closes the open run at start s (writing its token) and opens the run there.
template <class Method>
[[gnu::always_inline]] inline OpenRun close_and_open(OpenRun c, const uint8_t* levels, int32_t first, int32_t s)
{
    return {Method::close(c, first + s), first + s, levels[s]};
}

// Closes the open run at the lowest start of `starts`, if there is one,
// without a branch: windows with few starts (runs of some length) then cost no
// mispredicted loop exit. Without a start, a token is written at `out` and
// left there, and the state stays as it was.
template <class Method>
[[gnu::always_inline]] inline OpenRun close_at_lowest_start(OpenRun c, uint64_t starts, const uint8_t* levels,
                                                            int32_t first)
{
    const int32_t s = std::countr_zero(starts);  // 64 without a start: levels[64] is readable
    const OpenRun next = close_and_open<Method>(c, levels, first, s);
    const bool found = starts != 0;
    return {found ? next.out : c.out, found ? next.start : c.start, found ? next.level : c.level};
}

// Windows with at least this many starts are coded by the path's token
// writer where it has one (Primitives::pair_runs, Primitives::escaped_runs: the runs
// between a window's starts at once, see the VBMI2 path). At least one: the
// first start closes the open run.
inline constexpr int kDenseStarts = 4;
static_assert(kDenseStarts >= 1);

// Windows with more stretches of consecutive starts than this close the open
// run at each start in turn: the stretch loop's exits would be mispredicted.
inline constexpr int kManyStretches = 8;

// The number of stretches of consecutive starts in `starts`.
[[gnu::always_inline]] inline int stretches(uint64_t starts)
{
    return std::popcount(starts & ~(starts << 1));
}

// Whether `starts` has more than kManyStretches stretches.
[[gnu::always_inline]] inline bool many_stretches(uint64_t starts)
{
    return stretches(starts) > kManyStretches;
}

// Closes the open run at each start in turn, opening the next there.
template <class Method>
[[gnu::always_inline]] inline OpenRun close_each_start(OpenRun c, uint64_t starts, const uint8_t* levels, int32_t first)
{
    while (starts != 0) {
        c = close_and_open<Method>(c, levels, first, std::countr_zero(starts));
        starts &= starts - 1;
    }
    return c;
}

// Closes the open run at the window's first start, writes the runs between
// its starts with `write_runs`, and leaves the run at its last start open.
// That run holds the window's last of its `valid` values: where
// Method::kLevelAtEnd, its level is read there, at a place known without the
// bit scan (64 in all but the last window), which spares the scan's result a
// register.
template <class Method, class WriteRuns>
[[gnu::always_inline]] inline OpenRun close_all_starts(OpenRun c, uint64_t starts, const uint8_t* levels, int32_t first,
                                                       int32_t valid, WriteRuns write_runs)
{
    const int32_t s = std::countr_zero(starts);
    const int32_t last = kWindow - 1 - std::countl_zero(starts);
    uint8_t* const out = write_runs(Method::close(c, first + s));
    return {out, first + last, levels[Method::kLevelAtEnd ? valid - 1 : last]};
}

// Whether the path's escaped token writer is worth it on a window: with
// kDenseStarts starts or more and, where the path's writer loses to the
// stretch code on a few long stretches, more stretches or escapes (each 255
// ends a stretch too) than the path's Primitives::kEscapedRunsAboveStretches.
// The same for the pair writer (Primitives::kPairRunsAboveStretches).
template <class Primitives>
[[gnu::always_inline]] inline bool escaped_runs_pay(uint64_t starts, uint64_t escapes)
{
    const bool dense = std::popcount(starts) >= kDenseStarts;
    if constexpr (requires { Primitives::kEscapedRunsAboveStretches; }) {
        constexpr int most = Primitives::kEscapedRunsAboveStretches;
        return dense && (stretches(starts) > most || std::popcount(escapes) > most);
    } else {
        return dense;
    }
}

template <class Primitives>
[[gnu::always_inline]] inline bool pair_runs_pay(uint64_t starts)
{
    const bool dense = std::popcount(starts) >= kDenseStarts;
    if constexpr (requires { Primitives::kPairRunsAboveStretches; }) {
        return dense && stretches(starts) > Primitives::kPairRunsAboveStretches;
    } else {
        return dense;
    }
}

// Pair stream: each run as (length - 1, level), runs cut at 256 values.
struct PairMethod {
    static constexpr int32_t kMaxRun = format::kPairMaxRun;
    static constexpr auto kPortable = &CodecPath::encode;
    // At the end, avx512vbmi2 encode ran 1 to 4% slower.
    static constexpr bool kLevelAtEnd = false;

    // Writes the open run's token for a run ending before `end`; returns the
    // position after it.
    [[gnu::always_inline]] static uint8_t* close(const OpenRun& c, int32_t end)
    {
        c.out[0] = static_cast<uint8_t>(end - c.start - 1);
        c.out[1] = c.level;
        return c.out + 2;
    }

    template <class Primitives>
    [[gnu::always_inline]] static OpenRun window(const uint8_t* levels, int32_t first, int32_t valid, OpenRun c)
    {
        uint64_t starts = run_starts<Primitives, kMaxRun>(levels, first, valid, c.start);
        if (starts == ~uint64_t{0}) {  // 64 runs of one value
            uint8_t* const out = close(c, first);
            Primitives::store_pairs(out, Primitives::load(levels));
            return {out + 2 * std::ptrdiff_t{kWindow - 1}, first + kWindow - 1, levels[kWindow - 1]};
        }
        if constexpr (requires { &Primitives::pair_runs; }) {
            if (pair_runs_pay<Primitives>(starts)) {
                const typename Primitives::Window window = Primitives::load(levels);
                return close_all_starts<PairMethod>(c, starts, levels, first, valid, [&](uint8_t* out) {
                    return Primitives::pair_runs(out, window, starts);
                });
            }
        } else if (many_stretches(starts)) {
            return close_each_start<PairMethod>(c, starts, levels, first);
        }
        c = close_at_lowest_start<PairMethod>(c, starts, levels, first);
        starts &= starts - 1;
        c = close_at_lowest_start<PairMethod>(c, starts, levels, first);
        starts &= starts - 1;
        while (starts != 0) {
            const int32_t s = std::countr_zero(starts);
            uint8_t* const out = close(c, first + s);
            const int32_t e = s + std::countr_one(starts >> s);  // the first value after the stretch
            Primitives::store_pairs(out, Primitives::load(levels + s));
            c = {out + 2 * static_cast<std::ptrdiff_t>(e - 1 - s), first + e - 1, levels[e - 1]};
            starts = clear_bits_below(starts, e);
        }
        return c;
    }
};

// The window's 255s, by the path's own compare where it has one
// (Primitives::escape_mask).
template <class Primitives>
[[gnu::always_inline]] inline uint64_t escapes_of(typename Primitives::Window window)
{
    if constexpr (requires { Primitives::escape_mask(window); }) {
        return Primitives::escape_mask(window);
    } else {
        return Primitives::equal(window, kEscape);
    }
}

// Escaped stream: a run of one is a literal (255 as FF FF), a longer one
// FF length level; runs cut at 254 values.
struct EscapedMethod {
    static constexpr int32_t kMaxRun = format::kEscapedMaxRun;
    static constexpr auto kPortable = &CodecPath::encode2;
    static constexpr bool kLevelAtEnd = true;

    // Writes three bytes whatever the token, to take no branch.
    [[gnu::always_inline]] static uint8_t* close(const OpenRun& c, int32_t end)
    {
        const int32_t length = end - c.start;
        const bool single = length == 1;
        c.out[0] = single ? c.level : kEscape;
        c.out[1] = single ? kEscape : static_cast<uint8_t>(length);
        c.out[2] = c.level;
        return c.out + (single ? (c.level == kEscape ? 2 : 1) : 3);
    }

    template <class Primitives>
    [[gnu::always_inline]] static OpenRun window(const uint8_t* levels, int32_t first, int32_t valid, OpenRun c)
    {
        uint64_t starts = run_starts<Primitives, kMaxRun>(levels, first, valid, c.start);
        const typename Primitives::Window window = Primitives::load(levels);
        const uint64_t escapes = escapes_of<Primitives>(window) & mask_below(valid);
        if (starts == ~uint64_t{0} && escapes == 0) {  // 64 literals that need no escape
            uint8_t* const out = close(c, first);
            Primitives::store(out, window);
            return {out + kWindow - 1, first + kWindow - 1, levels[kWindow - 1]};
        }
        if constexpr (requires { &Primitives::escaped_runs; }) {
            if (escaped_runs_pay<Primitives>(starts, escapes)) {
                return close_all_starts<EscapedMethod>(c, starts, levels, first, valid, [&](uint8_t* out) {
                    if constexpr (requires { Primitives::escaped_runs(out, window, starts, escapes); }) {
                        return Primitives::escaped_runs(out, window, starts, escapes);
                    } else {
                        return Primitives::escaped_runs(out, window, starts);
                    }
                });
            }
        } else if (many_stretches(starts) || std::popcount(escapes) > kManyStretches) {
            // Each 255 ends a stretch too.
            return close_each_start<EscapedMethod>(c, starts, levels, first);
        }
        c = close_at_lowest_start<EscapedMethod>(c, starts, levels, first);
        starts &= starts - 1;
        c = close_at_lowest_start<EscapedMethod>(c, starts, levels, first);
        starts &= starts - 1;
        if constexpr (
            requires { &Primitives::escaped_runs; } && !requires { Primitives::kEscapedRunsAboveStretches; }) {
            // Every window of kDenseStarts starts or more went to the writer,
            // so one start at most is left, a stretch of one value, which no
            // 255 cuts. Closed so, the 255s need no register through the
            // closes above: kept, GCC moved a start's place to a vector
            // register and back in each window of few starts (avx512vbmi2
            // plateau/5700 encode2 1 to 5% slower).
            static_assert(kDenseStarts <= 4);
            if (starts != 0) {
                c = close_and_open<EscapedMethod>(c, levels, first, std::countr_zero(starts));
            }
            return c;
        }
        while (starts != 0) {
            const int32_t s = std::countr_zero(starts);
            uint8_t* const out = close(c, first + s);
            // The stretch's runs of one are literals; it ends early after a
            // 255, which then closes as the open run, escaped.
            int32_t e = s + std::countr_one(starts >> s);
            const int32_t escape = std::countr_zero(clear_bits_below(escapes, s));
            e = std::min(e, escape + 1);
            Primitives::store(out, Primitives::load(levels + s));
            c = {out + (e - 1 - s), first + e - 1, levels[e - 1]};
            starts = clear_bits_below(starts, e);
        }
        return c;
    }
};

// Paths whose Primitives set kQuantisesAhead quantise each window a few
// windows ahead of the one they code, in the coding loop, rather than a whole
// chunk first: the quantiser's work then runs beside the token writer's, which
// leaves ports free. Four ahead: the coder's load from one byte before a window
// spans two windows' stores, which cannot be forwarded to it, and two ahead
// that load still waited for them (uniform encode 10% slower).
inline constexpr int32_t kQuantiseAhead = 4;

template <class Primitives>
inline constexpr bool quantises_ahead = requires
{
    requires Primitives::kQuantisesAhead;
};

// Quantises the window of the chunk at value i, if the chunk reaches it (its
// last window partial, 0s past the chunk's `size` values).
template <class Primitives>
[[gnu::always_inline]] inline void quantise_window_at(const float* values, uint8_t* levels, int32_t size, int32_t i)
{
    if (i + kWindow <= size) {
        Primitives::store(levels + i, quantise_window<Primitives>(values + i));
    } else if (i < size) {
        Primitives::store(levels + i, quantise_window_partial<Primitives>(values + i, size - i));
    }
}

// Both encoders: quantise a chunk, code it window by window. The encoders and
// decoders begin at a cache line, so that their loops keep their place when
// other code of the library grows or shrinks: placed 16 bytes further on by
// changes elsewhere, the avx512vbmi2 escaped encoder ran 19% slower on
// 5700-value plateaus (700 -> 837 ns, an Intel Xeon).
template <class Primitives, class Method>
[[gnu::aligned(64)]] int32_t encode(const float* values, uint8_t* stream, int32_t n)
{
    if (n <= 0 || n > ENCODE_MAX_VALUES) {
        return 0;
    }
    if (!Primitives::rounds_to_nearest()) {
        return (portable_path.*Method::kPortable)(values, stream, n);
    }
    // levels[-1] is the value before each chunk's first; 128 bytes of padding
    // after a chunk's last window are read by the stretch stores.
    alignas(64) uint8_t buffer[kWindow + kChunk + 2 * kWindow];
    uint8_t* const levels = buffer + kWindow;
    // The last windows: their tokens and the stores past them.
    constexpr int32_t kTailValues = 2 * kWindow;
    alignas(64) uint8_t tail[2 * (kTailValues + kWindow + Method::kMaxRun) + 2 * kWindow];
    uint8_t* tail_goes_to = nullptr;  // where in the stream the tail's bytes belong

    OpenRun c{stream, 0, 0};
    for (int32_t base = 0; base < n; base += kChunk) {
        const int32_t size = std::min(kChunk, n - base);
        const uint8_t before = base == 0 ? 0 : levels[kChunk - 1];  // the previous chunk's last level
        const int32_t padded = (size + kWindow - 1) & -kWindow;
        Primitives::fill(levels + padded, 0);
        Primitives::fill(levels + padded + kWindow, 0);
        if constexpr (quantises_ahead<Primitives>) {
            for (int32_t w = 0; w < kQuantiseAhead; ++w) {
                quantise_window_at<Primitives>(values + base, levels, size, w * kWindow);
            }
        } else {
            quantise_windows<Primitives>(values + base, levels, size);
        }
        if (base == 0) {
            c.level = levels[0];
            levels[-1] = levels[0];  // the first value continues the open run
        } else {
            levels[-1] = before;
        }
        // `whole_ahead`: the window kQuantiseAhead on is whole.
        const auto code_window = [&](int32_t i, int32_t valid, bool whole_ahead) __attribute__((always_inline))
        {
            if constexpr (quantises_ahead<Primitives>) {
                const int32_t ahead = i + kQuantiseAhead * kWindow;
                if (whole_ahead) {
                    Primitives::store(levels + ahead, quantise_window<Primitives>(values + base + ahead));
                } else {
                    quantise_window_at<Primitives>(values + base, levels, size, ahead);
                }
            }
            c = Method::template window<Primitives>(levels + i, base + i, valid, c);
        };
        if constexpr (!quantises_ahead<Primitives>) {
            // One loop: in the avx2 rows the loops below made heavy_255
            // encode2 4% slower.
            for (int32_t i = 0; i < size; i += kWindow) {
                if (tail_goes_to == nullptr && n - (base + i) < kTailValues) {
                    tail_goes_to = c.out;
                    c.out = tail;
                }
                code_window(i, std::min(kWindow, size - i), false);
            }
            continue;
        }
        // The windows from `direct` on begin fewer than kTailValues values
        // before the end, and the block's last window is among them: those
        // before it are whole. Those before `whole` quantise a whole window
        // ahead. Loops apart rather than tests in each window, whose state the
        // window's code, short of registers, kept in memory: fewer
        // instructions a window, and those limit its pace.
        const int32_t direct = std::clamp((n - kTailValues - base + kWindow) & -kWindow, 0, size);
        const int32_t whole = std::clamp((size - kQuantiseAhead * kWindow) & -kWindow, 0, direct);
        int32_t i = 0;
        for (; i < whole; i += kWindow) {
            code_window(i, kWindow, true);
        }
        for (; i < direct; i += kWindow) {
            code_window(i, kWindow, false);
        }
        if (i < size && tail_goes_to == nullptr) {
            tail_goes_to = c.out;
            c.out = tail;
        }
        for (; i < size; i += kWindow) {
            code_window(i, std::min(kWindow, size - i), false);
        }
    }
    uint8_t* out = Method::close(c, n);
    if (tail_goes_to != nullptr) {
        const auto bytes = static_cast<size_t>(out - tail);
        std::memcpy(tail_goes_to, tail, bytes);
        out = tail_goes_to + bytes;
    }
    return static_cast<int32_t>(out - stream);
}

// ---- Decoders ---------------------------------------------------------------

// Copies n < 128 bytes, touching nothing past them. A memcpy of a length
// known only at run time compiles to `rep movsq` here, whose start-up took
// a tenth of a short stream's decoding (plateau/1900 decode2 avx2).
template <class Primitives>
[[gnu::always_inline]] inline void copy_below_128(uint8_t* to, const uint8_t* from, int32_t n)
{
    if (n >= kWindow) {
        Primitives::store(to, Primitives::load(from));
        to += kWindow;
        from += kWindow;
        n -= kWindow;
    }
    Primitives::copy_short(to, from, n);
}

// Stages `length` copies of `level` at `at`, in 64-byte stores; the first two
// stores are made whatever the length, so that runs of up to 128 values take
// no branch.
template <class Primitives>
[[gnu::always_inline]] inline void stage_run(uint8_t* at, uint8_t level, int32_t length)
{
    Primitives::fill(at, level);
    Primitives::fill(at + kWindow, level);
    for (int32_t k = 2 * kWindow; k < length; k += kWindow) {
        Primitives::fill(at + k, level);
    }
}

// The rest of a run of more than RunLog::kStagedBytes values, out of line:
// the token loops that call it keep their registers. A logged run has its
// last window staged too, for the conversion of the part-vector at its end.
template <class Primitives>
[[gnu::noinline]] void fill_long_run(uint8_t* staging, int32_t staged, uint8_t level, int32_t length)
{
    uint8_t* const at = staging + staged;
    if (RunLog::add(staging, staged, length)) {
        Primitives::fill(at + length - kWindow, level);
        return;
    }
    for (int32_t k = kWindow; k < length; k += kWindow) {
        Primitives::fill(at + k, level);
    }
}

// A path whose primitives set kLongRunsStraight logs long runs (RunLog) and
// writes their values straight; the others stage every level. Set on a
// path's base primitives, so that every fill of one decoder agrees with it on
// whether there is a log.
template <class Primitives>
inline constexpr bool kLongRunsStraight = requires
{
    requires Primitives::kLongRunsStraight;
};

// Stages `length` copies of `level` after the `staged` levels at `staging`,
// or logs it where the path writes long runs straight.
template <class Primitives>
[[gnu::always_inline]] inline void fill_run(uint8_t* staging, int32_t staged, uint8_t level, int32_t length)
{
    if constexpr (kLongRunsStraight<Primitives>) {
        Primitives::fill(staging + staged, level);
        if (length > RunLog::kStagedBytes) [[unlikely]] {
            fill_long_run<Primitives>(staging, staged, level, length);
        }
    } else {
        stage_run<Primitives>(staging + staged, level, length);
    }
}

// What a window's expansion did: the stream's pairs or bytes it consumed (-1
// if the stream ends inside a token) and the levels staged so far. Returned
// by value, since a count kept in memory could be aliased by the stores to
// the staging area and reloaded after each.
struct Expanded {
    int32_t consumed;
    int32_t staged;
};

// Expands the window of 64 pairs at `pairs` (the first `remaining` of them
// are the stream's; 128 bytes are readable) after the `staged` levels: its
// pairs of one value are stored from the window's levels, a stretch at a time,
// and each longer pair is filled in. Stops early at the capacity.
template <class Primitives>
[[gnu::always_inline]] inline Expanded expand_pair_window(const uint8_t* pairs, int32_t remaining, uint8_t* staging,
                                                          int32_t staged)
{
    uint64_t counted = 0;
    const typename Primitives::Window levels = Primitives::pair_levels(pairs, counted);
    const int32_t limit = std::min(remaining, kWindow);
    counted &= mask_below(limit);
    if (counted == 0) {
        Primitives::store(staging + staged, levels);
        return {limit, staged + limit};
    }
    if (std::popcount(counted) > kDenseRuns && Primitives::counts_below_16(pairs)) {
        // Many short runs: one 16-byte fill a pair, no branch.
        for (int32_t k = 0; k < limit; ++k) {
            const uint8_t* pair = pairs + 2 * static_cast<std::ptrdiff_t>(k);
            Primitives::fill16(staging + staged, pair[1]);
            staged += pair[0] + 1;
        }
        return {limit, staged};
    }
    alignas(64) uint8_t window[2 * kWindow];
    Primitives::store(window, levels);
    Primitives::fill(window + kWindow, 0);
    int32_t single = 0;  // the first pair not yet expanded
    do {
        const int32_t r = std::countr_zero(counted);
        counted &= counted - 1;
        Primitives::store(staging + staged, Primitives::load(window + single));
        staged += r - single;
        const uint8_t* pair = pairs + 2 * static_cast<std::ptrdiff_t>(r);
        fill_run<Primitives>(staging, staged, pair[1], pair[0] + 1);
        staged += pair[0] + 1;
        single = r + 1;
        if (staged >= DECODE_MAX_VALUES) {
            return {single, staged};
        }
    } while (counted != 0);
    Primitives::store(staging + staged, Primitives::load(window + single));
    return {limit, staged + limit - single};
}

// A path may bring its own expansion of one window of pairs or escaped
// bytes (Primitives::expand_pair_window, Primitives::expand_escaped_window),
// with the contract of the ones here; the loops over a stream's windows stay
// the same for every path.
template <class Primitives>
[[gnu::always_inline]] inline Expanded pair_window_step(const uint8_t* pairs, int32_t remaining, uint8_t* staging,
                                                        int32_t staged)
{
    if constexpr (requires { &Primitives::expand_pair_window; }) {
        return Primitives::expand_pair_window(pairs, remaining, staging, staged);
    } else {
        return expand_pair_window<Primitives>(pairs, remaining, staging, staged);
    }
}

// Expands the last `left` < 64 pairs at `pairs` after the `staged` levels,
// from a copy with zeros past them. Returns the levels kept.
template <class Primitives>
int32_t expand_last_pairs(const uint8_t* pairs, int32_t left, uint8_t* staging, int32_t staged)
{
    if (left > 0 && staged < DECODE_MAX_VALUES) {
        alignas(64) uint8_t rest[2 * kWindow * 2] = {};
        copy_below_128<Primitives>(rest, pairs, 2 * left);
        for (int32_t j = 0; j < left && staged < DECODE_MAX_VALUES;) {
            const Expanded step =
                pair_window_step<Primitives>(rest + 2 * static_cast<std::ptrdiff_t>(j), left - j, staging, staged);
            j += step.consumed;
            staged = step.staged;
        }
    }
    return std::min(staged, DECODE_MAX_VALUES);
}

template <class Primitives>
int32_t expand_pairs(const uint8_t* stream, int32_t count, uint8_t* staging)
{
    const int32_t pairs = count / 2;  // a trailing half pair is ignored
    int32_t staged = 0;
    int32_t i = 0;
    while (pairs - i >= kWindow && staged < DECODE_MAX_VALUES) {
        const Expanded step =
            pair_window_step<Primitives>(stream + 2 * static_cast<std::ptrdiff_t>(i), pairs - i, staging, staged);
        i += step.consumed;
        staged = step.staged;
    }
    return expand_last_pairs<Primitives>(stream + 2 * static_cast<std::ptrdiff_t>(i), pairs - i, staging, staged);
}

// Expands the escaped stream's window of 64 bytes at `bytes` (the first
// `remaining` are the stream's; 128 bytes are readable) after the `staged`
// levels: the literals between its escapes, a stretch at a time, and the token
// at each escape. What it consumes may end inside the next window. Stops early
// at the capacity.
template <class Primitives>
[[gnu::always_inline]] inline Expanded expand_escaped_window(const uint8_t* bytes, int32_t remaining, uint8_t* staging,
                                                             int32_t staged)
{
    const typename Primitives::Window window = Primitives::load(bytes);
    const int32_t limit = std::min(remaining, kWindow);
    uint64_t escapes = Primitives::equal(window, kEscape) & mask_below(limit);
    if (escapes == 0) {
        Primitives::store(staging + staged, window);
        return {limit, staged + limit};
    }
    int32_t p = 0;  // the first byte not yet expanded
    do {
        const int32_t e = std::countr_zero(escapes);
        Primitives::store(staging + staged, Primitives::load(bytes + p));
        staged += e - p;
        const int32_t left = remaining - e;
        if (left >= 2 && bytes[e + 1] == kEscape) {
            staging[staged++] = kEscape;
            p = e + 2;
        } else if (left >= 3) {
            fill_run<Primitives>(staging, staged, bytes[e + 2], bytes[e + 1]);
            staged += bytes[e + 1];
            p = e + 3;
        } else {
            return {-1, staged};
        }
        if (staged >= DECODE_MAX_VALUES) {
            return {p, staged};
        }
        escapes = clear_bits_below(escapes, p);
    } while (escapes != 0);
    if (p < limit) {
        Primitives::store(staging + staged, Primitives::load(bytes + p));
        return {limit, staged + limit - p};
    }
    return {p, staged};
}

template <class Primitives>
[[gnu::always_inline]] inline Expanded escaped_window_step(const uint8_t* bytes, int32_t remaining, uint8_t* staging,
                                                           int32_t staged)
{
    if constexpr (requires { &Primitives::expand_escaped_window; }) {
        return Primitives::expand_escaped_window(bytes, remaining, staging, staged);
    } else {
        return expand_escaped_window<Primitives>(bytes, remaining, staging, staged);
    }
}

// Expands the last `left` < 128 bytes at `bytes` of an escaped stream after
// the `staged` levels, from a copy with zeros past them. Returns the levels
// kept.
template <class Primitives>
int32_t expand_last_escaped(const uint8_t* bytes, int32_t left, uint8_t* staging, int32_t staged)
{
    if (left > 0 && staged < DECODE_MAX_VALUES) {
        alignas(64) uint8_t rest[4 * kWindow] = {};
        copy_below_128<Primitives>(rest, bytes, left);
        for (int32_t j = 0; j < left && staged < DECODE_MAX_VALUES;) {
            const Expanded step = escaped_window_step<Primitives>(rest + j, left - j, staging, staged);
            staged = step.staged;
            if (step.consumed < 0) {
                break;
            }
            j += step.consumed;
        }
    }
    return std::min(staged, DECODE_MAX_VALUES);
}

template <class Primitives>
int32_t expand_escaped(const uint8_t* stream, int32_t count, uint8_t* staging)
{
    int32_t staged = 0;
    int32_t p = 0;
    while (count - p >= 2 * kWindow && staged < DECODE_MAX_VALUES) {
        const Expanded step = escaped_window_step<Primitives>(stream + p, count - p, staging, staged);
        staged = step.staged;
        if (step.consumed < 0) {
            return std::min(staged, DECODE_MAX_VALUES);
        }
        p += step.consumed;
    }
    return expand_last_escaped<Primitives>(stream + p, count - p, staging, staged);
}

// A path may bring its own expansion of a whole stream into levels
// (Primitives::expand_pairs, Primitives::expand_escaped), with the contract
// of the ones above: at most DECODE_MAX_VALUES levels kept, stores past them
// only into the staging area's slack, no stream byte read past `count`.
template <class Primitives>
inline constexpr auto kExpandPairs = [] {
    if constexpr (requires { &Primitives::expand_pairs; }) {
        return &Primitives::expand_pairs;
    } else {
        return &expand_pairs<Primitives>;
    }
}();

template <class Primitives>
inline constexpr auto kExpandEscaped = [] {
    if constexpr (requires { &Primitives::expand_escaped; }) {
        return &Primitives::expand_escaped;
    } else {
        return &expand_escaped<Primitives>;
    }
}();

// The `size` staged levels' values, each logged run's written straight by
// whole vectors at vector boundaries of `values` (stores across cache lines
// took twice as long), the part-vectors at its ends converted from its
// staged first and last levels. Where `values` starts off a boundary, the
// vectors converted before the first run write up to kLanes - 1 of its
// values, which its own stores then write again.
template <class Primitives>
[[gnu::noinline]] void level_values_around_runs(const uint8_t* staging, float* values, int32_t size)
{
    constexpr int32_t kLanes = Primitives::kLanes;
    const uint8_t* const log = staging + kStagingBytes;
    const int32_t runs = RunLog::load(log);
    // values + i is at a boundary where (i + skew) % kLanes == 0.
    const auto skew = static_cast<int32_t>(reinterpret_cast<uintptr_t>(values) / sizeof(float) % kLanes);
    int32_t converted = 0;
    for (std::ptrdiff_t r = 0; r < runs; ++r) {
        const int32_t at = RunLog::load(log + 8 + 8 * r);
        const int32_t end = at + RunLog::load(log + 12 + 8 * r);
        const int32_t from = (at + skew + kLanes - 1) / kLanes * kLanes - skew;
        const int32_t to = (end + skew) / kLanes * kLanes - skew;
        level_values_past<Primitives>(staging + converted, values + converted, from - converted);
        const typename Primitives::Floats value = Primitives::splat_floats(level_value(staging[at]));
        int32_t k = from;
        for (; k + 4 * kLanes <= to; k += 4 * kLanes) {
            float* const four = values + k;
            Primitives::store_floats(four, value);
            Primitives::store_floats(four + kLanes, value);
            Primitives::store_floats(four + std::ptrdiff_t{2} * kLanes, value);
            Primitives::store_floats(four + std::ptrdiff_t{3} * kLanes, value);
        }
        for (; k < to; k += kLanes) {
            Primitives::store_floats(values + k, value);
        }
        converted = to;
    }
    level_values<Primitives>(staging + converted, values + converted, size - converted);
}

template <class Primitives, int32_t (*Expand)(const uint8_t*, int32_t, uint8_t*)>
[[gnu::aligned(64)]] int32_t decode(const uint8_t* stream, float* values, int32_t count)
{
    if (count <= 0) {
        return 0;
    }
    if constexpr (kLongRunsStraight<Primitives>) {
        alignas(64) uint8_t staging[kStagingBytes + RunLog::kBytes];
        RunLog::clear(staging);
        const int32_t size = Expand(stream, count, staging);
        level_values_around_runs<Primitives>(staging, values, size);
        return size;
    } else {
        alignas(64) uint8_t staging[kStagingBytes];
        const int32_t size = Expand(stream, count, staging);
        level_values<Primitives>(staging, values, size);
        return size;
    }
}

// ---- Delta stream -------------------------------------------------------------
//
// Blocks of up to one chunk and a value: group g's deltas are the window at
// levels + 1 + 64g less the window one byte before it. The levels past the
// block's end repeat its last one, so their codes are 0. The packed form is
// written into a buffer on the stack while the sizes of all three forms are
// counted; the chosen one is then copied or written out. Longer blocks run the
// portable encoder.

inline constexpr int32_t kDeltaGroups = kChunk / kWindow;
inline constexpr int32_t kPackedMaxBytes = format::kPackedHeader + kDeltaGroups * (1 + 8 * format::kDeltaMaxWidth) + 1;

template <class Ops>
int32_t encode_deltas(const float* values, uint8_t* stream, int32_t n)
{
    if (n <= 0 || n > ENCODE_MAX_VALUES) {
        return 0;
    }
    if (!Ops::rounds_to_nearest() || n > kChunk + 1) {
        return portable_path.encode3(values, stream, n);
    }
    alignas(64) uint8_t levels[kChunk + 2 * kWindow];
    const int32_t padded = quantise_windows<Ops>(values, levels, n);
    Ops::fill(levels + n, levels[n - 1]);  // up to the last group's end
    Ops::fill(levels + padded, levels[n - 1]);

    alignas(64) uint8_t packed[kPackedMaxBytes];
    uint8_t* out = packed + format::kPackedHeader;
    int64_t changes = 0;
    for (int32_t g = 1; g < n; g += kWindow) {
        const typename Ops::Window now = Ops::load(levels + g);
        const typename Ops::Window before = Ops::load(levels + g - 1);
        changes += std::popcount(~Ops::equal(now, before));
        uint64_t planes[8];
        Ops::bit_planes(Ops::delta_codes(now, before), planes);
        int width = format::kDeltaMaxWidth;
        while (width > 0 && planes[width - 1] == 0) {
            --width;
        }
        *out++ = static_cast<uint8_t>(width);
        std::memcpy(out, planes, 8 * static_cast<size_t>(width));
        out += 8 * static_cast<std::ptrdiff_t>(width);
    }
    packed[0] = format::kPackedForm;
    packed[1] = levels[0];
    packed[2] = static_cast<uint8_t>((n - 1) % kWindow);
    if ((out - packed) % 2 == 0) {
        packed[0] |= format::kPaddedFlag;
        *out++ = 0;
    }
    const auto packed_size = static_cast<int32_t>(out - packed);
    const int32_t levels_size = n % 2 == 0 ? n + 1 : n + 2;
    const int32_t other = std::min(packed_size, levels_size);
    if (2 * (changes + 1) <= other) {  // each change starts a pair
        const int32_t pairs = encode<Ops, PairMethod>(values, stream, n);
        if (pairs <= other) {
            return pairs;
        }
    }
    if (packed_size <= levels_size) {
        std::memcpy(stream, packed, static_cast<size_t>(packed_size));
        return packed_size;
    }
    stream[0] = static_cast<uint8_t>(format::kLevelsForm | (n % 2 == 1 ? format::kPaddedFlag : 0));
    std::memcpy(stream + 1, levels, static_cast<size_t>(n));
    if (n % 2 == 1) {
        stream[n + 1] = 0;
    }
    return levels_size;
}

// The packed form's groups into levels, a window a group. Stores whole
// windows: the staging area has a window's room past its capacity.
template <class Ops>
int32_t expand_packed(const uint8_t* stream, int32_t end, uint8_t* staging)
{
    if (end < format::kPackedHeader || stream[2] >= kWindow) {
        return 0;
    }
    const int32_t last_group = stream[2] == 0 ? kWindow : stream[2];
    staging[0] = stream[1];
    int32_t staged = 1;
    for (int32_t p = format::kPackedHeader; p < end && staged < DECODE_MAX_VALUES;) {
        const int32_t width = stream[p];
        if (width > format::kDeltaMaxWidth || end - p - 1 < 8 * width) {
            break;
        }
        Ops::store(staging + staged, Ops::undelta(Ops::from_planes(stream + p + 1, width), staging[staged - 1]));
        p += 1 + 8 * width;
        staged += p == end ? last_group : kWindow;
    }
    return std::min(staged, DECODE_MAX_VALUES);
}

template <class Ops>
int32_t decode_deltas(const uint8_t* stream, float* values, int32_t count)
{
    if (count <= 0) {
        return 0;
    }
    if (count % 2 == 0) {
        return decode<Ops, kExpandPairs<Ops>>(stream, values, count);
    }
    const uint8_t form = stream[0];
    const int32_t end = count - ((form & format::kPaddedFlag) != 0 ? 1 : 0);
    switch (form & ~format::kPaddedFlag) {
        case format::kPackedForm: {
            alignas(64) uint8_t staging[DECODE_MAX_VALUES + kWindow];
            const int32_t size = expand_packed<Ops>(stream, end, staging);
            level_values<Ops>(staging, values, size);
            return size;
        }
        case format::kLevelsForm: {
            const int32_t n = std::clamp(end - 1, 0, DECODE_MAX_VALUES);
            level_values<Ops>(stream + 1, values, n);
            return n;
        }
        default:
            return 0;
    }
}

// ---- Packets ----------------------------------------------------------------

// Copies n >= 0 bytes a window at a time: the first window where it falls,
// then windows stored at 64-byte boundaries (a store across two cache lines
// costs two), then the last window placed to end at the last byte, so nothing
// outside either range is touched. A full packet is copied by a fixed
// sequence of windows.
template <class Primitives>
struct WindowCopy {
    [[gnu::always_inline]] static void copy(uint8_t* to, const uint8_t* from, int32_t n)
    {
        if (n == PACKET_DATA_SIZE) {  // a full packet: a fixed sequence, no loop to mispredict
            for (int32_t i = 0; i + kWindow < PACKET_DATA_SIZE; i += kWindow) {
                Primitives::store(to + i, Primitives::load(from + i));
            }
            Primitives::store(to + PACKET_DATA_SIZE - kWindow, Primitives::load(from + PACKET_DATA_SIZE - kWindow));
            return;
        }
        if (n < kWindow) {
            Primitives::copy_short(to, from, n);
            return;
        }
        Primitives::store(to, Primitives::load(from));
        const auto misalignment = static_cast<int32_t>(reinterpret_cast<uintptr_t>(to) % kWindow);
        for (int32_t i = kWindow - misalignment; i + kWindow < n; i += kWindow) {
            Primitives::store(to + i, Primitives::load(from + i));
        }
        Primitives::store(to + n - kWindow, Primitives::load(from + n - kWindow));
    }
};

#include "comm/framing.hpp"

// The path's table entry.
template <class Primitives>
constexpr CodecPath make_path(const char* name, CpuFeatures needs) noexcept
{
    return {name,
            needs,
            quantise<Primitives>,
            level_values<Primitives>,
            encode<Primitives, PairMethod>,
            decode<Primitives, kExpandPairs<Primitives>>,
            encode<Primitives, EscapedMethod>,
            decode<Primitives, kExpandEscaped<Primitives>>,
            encode_deltas<Primitives>,
            decode_deltas<Primitives>,
            split_packets<WindowCopy<Primitives>>,
            merge_packets<WindowCopy<Primitives>>};
}

}  // namespace comm::detail::COMM_VECTOR_TARGET

#endif  // COMM_VECTOR_CODERS_HPP
