#include "bench/data_sets.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <random>

#include "comm/sample_level.hpp"

namespace bench {
namespace {

// Run lengths of the plateau and long-run sets, inclusive.
constexpr uint32_t kPlateauShortest = 30;
constexpr uint32_t kPlateauLongest = 50;
constexpr uint32_t kLongRunShortest = 257;
constexpr uint32_t kLongRunLongest = 1000;

// A uniform float in [0, 1) from 24 random bits: exact, and the same on every
// platform (std::mt19937's output is fixed by the standard, unlike the
// standard distributions).
float unit_float(std::mt19937& gen)
{
    return static_cast<float>(gen() >> 8) * 0x1p-24F;
}

uint32_t between(std::mt19937& gen, uint32_t low, uint32_t high)
{
    return low + static_cast<uint32_t>(gen() % (high - low + 1));
}

// A value of `level`, somewhere inside its interval rather than always the
// level's own value, so that equal levels are seldom equal floats. Level 255
// holds 1 and everything above it (clamped).
float value_in_level(uint8_t level, std::mt19937& gen)
{
    if (level == 255) {
        return 1.0F + unit_float(gen);
    }
    const float v = (static_cast<float>(level) + unit_float(gen)) / 255.0F;
    return comm::quantise(v) == level ? v : comm::level_value(level);
}

// Runs of random lengths in [shortest, longest], each at a level other than
// the previous run's.
std::vector<float> runs(std::int32_t n, uint32_t shortest, uint32_t longest, uint32_t seed)
{
    std::vector<float> values(static_cast<size_t>(n));
    std::mt19937 gen(seed);
    uint32_t previous = 256;  // no level
    for (size_t i = 0; i < values.size();) {
        const size_t length = between(gen, shortest, longest);
        uint32_t level = between(gen, 0, 255);
        while (level == previous) {
            level = between(gen, 0, 255);
        }
        previous = level;
        for (size_t k = 0; k < length && i < values.size(); ++k) {
            values[i++] = value_in_level(static_cast<uint8_t>(level), gen);
        }
    }
    return values;
}

}  // namespace

const char* data_set_name(DataSet set)
{
    switch (set) {
        case DataSet::uniform:
            return "uniform";
        case DataSet::plateau:
            return "plateau";
        case DataSet::long_runs:
            return "long_runs";
        case DataSet::heavy_255:
            return "heavy_255";
    }
    return "?";
}

std::vector<float> make_data_set(DataSet set, std::int32_t n)
{
    switch (set) {
        case DataSet::uniform: {
            std::vector<float> values(static_cast<size_t>(n));
            // The round-trip program's samples, so the block is one it could report on:
            // the float nearest to rand() / RAND_MAX.
            static_assert(RAND_MAX == 2147483647, "the uniform block assumes rand() spans 0..2147483647");
            std::srand(kUniformSeed);
            std::generate(values.begin(), values.end(),
                          [] { return comm::nearest_float(static_cast<uint32_t>(std::rand()), RAND_MAX); });
            return values;
        }
        case DataSet::plateau:
            return runs(n, kPlateauShortest, kPlateauLongest, 1U);
        case DataSet::long_runs:
            return runs(n, kLongRunShortest, kLongRunLongest, 2U);
        case DataSet::heavy_255: {
            std::vector<float> values(static_cast<size_t>(n));
            std::mt19937 gen(3U);
            std::generate(values.begin(), values.end(),
                          [&gen] { return gen() % 2 == 0 ? value_in_level(255, gen) : unit_float(gen); });
            return values;
        }
    }
    return {};
}

}  // namespace bench
