// The benchmark's data sets have the shapes its table names them by, its output
// checks catch the faults a fast path could have, and its cells summarise
// repetitions as they claim.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "bench/data_sets.hpp"
#include "bench/output_checks.hpp"
#include "bench/spread.hpp"
#include "comm/codec_paths.hpp"
#include "reference/reference.hpp"

namespace {

using bench::DataSet;

// Lengths of the maximal runs of equal levels, in order.
std::vector<int> run_lengths(const reference::Levels& levels)
{
    std::vector<int> lengths;
    for (size_t i = 0; i < levels.size();) {
        size_t j = i + 1;
        while (j < levels.size() && levels[j] == levels[i]) {
            ++j;
        }
        lengths.push_back(static_cast<int>(j - i));
        i = j;
    }
    return lengths;
}

reference::Levels levels_of(DataSet set, int32_t n)
{
    return reference::levels_of(bench::make_data_set(set, n));
}

TEST(BenchDataSets, UniformIsTheRoundTripProgramsBlockForItsSeed)
{
    const std::vector<float> values = bench::make_data_set(DataSet::uniform, bench::kBlockValues);
    const reference::Levels levels = reference::levels_of(values);
    // The round-trip program reports these sizes for the same seed (its tests pin them too).
    EXPECT_EQ(reference::encode_pairs(levels).size(), 3784U);
    EXPECT_EQ(reference::encode_escaped(levels).size(), 1908U);
    // Noisy, as the program's blocks are: nearly every level present, few equal neighbours.
    const std::vector<int> runs = run_lengths(levels);
    EXPECT_GT(runs.size(), levels.size() * 95 / 100);
    reference::Levels distinct = levels;
    std::sort(distinct.begin(), distinct.end());
    EXPECT_GT(std::unique(distinct.begin(), distinct.end()) - distinct.begin(), 250);
}

TEST(BenchDataSets, PlateausAreRunsOfAboutForty)
{
    const std::vector<int> runs = run_lengths(levels_of(DataSet::plateau, DECODE_MAX_VALUES));
    ASSERT_GT(runs.size(), 100U);
    // The last run may be cut by the end of the block.
    EXPECT_TRUE(std::all_of(runs.begin(), runs.end() - 1, [](int r) { return r >= 30 && r <= 50; }));
    const double mean = static_cast<double>(DECODE_MAX_VALUES - runs.back()) / static_cast<double>(runs.size() - 1);
    EXPECT_NEAR(mean, 40.0, 2.0);
}

TEST(BenchDataSets, LongRunsAllPassTheLongestRunEitherStreamHolds)
{
    for (const int32_t n : {bench::kBlockValues, DECODE_MAX_VALUES}) {
        const std::vector<int> runs = run_lengths(levels_of(DataSet::long_runs, n));
        ASSERT_GE(runs.size(), 3U) << n;
        EXPECT_TRUE(std::all_of(runs.begin(), runs.end() - 1, [](int r) { return r > 256 && r <= 1000; })) << n;
    }
}

TEST(BenchDataSets, HeavyIn255IsHalfLevel255AloneAndInRuns)
{
    const reference::Levels levels = levels_of(DataSet::heavy_255, bench::kBlockValues);
    const auto count_255 = std::count(levels.begin(), levels.end(), uint8_t{255});
    EXPECT_NEAR(static_cast<double>(count_255) / static_cast<double>(levels.size()), 0.5, 0.05);
    int lone = 0;
    int repeated = 0;
    size_t start = 0;
    for (const int run : run_lengths(levels)) {
        if (levels[start] == 255) {
            ++(run == 1 ? lone : repeated);
        }
        start += static_cast<size_t>(run);
    }
    EXPECT_GT(lone, 100);
    EXPECT_GT(repeated, 100);
}

// The spread of neighbour differences, in levels: noise of deviation s gives
// about s * sqrt(2) on a slow signal.
double delta_deviation(DataSet set)
{
    const reference::Levels levels = levels_of(set, DECODE_MAX_VALUES);
    double sum = 0;
    for (size_t i = 1; i < levels.size(); ++i) {
        const double d = static_cast<double>(levels[i]) - static_cast<double>(levels[i - 1]);
        sum += d * d;
    }
    return std::sqrt(sum / static_cast<double>(levels.size() - 1));
}

TEST(BenchDataSets, SignalSetsHaveTheNoiseTheirNamesSay)
{
    EXPECT_NEAR(delta_deviation(DataSet::sensor_fine), 0.5 * std::sqrt(2.0), 0.25);
    EXPECT_NEAR(delta_deviation(DataSet::sensor_coarse), 3.0 * std::sqrt(2.0), 0.5);
    EXPECT_NEAR(delta_deviation(DataSet::white_noise), 40.0 * std::sqrt(2.0), 4.0);
    // Speech moves by a few levels a value, far less than noise.
    EXPECT_LT(delta_deviation(DataSet::speech), 15.0);
    EXPECT_GT(delta_deviation(DataSet::speech), 0.5);
#ifdef COMM_SPEECH_WAV
    EXPECT_TRUE(bench::speech_is_recorded()) << COMM_SPEECH_WAV << " is not a mono 16-bit recording";
#endif
}

TEST(BenchDataSets, ASmallerBlockIsTheStartOfALargerOneOnEveryCall)
{
    for (const DataSet set : bench::kDataSets) {
        const std::vector<float> large = bench::make_data_set(set, DECODE_MAX_VALUES);
        static_cast<void>(std::rand());  // whatever else uses rand meanwhile
        const std::vector<float> small = bench::make_data_set(set, bench::kBlockValues);
        ASSERT_EQ(small.size(), static_cast<size_t>(bench::kBlockValues));
        EXPECT_TRUE(std::equal(small.begin(), small.end(), large.begin(), [](float a, float b) {
            return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
        })) << bench::data_set_name(set);
    }
}

// Faults a fast path could have, each on top of a correct function.
int32_t encode_writes_byte_2n(const float* values, uint8_t* stream, int32_t n)
{
    const int32_t size = reference::encode_pairs(values, stream, n);
    stream[2 * static_cast<ptrdiff_t>(n)] = 0;
    return size;
}

int32_t encode_flips_last_byte(const float* values, uint8_t* stream, int32_t n)
{
    const int32_t size = reference::encode_pairs(values, stream, n);
    stream[size - 1] ^= 1U;
    return size;
}

int32_t encode_drops_last_pair(const float* values, uint8_t* stream, int32_t n)
{
    return reference::encode_pairs(values, stream, n) - 2;
}

int32_t decode_writes_one_more(const uint8_t* stream, float* values, int32_t count)
{
    const int32_t written = reference::decode_pairs(stream, values, count);
    values[written] = values[written - 1];
    return written;
}

int32_t decode_counts_one_less(const uint8_t* stream, float* values, int32_t count)
{
    return reference::decode_pairs(stream, values, count) - 1;
}

// Right levels, wrong floats: b * (1/255) is not the float nearest b/255 for
// many levels, and -0 is not 0.
int32_t decode_by_reciprocal(const uint8_t* stream, float* values, int32_t count)
{
    const int32_t written = reference::decode_pairs(stream, values, count);
    for (int32_t i = 0; i < written; ++i) {
        values[i] = static_cast<float>(comm::quantise(values[i])) * (1.0F / 255.0F);
    }
    return written;
}

int32_t decode_negative_zero(const uint8_t* stream, float* values, int32_t count)
{
    const int32_t written = reference::decode_pairs(stream, values, count);
    for (int32_t i = 0; i < written; ++i) {
        values[i] = values[i] == 0.0F ? -0.0F : values[i];
    }
    return written;
}

int32_t split_never_last(const uint8_t* stream, packet* packets, int32_t len)
{
    const int32_t count = split(stream, packets, len);
    packets[count - 1].last = 0;
    return count;
}

int32_t split_writes_past_length(const uint8_t* stream, packet* packets, int32_t len)
{
    const int32_t count = split(stream, packets, len);
    packets[count - 1].data[packets[count - 1].length] = 0;
    return count;
}

int32_t split_clears_next_packet(const uint8_t* stream, packet* packets, int32_t len)
{
    const int32_t count = split(stream, packets, len);
    packets[count].length = 0;
    return count;
}

int32_t merge_writes_one_more(const packet* packets, uint8_t* stream, int32_t count)
{
    const int32_t total = merge(packets, stream, count);
    stream[total] = stream[total - 1];
    return total;
}

int32_t merge_counts_one_more(const packet* packets, uint8_t* stream, int32_t count)
{
    return merge(packets, stream, count) + 1;
}

struct Checked {
    std::vector<float> values;
    std::vector<float> decoded;  // the values of the levels
    bench::Bytes pair;
};

// The uniform block: every level, so every faulty float shows; its pair stream
// takes six packets, the last one part full.
Checked uniform_block()
{
    Checked c{bench::make_data_set(DataSet::uniform, bench::kBlockValues), {}, {}};
    const reference::Levels levels = reference::levels_of(c.values);
    c.decoded = reference::values_of(levels);
    c.pair = reference::encode_pairs(levels);
    return c;
}

TEST(BenchOutputChecks, PassEveryPathAndTheFramingOnEveryDataSet)
{
    for (const DataSet set : bench::kDataSets) {
        const std::vector<float> values = bench::make_data_set(set, bench::kBlockValues);
        const reference::Levels levels = reference::levels_of(values);
        const std::vector<float> decoded = reference::values_of(levels);
        const bench::Bytes pair = reference::encode_pairs(levels);
        const bench::Bytes escaped = reference::encode_escaped(levels);
        for (const comm::detail::CodecPath* path : comm::detail::runnable_paths()) {
            SCOPED_TRACE(std::string(bench::data_set_name(set)) + " on " + path->name);
            EXPECT_EQ(bench::encoder_fault(path->encode, values, pair), nullptr);
            EXPECT_EQ(bench::encoder_fault(path->encode2, values, escaped), nullptr);
            EXPECT_EQ(bench::decoder_fault(path->decode, pair, decoded), nullptr);
            EXPECT_EQ(bench::decoder_fault(path->decode2, escaped, decoded), nullptr);
        }
        for (const auto& stream : {pair, escaped}) {
            EXPECT_EQ(bench::split_fault(split, stream), nullptr) << bench::data_set_name(set);
            EXPECT_EQ(bench::merge_fault(merge, stream), nullptr) << bench::data_set_name(set);
        }
    }
}

// The check reported a fault that mentions `what`.
testing::AssertionResult reports(const char* fault, const char* what)
{
    if (fault == nullptr) {
        return testing::AssertionFailure() << "no fault reported, expected one about \"" << what << '"';
    }
    if (std::string(fault).find(what) == std::string::npos) {
        return testing::AssertionFailure() << "reported \"" << fault << "\", expected one about \"" << what << '"';
    }
    return testing::AssertionSuccess();
}

// Each fault is caught by the check meant for it: a write past the bounds
// would hide behind right bytes, a wrong float behind a right count.
TEST(BenchOutputChecks, CatchEachFaultOfAnEncoderOrDecoder)
{
    const Checked c = uniform_block();
    const std::pair<bench::Encoder, const char*> encoders[] = {{encode_writes_byte_2n, "past 2n bytes"},
                                                               {encode_flips_last_byte, "bytes differ"},
                                                               {encode_drops_last_pair, "length differs"}};
    for (const auto& [faulty, what] : encoders) {
        EXPECT_TRUE(reports(bench::encoder_fault(faulty, c.values, c.pair), what));
    }
    const std::pair<bench::Decoder, const char*> decoders[] = {{decode_writes_one_more, "past its count"},
                                                               {decode_counts_one_less, "count differs"},
                                                               {decode_by_reciprocal, "values differ"},
                                                               {decode_negative_zero, "values differ"}};
    for (const auto& [faulty, what] : decoders) {
        EXPECT_TRUE(reports(bench::decoder_fault(faulty, c.pair, c.decoded), what));
    }
}

TEST(BenchOutputChecks, CatchEachFaultOfTheFraming)
{
    const Checked c = uniform_block();
    ASSERT_EQ(bench::packets_for(c.pair), 6U);
    ASSERT_NE(c.pair.size() % PACKET_DATA_SIZE, 0U);
    const std::pair<bench::Splitter, const char*> splitters[] = {{split_never_last, "did not cut"},
                                                                 {split_writes_past_length, "past a packet's length"},
                                                                 {split_clears_next_packet, "past the stream's"}};
    for (const auto& [faulty, what] : splitters) {
        EXPECT_TRUE(reports(bench::split_fault(faulty, c.pair), what));
    }
    const std::pair<bench::Merger, const char*> mergers[] = {{merge_writes_one_more, "past the stream"},
                                                             {merge_counts_one_more, "wrong length"}};
    for (const auto& [faulty, what] : mergers) {
        EXPECT_TRUE(reports(bench::merge_fault(faulty, c.pair), what));
    }
}

TEST(BenchSpread, MedianMinMaxAndRatioCells)
{
    const bench::Spread odd = bench::spread_of({5.0, 1.0, 3.0});
    EXPECT_EQ(odd.median, 3.0);
    EXPECT_EQ(odd.min, 1.0);
    EXPECT_EQ(odd.max, 5.0);
    EXPECT_EQ(bench::spread_of({4.0, 1.0, 2.0, 3.0}).median, 2.5);
    EXPECT_EQ(bench::spread_of({}).count, 0U);

    // Each figure is over the baseline's median, not paired repetition by repetition.
    const bench::Spread baseline = bench::spread_of({2.0, 100.0, 1.0});
    EXPECT_EQ(bench::ratio_cell(bench::spread_of({4.0, 3.0, 6.0}), baseline), "2.00 [1.50..3.00]");
    EXPECT_EQ(bench::ratio_cell(bench::spread_of({70.0, 246.8}), baseline), "79.2 [35.0..123]");
    EXPECT_EQ(bench::ratio_cell(odd, bench::Spread{}), "-");
    EXPECT_EQ(bench::ratio_cell(bench::Spread{}, baseline), "-");

    // Slower only where the ranges do not overlap, and never against no runs.
    EXPECT_TRUE(bench::slower_beyond_spread(bench::spread_of({5.0, 6.0}), bench::spread_of({3.0, 4.9})));
    EXPECT_FALSE(bench::slower_beyond_spread(bench::spread_of({5.0, 9.0}), bench::spread_of({3.0, 5.0})));
    EXPECT_FALSE(bench::slower_beyond_spread(bench::spread_of({3.0, 5.0}), bench::spread_of({5.1, 6.0})));
    EXPECT_FALSE(bench::slower_beyond_spread(odd, bench::Spread{}));
}

}  // namespace
