// The portable coders: plain C++ for every CPU, exact under any rounding mode.
// On x86-64 the quantising loop uses SSE2, part of every x86-64 CPU.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "comm/Comm.h"
#include "comm/codec_paths.hpp"
#include "comm/format_constants.hpp"
#include "comm/sample_level.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace comm::detail {
namespace {

using format::kEscape;
using format::kQuantiseChunk;  // typical blocks fit in one chunk: quantise all, then code all

void quantise_block(const float* values, uint8_t* levels, int32_t n)
{
    int32_t i = 0;
#if defined(__SSE2__)
    // The rule of comm::quantise four values at a time: clamp (max first, so
    // that NaN, which max passes on from its second operand, becomes 0), then
    // the exact product in double, truncated. Exact, so the same under any
    // rounding mode.
    const __m128d scale = _mm_set1_pd(static_cast<double>(kLevelScale));
    for (; i + 16 <= n; i += 16) {
        __m128i q[4];
        for (std::ptrdiff_t k = 0; k < 4; ++k) {
            const __m128 x = _mm_loadu_ps(values + i + 4 * k);
            const __m128 clamped = _mm_min_ps(_mm_max_ps(x, _mm_setzero_ps()), _mm_set1_ps(1.0F));
            const __m128i low = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtps_pd(clamped), scale));
            const __m128i high = _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(clamped, clamped)), scale));
            q[k] = _mm_unpacklo_epi64(low, high);
        }
        const __m128i words = _mm_packs_epi32(q[0], q[1]);
        const __m128i words2 = _mm_packs_epi32(q[2], q[3]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(levels + i), _mm_packus_epi16(words, words2));
    }
#endif
    for (; i < n; ++i) {
        levels[i] = quantise(values[i]);
    }
}

void level_values_block(const uint8_t* levels, float* values, int32_t n)
{
    for (int32_t i = 0; i < n; ++i) {
        values[i] = level_value(levels[i]);
    }
}

// Calls emit(level, length) for each run of equal levels of the block (n >= 1),
// in order, with a run longer than MaxRun cut into pieces of MaxRun values and
// a remainder. The piece after a cut starts a new run even at the same level.
// Returns the emitter, whose state thus stays in registers during the loop.
template <int32_t MaxRun, typename Emit>
Emit for_each_run(const float* values, int32_t n, Emit emit)
{
    uint8_t levels[kQuantiseChunk];
    uint8_t level = 0;
    int32_t run = 0;  // values of `level` so far
    for (int32_t base = 0; base < n; base += kQuantiseChunk) {
        const int32_t size = std::min(kQuantiseChunk, n - base);
        quantise_block(values + base, levels, size);
        if (base == 0) {
            level = levels[0];  // so the first value extends the run
        }
        for (int32_t i = 0; i < size; ++i) {
            if (levels[i] != level || run == MaxRun) {
                emit(level, run);
                level = levels[i];
                run = 0;
            }
            ++run;
        }
    }
    emit(level, run);
    return emit;
}

// Writes each run as a pair: count - 1, level.
struct PairWriter {
    uint8_t* out;
    void operator()(uint8_t level, int32_t run)
    {
        out[0] = static_cast<uint8_t>(run - 1);
        out[1] = level;
        out += 2;
    }
};

// Writes a run of one as a literal (255 escaped as FF FF) and a longer one,
// 2 to 254 values, as FF count level.
struct EscapedWriter {
    uint8_t* out;
    void operator()(uint8_t level, int32_t run)
    {
        if (run == 1) {
            *out++ = level;
            if (level == kEscape) {
                *out++ = kEscape;
            }
        } else {
            out[0] = kEscape;
            out[1] = static_cast<uint8_t>(run);
            out[2] = level;
            out += 3;
        }
    }
};

