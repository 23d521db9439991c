// Random blocks of 1 to 5700 values through every method and the framing:
// exact round trips, the stream size bounds, and agreement with the
// step-by-step reference coders.
#include <algorithm>
#include <bit>
#include <ostream>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "comm/Comm.h"
#include "comm/codec_paths.hpp"
#include "emulation.hpp"
#include "reference/reference.hpp"
#include "reference/signals.hpp"

namespace {

using reference::Bytes;
using reference::Levels;

constexpr int kBlocksPerKind = static_cast<int>(20000 / kEmulatedThinning);
constexpr int kBlocksPerSignal =
    static_cast<int>(4000 / kEmulatedThinning);  // slices of one signal: fewer tell as much

using Generator = void (*)(std::mt19937&, std::vector<float>&);

uint8_t random_level(std::mt19937& rng)
{
    return static_cast<uint8_t>(rng() & 0xFF);
}

// Runs of one level each, with lengths drawn by `length`.
template <typename Length, typename Level>
void fill_runs(std::mt19937& rng, std::vector<float>& values, Length length, Level level)
{
    for (size_t i = 0; i < values.size();) {
        const size_t run = length(rng);
        const float value = comm::level_value(level(rng));
        for (size_t k = 0; k < run && i < values.size(); ++k, ++i) {
            values[i] = value;
        }
    }
}

void uniform(std::mt19937& rng, std::vector<float>& values)
{
    std::uniform_real_distribution<float> dist(0.0F, 1.0F);
    std::generate(values.begin(), values.end(), [&] { return dist(rng); });
}

void constant(std::mt19937& rng, std::vector<float>& values)
{
    std::fill(values.begin(), values.end(), comm::level_value(random_level(rng)));
}

// Plateaus whose lengths sit around the cuts of both methods (254/256, 508/512).
void plateaus(std::mt19937& rng, std::vector<float>& values)
{
    const auto length = [](std::mt19937& r) -> size_t {
        const size_t near = r() % 2 == 0 ? 253 : 510;
        return near + r() % 6;
    };
    fill_runs(rng, values, length, random_level);
}

void mostly_255(std::mt19937& rng, std::vector<float>& values)
{
    const auto length = [](std::mt19937& r) -> size_t { return 1 + r() % 4; };
    const auto level = [](std::mt19937& r) -> uint8_t { return r() % 4 == 0 ? random_level(r) : 255; };
    fill_runs(rng, values, length, level);
}

void alternating_254_255(std::mt19937& rng, std::vector<float>& values)
{
    const size_t phase = rng() % 2;
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = comm::level_value((i + phase) % 2 == 0 ? 254 : 255);
    }
}

// Raw bit patterns: NaN, infinities, negatives, values above 1 and subnormals,
// which code as their clamped levels.
void any_floats(std::mt19937& rng, std::vector<float>& values)
{
    std::generate(values.begin(), values.end(), [&] { return std::bit_cast<float>(static_cast<uint32_t>(rng())); });
}

// The benchmark's signal shapes: a block is a slice, at a random place, of a
// long signal made once (the voiced one is slow to make).
constexpr size_t kSignalLength = size_t{16} * DECODE_MAX_VALUES;

void slice_of(const std::vector<float>& signal, std::mt19937& rng, std::vector<float>& values)
{
    const auto at = static_cast<std::ptrdiff_t>(rng() % (signal.size() - values.size() + 1));
    std::copy_n(signal.begin() + at, values.size(), values.begin());
}

void sensor_fine(std::mt19937& rng, std::vector<float>& values)
{
    static const std::vector<float> signal = signals::sensor(kSignalLength, 0.5, 5000.0, 11U);
    slice_of(signal, rng, values);
}

void sensor_coarse(std::mt19937& rng, std::vector<float>& values)
{
    static const std::vector<float> signal = signals::sensor(kSignalLength, 3.0, 1000.0, 12U);
    slice_of(signal, rng, values);
}

void voiced(std::mt19937& rng, std::vector<float>& values)
{
    static const std::vector<float> signal = signals::voiced(kSignalLength, 13U);
    slice_of(signal, rng, values);
}

void white_noise(std::mt19937& rng, std::vector<float>& values)
{
    static const std::vector<float> signal = signals::white_noise(kSignalLength, 14U);
    slice_of(signal, rng, values);
}

struct Kind {
    const char* name;
    Generator generate;
    int blocks = kBlocksPerKind;
};

