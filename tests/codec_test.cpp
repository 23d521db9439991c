#include <cmath>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "checked_expect.hpp"
#include "comm/Comm.h"
#include "reference/reference.hpp"

namespace {

using reference::Bytes;
using reference::Levels;
using reference::values_of;

Bytes encode_block(const std::vector<float>& values)
{
    return expect_encoded(encode, reference::encode_pairs, values);
}

Levels decode_stream(const Bytes& stream)
{
    return reference::levels_of(expect_decoded(decode, reference::decode_pairs, stream).values);
}

Bytes encode2_block(const std::vector<float>& values)
{
    return expect_encoded(encode2, reference::encode_escaped, values);
}

Levels decode2_stream(const Bytes& stream)
{
    return reference::levels_of(expect_decoded(decode2, reference::decode_escaped, stream).values);
}

TEST(SampleLevels, EachLevelValueIsTheNearestFloatAndRequantisesToItsLevel)
{
    for (int b = 0; b < 256; ++b) {
        const float f = comm::level_value(static_cast<uint8_t>(b));
        // f * 255 is exact in double, so these distances are exact.
        const auto distance = [b](float x) { return std::abs(static_cast<double>(x) * 255.0 - b); };
        EXPECT_LE(distance(f), distance(std::nextafter(f, 0.0F))) << b;
        EXPECT_LE(distance(f), distance(std::nextafter(f, 2.0F))) << b;
        EXPECT_EQ(comm::quantise(f), b);
    }
}

TEST(SampleLevels, QuantisingTruncatesRatherThanRounds)
{
    for (int k = 1; k < 256; ++k) {
        const float just_below = std::nextafter(comm::level_value(static_cast<uint8_t>(k)), 0.0F);
        EXPECT_EQ(comm::quantise(just_below), k - 1) << k;
    }
    EXPECT_EQ(comm::quantise(0.999F), 254);  // 254.745, not 255
    EXPECT_EQ(comm::quantise(std::nextafter(1.0F, 0.0F)), 254);
}

TEST(SampleLevels, OutOfRangeValuesAreClamped)
{
    constexpr float inf = std::numeric_limits<float>::infinity();
    for (const float low :
         {-0.0F, -1e-30F, -1.0F, -inf, std::nanf(""), -std::nanf(""), std::numeric_limits<float>::denorm_min()}) {
        EXPECT_EQ(comm::quantise(low), 0) << low;
    }
    for (const float high : {1.0F, std::nextafter(1.0F, 2.0F), 300.0F, inf, std::numeric_limits<float>::max()}) {
        EXPECT_EQ(comm::quantise(high), 255) << high;
    }
    const std::vector<float> block{-5.0F, std::nanf(""), 7.0F};
    EXPECT_EQ(encode_block(block), (Bytes{1, 0, 0, 255}));
}

TEST(PairCoding, WorkedExample)
{
    const Levels levels{7, 7, 7, 40, 255, 255, 0};
    const Bytes stream = encode_block(values_of(levels));
    EXPECT_EQ(stream, (Bytes{0x02, 0x07, 0x00, 0x28, 0x01, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(decode_stream(stream), levels);
}

TEST(PairCoding, RunsAreCutAfterEvery256Values)
{
    const auto run = [](size_t n) { return values_of(Levels(n, 9)); };
    EXPECT_EQ(encode_block(run(1)), (Bytes{0, 9}));
    EXPECT_EQ(encode_block(run(256)), (Bytes{255, 9}));
    EXPECT_EQ(encode_block(run(257)), (Bytes{255, 9, 0, 9}));
    EXPECT_EQ(encode_block(run(512)), (Bytes{255, 9, 255, 9}));
    EXPECT_EQ(encode_block(run(513)), (Bytes{255, 9, 255, 9, 0, 9}));
    EXPECT_EQ(encode_block(values_of({3, 4})), (Bytes{0, 3, 0, 4}));
}

TEST(PairCoding, MatchesStepByStepCodingAcrossChunkBoundaries)
{
    // Blocks longer than the encoder's quantising chunk, with runs that span it.
    std::mt19937 rng(7);
    for (const size_t n : {1U, 2U, 5700U, 8191U, 8192U, 8193U, 20000U, 100000U}) {
        Levels levels(n);
        for (size_t i = 0; i < n;) {
            const size_t run = std::uniform_int_distribution<size_t>(1, 700)(rng);
            const auto level = static_cast<uint8_t>(rng());
            for (size_t k = 0; k < run && i < n; ++k, ++i) {
                levels[i] = level;
            }
        }
        const Bytes stream = encode_block(values_of(levels));
        EXPECT_EQ(stream, reference::encode_pairs(levels)) << n;
        if (n <= DECODE_MAX_VALUES) {
            EXPECT_EQ(decode_stream(stream), levels) << n;
        }
    }
    Levels alternating(1000);
    for (size_t i = 0; i < alternating.size(); ++i) {
        alternating[i] = i % 2 == 0 ? 0 : 255;
    }
    EXPECT_EQ(encode_block(values_of(alternating)).size(), 2 * alternating.size());
}

TEST(PairCoding, EncoderRefusesEmptyAndOversizedBlocks)
{
    const float value = 0.5F;
    Bytes stream(4, 0xEE);
    EXPECT_EQ(encode(&value, stream.data(), 0), 0);
    EXPECT_EQ(encode(&value, stream.data(), -1), 0);
    EXPECT_EQ(encode(&value, stream.data(), ENCODE_MAX_VALUES + 1), 0);
    EXPECT_EQ(stream, Bytes(4, 0xEE));
}

TEST(PairCoding, DecoderStaysInsideItsInputAndCapacity)
{
    EXPECT_EQ(decode_stream({}), Levels{});
    EXPECT_EQ(decode_stream({5}), Levels{});              // half a pair
    EXPECT_EQ(decode_stream({1, 8, 4}), (Levels{8, 8}));  // trailing half pair ignored
    float untouched = -1.0F;
    EXPECT_EQ(decode(nullptr, &untouched, -3), 0);

    // 23 full pairs stand for 5888 values: only the first 5700 are written.
    Bytes oversized;
    for (int i = 0; i < 23; ++i) {
        oversized.insert(oversized.end(), {255, static_cast<uint8_t>(i)});
    }
    const Levels levels = decode_stream(oversized);
    ASSERT_EQ(levels.size(), size_t{DECODE_MAX_VALUES});
    EXPECT_EQ(levels[5631], 21);
    EXPECT_EQ(levels[5632], 22);

    Bytes single_values(2 * size_t{DECODE_MAX_VALUES + 3}, 0);
    EXPECT_EQ(decode_stream(single_values).size(), size_t{DECODE_MAX_VALUES});
}

TEST(EscapedCoding, WorkedExample)
{
    const Levels levels{7, 7, 7, 40, 255, 255, 0};
    const Bytes stream = encode2_block(values_of(levels));
    EXPECT_EQ(stream, (Bytes{0xFF, 0x03, 0x07, 0x28, 0xFF, 0x02, 0xFF, 0x00}));
    EXPECT_EQ(decode2_stream(stream), levels);
}

TEST(EscapedCoding, LiteralsEscapesAndShortRuns)
{
    EXPECT_EQ(encode2_block(values_of({40})), (Bytes{0x28}));
    EXPECT_EQ(encode2_block(values_of({255})), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(encode2_block(values_of({40, 40})), (Bytes{0xFF, 0x02, 0x28}));  // 3 bytes for two values
    EXPECT_EQ(encode2_block(values_of({255, 255})), (Bytes{0xFF, 0x02, 0xFF}));
    EXPECT_EQ(encode2_block(values_of({255, 255, 255})), (Bytes{0xFF, 0x03, 0xFF}));
    EXPECT_EQ(encode2_block(values_of({1, 255, 2})), (Bytes{0x01, 0xFF, 0xFF, 0x02}));
    EXPECT_EQ(decode2_stream({0x05, 0xFF, 0xFF}), (Levels{5, 255}));  // ends in an escaped literal
}

TEST(EscapedCoding, RunsCloseAt254Values)
{
    const auto run = [](size_t n, uint8_t level) { return encode2_block(values_of(Levels(n, level))); };
    EXPECT_EQ(run(254, 7), (Bytes{0xFF, 0xFE, 0x07}));
    EXPECT_EQ(run(255, 7), (Bytes{0xFF, 0xFE, 0x07, 0x07}));
    EXPECT_EQ(run(256, 7), (Bytes{0xFF, 0xFE, 0x07, 0xFF, 0x02, 0x07}));
    EXPECT_EQ(run(508, 7), (Bytes{0xFF, 0xFE, 0x07, 0xFF, 0xFE, 0x07}));
    EXPECT_EQ(run(255, 255), (Bytes{0xFF, 0xFE, 0xFF, 0xFF, 0xFF}));
    for (const size_t n : {254U, 255U, 256U, 508U, 5700U}) {
        EXPECT_EQ(decode2_stream(run(n, 255)), Levels(n, 255)) << n;
    }
}

TEST(EscapedCoding, MatchesStepByStepCodingAndSizeBounds)
{
    std::mt19937 rng(11);
    for (const size_t n : {1U, 3U, 1900U, 5700U, 8193U, 30000U}) {
        Levels levels(n);
        for (size_t i = 0; i < n;) {
            const size_t run = std::uniform_int_distribution<size_t>(1, 300)(rng);
            const auto level = static_cast<uint8_t>(rng() % 3 == 0 ? 255 : rng());
            for (size_t k = 0; k < run && i < n; ++k, ++i) {
                levels[i] = level;
            }
        }
        const Bytes stream = encode2_block(values_of(levels));
        EXPECT_EQ(stream, reference::encode_escaped(levels)) << n;
        EXPECT_LE(stream.size(), 2 * n);
        if (n <= DECODE_MAX_VALUES) {
            EXPECT_EQ(decode2_stream(stream), levels) << n;
        }
    }
    // No equal neighbours and no 255: one byte per value.
    Levels distinct(1900);
    for (size_t i = 0; i < distinct.size(); ++i) {
        distinct[i] = static_cast<uint8_t>(i % 255);
    }
    EXPECT_EQ(encode2_block(values_of(distinct)), distinct);
    Bytes stream(1);
    EXPECT_EQ(encode2(values_of({1}).data(), stream.data(), 0), 0);
    EXPECT_EQ(encode2(values_of({1}).data(), stream.data(), -7), 0);
}

TEST(EscapedCoding, DecoderAcceptsCountsTheEncoderNeverWrites)
{
    EXPECT_EQ(decode2_stream({0xFF, 0x00, 0x09, 0x04}), (Levels{4}));     // count 0: nothing
    EXPECT_EQ(decode2_stream({0xFF, 0x01, 0x09, 0x04}), (Levels{9, 4}));  // count 1: one value
    EXPECT_EQ(decode2_stream({0xFF, 0x00, 0xFF, 0xFF, 0x01, 0xFF}), (Levels{255}));
}

TEST(EscapedCoding, DecoderStopsAtATruncatedToken)
{
    EXPECT_EQ(decode2_stream({}), Levels{});
    EXPECT_EQ(decode2_stream({0x03, 0xFF}), (Levels{3}));        // lone trailing escape
    EXPECT_EQ(decode2_stream({0x03, 0xFF, 0x05}), (Levels{3}));  // run token without its level
    EXPECT_EQ(decode2_stream({0xFF, 0x05, 0x06}), Levels(5, 6));
    float untouched = -1.0F;
    EXPECT_EQ(decode2(nullptr, &untouched, -1), 0);
    EXPECT_EQ(untouched, -1.0F);

    // 23 runs of 254 stand for 5842 values: only the first 5700 are written.
    Bytes oversized;
    for (int i = 0; i < 23; ++i) {
        oversized.insert(oversized.end(), {0xFF, 0xFE, static_cast<uint8_t>(i)});
    }
    oversized.push_back(0x30);
    const Levels levels = decode2_stream(oversized);
    ASSERT_EQ(levels.size(), size_t{DECODE_MAX_VALUES});
    EXPECT_EQ(levels.back(), 22);

    // Literals only, a few past the capacity, ending in a cut-off run token.
    Bytes literals(DECODE_MAX_VALUES + 5, 0x11);
    literals.insert(literals.end(), {0xFF, 0x09});
    EXPECT_EQ(decode2_stream(literals), Levels(DECODE_MAX_VALUES, 0x11));
    literals.resize(DECODE_MAX_VALUES - 3);
    literals.insert(literals.end(), {0xFF, 0x09});
    EXPECT_EQ(decode2_stream(literals), Levels(DECODE_MAX_VALUES - 3, 0x11));
}

}  // namespace
