// Plain, obviously-correct versions of the stream formats, for checking the
// library's fast ones, and helpers to build blocks with chosen levels.
#ifndef TESTS_REFERENCE_HPP
#define TESTS_REFERENCE_HPP

#include <cstdint>
#include <utility>
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

// The runs of equal levels, in order, each cut after max_run values.
inline std::vector<std::pair<uint8_t, unsigned>> runs_of(const Levels& levels, unsigned max_run)
{
    std::vector<std::pair<uint8_t, unsigned>> runs;
    for (const uint8_t level : levels) {
        if (runs.empty() || runs.back().first != level || runs.back().second == max_run) {
            runs.emplace_back(level, 0);
        }
        ++runs.back().second;
    }
    return runs;
}

// Pair coding: each run of up to 256 as (length - 1, level).
inline Bytes encode_pairs(const Levels& levels)
{
    Bytes out;
    for (const auto& [level, run] : runs_of(levels, 256)) {
        out.insert(out.end(), {static_cast<uint8_t>(run - 1), level});
    }
    return out;
}

// Escaped coding: runs close at 254; a lone level is a literal (255 escaped
// as FF FF), a longer run is FF length level.
inline Bytes encode_escaped(const Levels& levels)
{
    Bytes out;
    for (const auto& [level, run] : runs_of(levels, 254)) {
        if (run > 1) {
            out.insert(out.end(), {0xFF, static_cast<uint8_t>(run), level});
        } else if (level == 0xFF) {
            out.insert(out.end(), {0xFF, 0xFF});
        } else {
            out.push_back(level);
        }
    }
    return out;
}

}  // namespace reference

#endif  // TESTS_REFERENCE_HPP