// Failure messages name the kind (GoogleTest would print the struct's bytes).
void PrintTo(const Kind& kind, std::ostream* out)
{
    *out << kind.name;
}

class RandomBlocks : public testing::TestWithParam<Kind> {};

// Checks one block on one path; returns a description of the first fault, or "".
std::string check_block(const comm::detail::CodecPath& path, const std::vector<float>& values)
{
    const auto n = static_cast<int32_t>(values.size());
    const Levels levels = reference::levels_of(values);
    const bool all_distinct_no_255 = std::adjacent_find(levels.begin(), levels.end()) == levels.end() &&
                                     std::find(levels.begin(), levels.end(), 255) == levels.end();

    Bytes stream(2 * values.size());
    std::vector<packet> packets(stream.size() / PACKET_DATA_SIZE + 1);
    Bytes merged(stream.size());
    std::vector<float> decoded(DECODE_MAX_VALUES);

    const Bytes pairs = reference::encode_pairs(levels);
    for (const int method : {1, 2, 3}) {
        const auto encoder = method == 1 ? path.encode : (method == 2 ? path.encode2 : path.encode3);
        const int32_t size = encoder(values.data(), stream.data(), n);
        const Bytes expected = method == 1   ? pairs
                               : method == 2 ? reference::encode_escaped(levels)
                                             : reference::encode_deltas(levels);
        const std::string where =
            std::string(path.name) + ", method " + std::to_string(method) + ", n " + std::to_string(n) + ": ";
        if (!std::equal(stream.begin(), stream.begin() + size, expected.begin(), expected.end())) {
            return where + "stream differs from the reference";
        }
        if (method == 1 && (size % 2 != 0 || size < 2 * ((n + 255) / 256) || size > 2 * n)) {
            return where + "size " + std::to_string(size) + " out of bounds";
        }
        if (method == 2 && (size > 2 * n || (all_distinct_no_255 && size != n))) {
            return where + "size " + std::to_string(size) + " out of bounds";
        }
        if (method == 3 && (size > std::min<int32_t>(static_cast<int32_t>(pairs.size()), n + 2))) {
            return where + "size " + std::to_string(size) + " out of bounds";
        }

        const int32_t parts = split(stream.data(), packets.data(), size);
        if (parts != (size + PACKET_DATA_SIZE - 1) / PACKET_DATA_SIZE ||
            merge(packets.data(), merged.data(), parts) != size ||
            !std::equal(stream.begin(), stream.begin() + size, merged.begin())) {
            return where + "framing did not reproduce the stream";
        }

        const auto decoder = method == 1 ? path.decode : (method == 2 ? path.decode2 : path.decode3);
        const int32_t count = decoder(merged.data(), decoded.data(), size);
        if (count != n) {
            return where + "decoded " + std::to_string(count) + " values";
        }
        for (int32_t i = 0; i < n; ++i) {
            if (comm::quantise(decoded[i]) != levels[i]) {
                return where + "level differs at index " + std::to_string(i);
            }
        }
    }
    return "";
}

TEST_P(RandomBlocks, RoundTripExactlyWithinTheSizeBounds)
{
    std::mt19937 rng(static_cast<uint32_t>(std::hash<std::string>{}(GetParam().name)));
    std::uniform_int_distribution<size_t> size(1, DECODE_MAX_VALUES);
    std::vector<float> values;
    for (int block = 0; block < GetParam().blocks; ++block) {
        values.resize(size(rng));
        GetParam().generate(rng, values);
        for (const comm::detail::CodecPath* path : comm::detail::runnable_paths()) {
            const std::string fault = check_block(*path, values);
            ASSERT_EQ(fault, "") << "block " << block;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, RandomBlocks,
    testing::Values(Kind{"uniform", uniform}, Kind{"constant", constant}, Kind{"plateaus", plateaus},
                    Kind{"mostly_255", mostly_255}, Kind{"alternating_254_255", alternating_254_255},
                    Kind{"any_floats", any_floats}, Kind{"sensor_fine", sensor_fine, kBlocksPerSignal},
                    Kind{"sensor_coarse", sensor_coarse, kBlocksPerSignal}, Kind{"voiced", voiced, kBlocksPerSignal},
                    Kind{"white_noise", white_noise, kBlocksPerSignal}),
    [](const testing::TestParamInfo<Kind>& param) { return std::string(param.param.name); });

}  // namespace
