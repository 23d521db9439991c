#include "bench/data_sets.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "comm/sample_level.hpp"
#include "reference/signals.hpp"

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

// The speech recording the build wrote, if any.
#ifdef COMM_SPEECH_WAV
constexpr const char* kSpeechFile = COMM_SPEECH_WAV;
#else
constexpr const char* kSpeechFile = nullptr;
#endif

uint32_t little_endian(const std::string& bytes, size_t at, size_t size)
{
    uint32_t value = 0;
    for (size_t k = size; k > 0; --k) {
        value = (value << 8) | static_cast<uint8_t>(bytes[at + k - 1]);
    }
    return value;
}

// The samples of a mono 16-bit PCM WAV file; empty if the file is missing or
// in any other form.
std::vector<int16_t> read_pcm16(const char* path)
{
    if (path == nullptr) {
        return {};
    }
    std::ifstream in(path, std::ios::binary);
    const std::string file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (file.size() < 12 || file.compare(0, 4, "RIFF") != 0 || file.compare(8, 4, "WAVE") != 0) {
        return {};
    }
    bool mono_pcm16 = false;
    for (size_t at = 12; at + 8 <= file.size();) {
        const std::string id = file.substr(at, 4);
        const size_t size = std::min<size_t>(little_endian(file, at + 4, 4), file.size() - at - 8);
        if (id == "fmt " && size >= 16) {
            mono_pcm16 = little_endian(file, at + 8, 2) == 1 && little_endian(file, at + 10, 2) == 1 &&
                         little_endian(file, at + 22, 2) == 16;
        } else if (id == "data" && mono_pcm16) {
            std::vector<int16_t> samples(size / 2);
            for (size_t i = 0; i < samples.size(); ++i) {
                samples[i] = static_cast<int16_t>(little_endian(file, at + 8 + 2 * i, 2));
            }
            return samples;
        }
        at += 8 + size + size % 2;
    }
    return {};
}

// The recording from its first sound on (the leading silence says little),
// repeated if the block is longer; the voiced signal where there is none.
std::vector<float> speech(std::int32_t n)
{
    const std::vector<int16_t> samples = read_pcm16(kSpeechFile);
    constexpr int kSilence = 300;
    const auto first = std::find_if(samples.begin(), samples.end(), [](int16_t s) { return std::abs(s) > kSilence; });
    if (first == samples.end()) {
        return signals::voiced(static_cast<size_t>(n), 4U);
    }
    const std::vector<int16_t> heard(first, samples.end());
    std::vector<float> values(static_cast<size_t>(n));
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = signals::pcm16_value(heard[i % heard.size()]);
    }
    return values;
}

// The sine's period: a few blocks of 1900 values.
constexpr double kSensorPeriod = 5000.0;

}  // namespace

bool speech_is_recorded()
{
    return !read_pcm16(kSpeechFile).empty();
}

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
        case DataSet::sensor_fine:
            return "sensor_fine";
        case DataSet::sensor_coarse:
            return "sensor_coarse";
        case DataSet::speech:
            return "speech";
        case DataSet::white_noise:
            return "white_noise";
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
        case DataSet::sensor_fine:
            return signals::sensor(static_cast<size_t>(n), 0.5, kSensorPeriod, 5U);
        case DataSet::sensor_coarse:
            return signals::sensor(static_cast<size_t>(n), 3.0, kSensorPeriod, 6U);
        case DataSet::speech:
            return speech(n);
        case DataSet::white_noise:
            return signals::white_noise(static_cast<size_t>(n), 7U);
    }
    return {};
}

}  // namespace bench
