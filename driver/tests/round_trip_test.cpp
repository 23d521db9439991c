#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "driver/round_trip.hpp"
#include "reference/reference.hpp"

namespace {

using round_trip::kBlockValues;
using round_trip::Method;

struct Report {
    int status;
    std::string text;
};

Report report_for(uint32_t seed, std::span<const Method> methods = round_trip::library_methods())
{
    std::vector<packet> packets(round_trip::kPacketSlots);
    std::FILE* out = std::tmpfile();
    const int status = round_trip::run_report(seed, packets.data(), out, methods);
    std::string text(static_cast<size_t>(std::ftell(out)), '\0');
    std::rewind(out);
    EXPECT_EQ(std::fread(text.data(), 1, text.size(), out), text.size());
    std::fclose(out);
    return {status, text};
}

// The block the report generates for `seed`.
std::vector<float> block_values(uint32_t seed)
{
    std::srand(seed);
    std::vector<float> values(kBlockValues);
    std::generate(values.begin(), values.end(), [] { return round_trip::sample_value(std::rand()); });
    return values;
}

reference::Levels block_levels(uint32_t seed)
{
    return reference::levels_of(block_values(seed));
}

const char kHeader[] =
    "------------------------------------------------------------------\n"
    "Encode/decode test. Original size: 1900 floats (7600 bytes)\n"
    "------------------------------------------------------------------\n";

std::string passing_run(const char* title, const char* underline, size_t bytes)
{
    const size_t parts = (bytes + 649) / 650;
    char text[512];
    std::snprintf(text, sizeof text,
                  "%s%sENCODE: outputsize=%zu bytes\n\tSplit: %zu parts\n\tMerge: %zu bytes\n"
                  "\tChecking bytes (%zu)...OK!\nDECODE: outputsize=1900 floats\nChecking...OK!\n",
                  title, underline, bytes, parts, bytes, bytes);
    return text;
}

TEST(SampleValue, RoundsTheExactQuotientOnce)
{
    EXPECT_EQ(round_trip::sample_value(0), 0.0F);
    EXPECT_EQ(round_trip::sample_value(1), 1.0F / 2147483647.0F);
    // A double quotient lands on a tie here and, converted, rounds up to 1.0.
    EXPECT_EQ(static_cast<float>(2147483583 / 2147483647.0), 1.0F);
    EXPECT_EQ(round_trip::sample_value(2147483583), 0.99999994F);
    EXPECT_EQ(comm::quantise(round_trip::sample_value(2147483583)), 254);
    for (int64_t r = 2147483584; r <= 2147483647; ++r) {
        ASSERT_EQ(round_trip::sample_value(static_cast<int32_t>(r)), 1.0F) << r;
    }
}

TEST(Report, MatchesTheFixedFormForPinnedSeeds)
{
    for (const uint32_t seed : {0U, 1U, 42U, 0xFFFFFFFFU}) {
        const reference::Levels levels = block_levels(seed);
        const std::string expected =
            kHeader + passing_run("First method:\n", "==============\n", reference::encode_pairs(levels).size()) +
            passing_run("Second method:\n", "===============\n", reference::encode_escaped(levels).size());
        const Report report = report_for(seed);
        EXPECT_EQ(report.text, expected) << "seed " << seed;
        EXPECT_EQ(report.status, 0);
    }
    // The benchmark times this seed's block as its uniform data set, and pins the same sizes.
    const std::string uniform = report_for(20240611U).text;
    EXPECT_NE(uniform.find("ENCODE: outputsize=3784 bytes\n"), std::string::npos) << uniform;
    EXPECT_NE(uniform.find("ENCODE: outputsize=1908 bytes\n"), std::string::npos) << uniform;
}

int32_t flipping_merge(const packet* packets, uint8_t* stream, int32_t count)
{
    const int32_t size = merge(packets, stream, count);
    stream[5] ^= 0x01;
    return size;
}

int32_t corrupting_decode(const uint8_t* stream, float* values, int32_t count)
{
    const int32_t written = decode(stream, values, count);
    values[17] = values[17] > 0.5F ? 0.0F : 1.0F;
    return written;
}

// Gives back all values but the last, as a decoder that loses a token would.
int32_t short_decode2(const uint8_t* stream, float* values, int32_t count)
{
    std::vector<float> all(DECODE_MAX_VALUES);
    const int32_t written = decode2(stream, all.data(), count) - 1;
    std::copy_n(all.begin(), written, values);
    return written;
}

TEST(Report, ShortDecodeFailsEvenWhereTheLastRunLeftTheRightValues)
{
    const Method methods[] = {{"A:\n", "==\n", encode, decode, split, merge},
                              {"B:\n", "==\n", encode2, short_decode2, split, merge}};
    const Report report = report_for(5, methods);
    char tail[160];
    std::snprintf(tail, sizeof tail, "DECODE: outputsize=1899 floats\nChecking...ERROR in index 1899: %f vs 0.000000\n",
                  static_cast<double>(block_values(5)[1899]));
    EXPECT_TRUE(report.text.ends_with(tail)) << report.text;
    EXPECT_EQ(report.status, 1);
}

TEST(Report, ByteMismatchEndsTheReport)
{
    const Method methods[] = {{"A:\n", "==\n", encode, decode, split, flipping_merge},
                              {"B:\n", "==\n", encode, decode, split, merge}};
    const Report report = report_for(3, methods);
    const reference::Bytes stream = reference::encode_pairs(block_levels(3));
    char tail[128];
    std::snprintf(tail, sizeof tail, "\tChecking bytes (%zu)...ERROR in index 5: %d vs %d\n", stream.size(), stream[5],
                  stream[5] ^ 1);
    ASSERT_GE(report.text.size(), std::strlen(tail));
    EXPECT_EQ(report.text.substr(report.text.size() - std::strlen(tail)), tail);
    EXPECT_EQ(report.text.find("DECODE"), std::string::npos);
    EXPECT_EQ(report.text.find("B:"), std::string::npos);
    EXPECT_EQ(report.status, 1);
}

TEST(Report, ValueMismatchIsReportedAndTheNextRunGoesOn)
{
    const Method methods[] = {{"A:\n", "==\n", encode, corrupting_decode, split, merge},
                              {"B:\n", "==\n", encode, decode, split, merge}};
    const Report report = report_for(3, methods);
    const std::vector<float> original = block_values(3);
    const float decoded = comm::level_value(comm::quantise(original[17])) > 0.5F ? 0.0F : 1.0F;
    char line[128];
    std::snprintf(line, sizeof line, "DECODE: outputsize=1900 floats\nChecking...ERROR in index 17: %f vs %f\nB:\n",
                  static_cast<double>(original[17]), static_cast<double>(decoded));
    EXPECT_NE(report.text.find(line), std::string::npos) << report.text;
    EXPECT_TRUE(report.text.ends_with("Checking...OK!\n"));
    EXPECT_EQ(report.status, 1);
}

}  // namespace
