// Plain, obviously-correct versions of the stream formats, for checking the
// library's fast ones, and helpers to build blocks with chosen levels.
#ifndef TESTS_REFERENCE_HPP
#define TESTS_REFERENCE_HPP

#include <cstdint>
#include <vector>

#include "comm/sample_level.hpp"

namespace reference {

using Bytes = std::vector<uint8_t>;
using Levels = std::vector<uint8_t>;

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

// Pair coding, step by step: extend a run while the level repeats and the
// repeat count is below 255, then emit (count, level).
inline Bytes encode_pairs(const Levels& levels)
{
    Bytes out;
    for (size_t i = 0; i < levels.size();) {
        const uint8_t v = levels[i++];
        unsigned r = 0;
        while (i < levels.size() && levels[i] == v && r < 255) {
            ++r;
            ++i;
        }
        out.push_back(static_cast<uint8_t>(r));
        out.push_back(v);
    }
    return out;
}

// Escaped coding, step by step: runs close at 254 values; a lone level is a
// literal (255 escaped as FF FF), a longer run is FF count level.
inline Bytes encode_escaped(const Levels& levels)
{
    Bytes out;
    for (size_t i = 0; i < levels.size();) {
        const uint8_t v = levels[i++];
        unsigned run = 1;
        while (i < levels.size() && levels[i] == v && run < 254) {
            ++run;
            ++i;
        }
        if (run == 1) {
            out.push_back(v);
            if (v == 0xFF) {
                out.push_back(0xFF);
            }
        } else {
            out.insert(out.end(), {0xFF, static_cast<uint8_t>(run), v});
        }
    }
    return out;
}

}  // namespace reference

#endif  // TESTS_REFERENCE_HPP
