// The step-by-step coders: each format written out the plainest way, one value
// or token at a time, with the same signatures and bounds as the library's.
// The tests, the fuzz targets and the benchmark (as the "before") hold every
// path of the library against these. Also helpers to build blocks with chosen
// levels.
#ifndef REFERENCE_REFERENCE_HPP
#define REFERENCE_REFERENCE_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "comm/Comm.h"
#include "comm/sample_level.hpp"

namespace reference {

using Bytes = std::vector<uint8_t>;
using Levels = std::vector<uint8_t>;

// How many values from values[i] on have its level, max_run at most.
inline int32_t run_length(const float* values, int32_t i, int32_t n, int32_t max_run)
{
    const uint8_t level = comm::quantise(values[i]);
    int32_t length = 1;
    while (i + length < n && length < max_run && comm::quantise(values[i + length]) == level) {
        ++length;
    }
    return length;
}

// Pair stream: each run of up to 256 equal levels as (length - 1, level).
inline int32_t encode_pairs(const float* values, uint8_t* stream, int32_t n)
{
    if (n <= 0 || n > ENCODE_MAX_VALUES) {
        return 0;
    }
    int32_t out = 0;
    for (int32_t i = 0; i < n;) {
        const uint8_t level = comm::quantise(values[i]);
        const int32_t length = run_length(values, i, n, 256);
        stream[out++] = static_cast<uint8_t>(length - 1);
        stream[out++] = level;
        i += length;
    }
    return out;
}

// Escaped stream: a run of one is a literal (255 as FF FF), a run of 2 to 254
// is FF length level.
inline int32_t encode_escaped(const float* values, uint8_t* stream, int32_t n)
{
    if (n <= 0 || n > ENCODE_MAX_VALUES) {
        return 0;
    }
    int32_t out = 0;
    for (int32_t i = 0; i < n;) {
        const uint8_t level = comm::quantise(values[i]);
        const int32_t length = run_length(values, i, n, 254);
        if (length > 1) {
            stream[out++] = 0xFF;
            stream[out++] = static_cast<uint8_t>(length);
            stream[out++] = level;
        } else {
            stream[out++] = level;
            if (level == 0xFF) {
                stream[out++] = 0xFF;
            }
        }
        i += length;
    }
    return out;
}

// Appends up to `length` values of `level`, stopping at DECODE_MAX_VALUES.
inline void put_run(float* values, int32_t& written, uint8_t level, int32_t length)
{
    for (int32_t k = 0; k < length && written < DECODE_MAX_VALUES; ++k) {
        values[written++] = comm::level_value(level);
    }
}

// A trailing half pair is ignored.
inline int32_t decode_pairs(const uint8_t* stream, float* values, int32_t count)
{
    int32_t written = 0;
    for (int32_t p = 0; p + 1 < count && written < DECODE_MAX_VALUES; p += 2) {
        put_run(values, written, stream[p + 1], stream[p] + 1);
    }
    return written;
}

// A token cut off by the end of the stream ends decoding.
inline int32_t decode_escaped(const uint8_t* stream, float* values, int32_t count)
{
    int32_t written = 0;
    int32_t p = 0;
    while (p < count && written < DECODE_MAX_VALUES) {
        if (stream[p] != 0xFF) {
            put_run(values, written, stream[p], 1);
            p += 1;
        } else if (p + 1 < count && stream[p + 1] == 0xFF) {
            put_run(values, written, 0xFF, 1);
            p += 2;
        } else if (p + 2 < count) {
            put_run(values, written, stream[p + 2], stream[p + 1]);
            p += 3;
        } else {
            break;
        }
    }
    return written;
}

// Delta stream: the pair stream, unless packed deltas or the plain levels,
// each after a form byte and padded to an odd length, are smaller.

// A level minus the one before, modulo 256, as a signed delta, then folded:
// 0, -1, 1, -2 ... -> 0, 1, 2, 3 ...
inline uint8_t delta_code(uint8_t level, uint8_t before)
{
    const int difference = static_cast<uint8_t>(level - before);
    const int delta = difference < 128 ? difference : difference - 256;
    return static_cast<uint8_t>(delta >= 0 ? 2 * delta : -2 * delta - 1);
}

inline uint8_t level_after(uint8_t before, uint8_t code)
{
    const int delta = code % 2 == 0 ? code / 2 : -(code + 1) / 2;
    return static_cast<uint8_t>(before + delta);
}

// The form byte, with the padding flag and byte when the stream is even.
inline Bytes made_odd(Bytes stream)
{
    if (stream.size() % 2 == 0) {
        stream[0] |= 0x04;
        stream.push_back(0);
    }
    return stream;
}

inline Bytes packed_deltas(const Levels& levels)
{
    const size_t n = levels.size();
    Bytes out = {0x00, levels[0], static_cast<uint8_t>((n - 1) % 64)};
    for (size_t g = 1; g < n; g += 64) {
        uint8_t codes[64] = {};
        int width = 0;
        for (size_t j = 0; j < 64 && g + j < n; ++j) {
            codes[j] = delta_code(levels[g + j], levels[g + j - 1]);
            while ((codes[j] >> width) != 0) {
                ++width;
            }
        }
        out.push_back(static_cast<uint8_t>(width));
        for (int b = 0; b < width; ++b) {
            for (size_t k = 0; k < 8; ++k) {
                uint8_t plane_byte = 0;
                for (size_t bit = 0; bit < 8; ++bit) {
                    plane_byte |= static_cast<uint8_t>(((codes[8 * k + bit] >> b) & 1) << bit);
                }
                out.push_back(plane_byte);
            }
        }
    }
    return made_odd(out);
}

inline int32_t encode_deltas(const float* values, uint8_t* stream, int32_t n)
{
    if (n <= 0 || n > ENCODE_MAX_VALUES) {
        return 0;
    }
    Levels levels;
    for (int32_t i = 0; i < n; ++i) {
        levels.push_back(comm::quantise(values[i]));
    }
    Bytes best(2 * levels.size());
    best.resize(static_cast<size_t>(encode_pairs(values, best.data(), n)));
    Bytes plain = {0x01};
    plain.insert(plain.end(), levels.begin(), levels.end());
    for (const Bytes& candidate : {packed_deltas(levels), made_odd(plain)}) {
        if (candidate.size() < best.size()) {
            best = candidate;
        }
    }
    std::copy(best.begin(), best.end(), stream);
    return static_cast<int32_t>(best.size());
}

// An even count is a pair stream; an odd one starts with its form byte.
inline int32_t decode_deltas(const uint8_t* stream, float* values, int32_t count)
{
    if (count <= 0) {
        return 0;
    }
    if (count % 2 == 0) {
        return decode_pairs(stream, values, count);
    }
    const int32_t end = (stream[0] & 0x04) != 0 ? count - 1 : count;
    const int form = stream[0] & ~0x04;
    int32_t written = 0;
    if (form == 0x01) {
        for (int32_t p = 1; p < end; ++p) {
            put_run(values, written, stream[p], 1);
        }
        return written;
    }
    if (form != 0x00 || end < 3 || stream[2] >= 64) {
        return 0;
    }
    uint8_t level = stream[1];
    put_run(values, written, level, 1);
    for (int32_t p = 3; p < end && written < DECODE_MAX_VALUES;) {
        const int width = stream[p];
        const int32_t group_end = p + 1 + 8 * width;
        if (width > 8 || group_end > end) {
            break;
        }
        const int kept = group_end == end && stream[2] != 0 ? stream[2] : 64;
        for (int j = 0; j < kept; ++j) {
            uint8_t code = 0;
            for (int b = 0; b < width; ++b) {
                code |= static_cast<uint8_t>(((stream[p + 1 + 8 * b + j / 8] >> (j % 8)) & 1) << b);
            }
            level = level_after(level, code);
            put_run(values, written, level, 1);
        }
        p = group_end;
    }
    return written;
}

// Values whose levels are exactly `levels`.
inline std::vector<float> values_of(const Levels& levels)
{
    std::vector<float> values;
    values.reserve(levels.size());
    for (const uint8_t b : levels) {
        values.push_back(comm::level_value(b));
    }
    return values;
}

inline Levels levels_of(const std::vector<float>& values)
{
    Levels levels;
    levels.reserve(values.size());
    for (const float v : values) {
        levels.push_back(comm::quantise(v));
    }
    return levels;
}

// The stream of a block of levels, as a reference encoder writes it.
using Encoder = int32_t (*)(const float*, uint8_t*, int32_t);
inline Bytes stream_of(Encoder encoder, const Levels& levels)
{
    const std::vector<float> values = values_of(levels);
    Bytes stream(2 * levels.size());
    stream.resize(static_cast<size_t>(encoder(values.data(), stream.data(), static_cast<int32_t>(levels.size()))));
    return stream;
}

inline Bytes encode_pairs(const Levels& levels)
{
    return stream_of(encode_pairs, levels);
}

inline Bytes encode_escaped(const Levels& levels)
{
    return stream_of(encode_escaped, levels);
}

inline Bytes encode_deltas(const Levels& levels)
{
    return stream_of(encode_deltas, levels);
}

}  // namespace reference

#endif  // REFERENCE_REFERENCE_HPP
