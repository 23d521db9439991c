// The benchmark's data sets have the shapes its table names them by, and its
// cells summarise repetitions as they claim.
#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bench/data_sets.hpp"
#include "bench/spread.hpp"
#include "driver/round_trip.hpp"
#include "reference.hpp"

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

std::string report_for(uint32_t seed)
{
    std::vector<packet> packets(round_trip::kPacketSlots);
    std::FILE* out = std::tmpfile();
    EXPECT_EQ(round_trip::run_report(seed, packets.data(), out), 0);
    std::string text(static_cast<size_t>(std::ftell(out)), '\0');
    std::rewind(out);
    EXPECT_EQ(std::fread(text.data(), 1, text.size(), out), text.size());
    std::fclose(out);
    return text;
}

TEST(BenchDataSets, UniformIsTheRoundTripProgramsBlockForItsSeed)
{
    const std::vector<float> values = bench::make_data_set(DataSet::uniform, round_trip::kBlockValues);
    const reference::Levels levels = reference::levels_of(values);
    const std::string report = report_for(bench::kUniformSeed);
    for (const auto& stream : {reference::encode_pairs(levels), reference::encode_escaped(levels)}) {
        const std::string line = "ENCODE: outputsize=" + std::to_string(stream.size()) + " bytes\n";
        EXPECT_NE(report.find(line), std::string::npos) << line << "not in\n" << report;
    }
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
    for (const int32_t n : {round_trip::kBlockValues, DECODE_MAX_VALUES}) {
        const std::vector<int> runs = run_lengths(levels_of(DataSet::long_runs, n));
        ASSERT_GE(runs.size(), 3U) << n;
        EXPECT_TRUE(std::all_of(runs.begin(), runs.end() - 1, [](int r) { return r > 256 && r <= 1000; })) << n;
    }
}

TEST(BenchDataSets, HeavyIn255IsHalfLevel255AloneAndInRuns)
{
    const reference::Levels levels = levels_of(DataSet::heavy_255, round_trip::kBlockValues);
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

TEST(BenchDataSets, ASmallerBlockIsTheStartOfALargerOneOnEveryCall)
{
    for (const DataSet set : bench::kDataSets) {
        const std::vector<float> large = bench::make_data_set(set, DECODE_MAX_VALUES);
        static_cast<void>(std::rand());  // whatever else uses rand meanwhile
        const std::vector<float> small = bench::make_data_set(set, round_trip::kBlockValues);
        ASSERT_EQ(small.size(), static_cast<size_t>(round_trip::kBlockValues));
        EXPECT_TRUE(std::equal(small.begin(), small.end(), large.begin(), [](float a, float b) {
            return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
        })) << bench::data_set_name(set);
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
}

}  // namespace