// An encoder: quantise, then write each run with Writer.
template <int32_t MaxRun, typename Writer>
int32_t encode_runs(const float* values, uint8_t* stream, int32_t n)
{
    if (n <= 0 || n > ENCODE_MAX_VALUES) {
        return 0;
    }
    const uint8_t* end = for_each_run<MaxRun>(values, n, Writer{stream}).out;
    return static_cast<int32_t>(end - stream);
}

// Whether any of the 8 bytes at `bytes` is the escape byte.
bool has_escape(const uint8_t* bytes)
{
    uint64_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    const uint64_t inverted = ~word;  // an escape byte becomes a zero byte
    constexpr uint64_t kOnes = 0x0101010101010101U;
    constexpr uint64_t kHighs = 0x8080808080808080U;
    return ((inverted - kOnes) & ~inverted & kHighs) != 0;
}

// Appends `run` copies of the value of `level` after the `written` values
// already in `values`, as far as the decoder's capacity allows. Returns the
// new number of values written.
int32_t put_run(float* values, int32_t written, uint8_t level, int32_t run)
{
    const int32_t room = DECODE_MAX_VALUES - written;
    run = std::min(run, room);
    std::fill_n(values + written, run, level_value(level));
    return written + run;
}

int32_t encode_pairs(const float* values, uint8_t* stream, int32_t n)
{
    return encode_runs<format::kPairMaxRun, PairWriter>(values, stream, n);
}

int32_t decode_pairs(const uint8_t* stream, float* values, int32_t count)
{
    const int32_t end = count > 0 ? count - 1 : 0;  // a whole pair starts before this
    int32_t written = 0;
    int32_t p = 0;
    // While any run fits, no clamping: a run of one is a single store.
    for (; p < end && written <= DECODE_MAX_VALUES - format::kPairMaxRun; p += 2) {
        const float value = level_value(stream[p + 1]);
        const int32_t run = stream[p] + 1;
        values[written] = value;
        for (int32_t k = 1; k < run; ++k) {
            values[written + k] = value;
        }
        written += run;
    }
    for (; p < end && written < DECODE_MAX_VALUES; p += 2) {
        written = put_run(values, written, stream[p + 1], stream[p] + 1);
    }
    return written;
}

int32_t encode_escaped(const float* values, uint8_t* stream, int32_t n)
{
    return encode_runs<format::kEscapedMaxRun, EscapedWriter>(values, stream, n);
}

int32_t decode_escaped(const uint8_t* stream, float* values, int32_t count)
{
    int32_t written = 0;
    int32_t p = 0;
    while (p < count && written < DECODE_MAX_VALUES) {
        const int32_t left = count - p;
        if (left >= 8 && written <= DECODE_MAX_VALUES - 8 && !has_escape(stream + p)) {
            for (int32_t k = 0; k < 8; ++k) {  // eight literals, the common case in noisy data
                values[written + k] = level_value(stream[p + k]);
            }
            written += 8;
            p += 8;
        } else if (stream[p] != kEscape) {
            values[written++] = level_value(stream[p]);
            p += 1;
        } else if (left >= 2 && stream[p + 1] == kEscape) {
            values[written++] = level_value(kEscape);
            p += 2;
        } else if (left >= 3) {
            written = put_run(values, written, stream[p + 2], stream[p + 1]);
            p += 3;
        } else {
            break;  // the stream ends inside a token
        }
    }
    return written;
}

struct LibraryCopy {
    // Not inlined, so the compiler cannot see that n is at most 650 and
    // expand the copy in place (GCC does, as rep movs, several times slower
    // than the C library's memcpy).
    [[gnu::noinline]] static void copy(uint8_t* to, const uint8_t* from, int32_t n)
    {
        if (n > 0) {
            std::memcpy(to, from, static_cast<size_t>(n));
        }
    }
};

#include "comm/framing.hpp"

}  // namespace

constinit const CodecPath portable_path = {
    "portable",
    {},
    quantise_block,
    level_values_block,
    encode_pairs,
    decode_pairs,
    encode_escaped,
    decode_escaped,
    split_packets<LibraryCopy>,
    merge_packets<LibraryCopy>,
};

}  // namespace comm::detail
