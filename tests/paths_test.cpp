// Every coder path this CPU can run, held against the step-by-step reference:
// the same bytes, float bits and counts, and the same bounds (encoders inside
// 2n bytes, decoders inside `count` bytes, DECODE_MAX_VALUES values and the
// count they return), at the edges of their windows, chunks and capacity.
#include <algorithm>
#include <bit>
#include <cfenv>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "checked_expect.hpp"
#include "comm/codec_paths.hpp"
#include "reference/checked_calls.hpp"
#include "reference/reference.hpp"
#include "reference/signals.hpp"

namespace {

using checked::Decoder;
using checked::Encoder;
using checked::kSlack;
using checked::kUntouchedByte;
using checked::untouched;
using comm::detail::CodecPath;
using reference::Bytes;
using reference::Levels;

// Both hold the coder against the step-by-step one, with every rule of
// reference/checked_calls.hpp.
Bytes encode_checked(Encoder encoder, Encoder reference_encoder, const std::vector<float>& values)
{
    return expect_encoded(encoder, reference_encoder, values);
}

int32_t decode_checked(Decoder decoder, Decoder reference_decoder, const Bytes& stream)
{
    return expect_decoded(decoder, reference_decoder, stream).count;
}

// Every method, encoded and decoded back, on one block of levels.
void check_levels(const CodecPath& path, const Levels& levels)
{
    const std::vector<float> values = reference::values_of(levels);
    const Bytes pairs = encode_checked(path.encode, reference::encode_pairs, values);
    const Bytes escaped = encode_checked(path.encode2, reference::encode_escaped, values);
    const Bytes deltas = encode_checked(path.encode3, reference::encode_deltas, values);
    if (levels.size() <= DECODE_MAX_VALUES) {
        const auto n = static_cast<int32_t>(levels.size());
        EXPECT_EQ(decode_checked(path.decode, reference::decode_pairs, pairs), n);
        EXPECT_EQ(decode_checked(path.decode2, reference::decode_escaped, escaped), n);
        EXPECT_EQ(decode_checked(path.decode3, reference::decode_deltas, deltas), n);
    }
}

// Noisy levels (about one in `equal_one_in` neighbours equal, one in
// `top_one_in` levels 255), as in sensor data with little repetition.
Levels noisy_levels(std::mt19937& rng, size_t n, unsigned equal_one_in, unsigned top_one_in)
{
    Levels levels(n);
    for (size_t i = 0; i < n; ++i) {
        if (i > 0 && rng() % equal_one_in == 0) {
            levels[i] = levels[i - 1];
        } else {
            levels[i] = rng() % top_one_in == 0 ? 255 : static_cast<uint8_t>(rng() % 255);
        }
    }
    return levels;
}

// A random walk whose step size changes every few dozen values, so that the
// delta method's groups take every width from 0 to 8, and flat stretches
// (steps of 0) make the pair stream its smallest form now and then.
Levels walk_levels(std::mt19937& rng, size_t n)
{
    Levels levels(n);
    auto level = static_cast<uint8_t>(rng());
    unsigned step = 0;
    for (size_t i = 0; i < n; ++i) {
        if (rng() % 40 == 0) {
            step = rng() % 3 == 0 ? 0 : 1U << (rng() % 8);
        }
        level = static_cast<uint8_t>(level + rng() % (2 * step + 1) - step);
        levels[i] = level;
    }
    return levels;
}

// Parameterised by the path's name, so that test names and messages show it.
class EachPath : public testing::TestWithParam<std::string> {
protected:
    static const CodecPath& path() { return *comm::detail::find_path(GetParam()); }
};

TEST_P(EachPath, QuantisesLikeTheRule)
{
    constexpr float inf = std::numeric_limits<float>::infinity();
    std::vector<float> values = {0.0F,
                                 -0.0F,
                                 1.0F,
                                 0.5F,
                                 -1.0F,
                                 2.0F,
                                 inf,
                                 -inf,
                                 std::nanf(""),
                                 -std::nanf(""),
                                 std::numeric_limits<float>::denorm_min(),
                                 std::nextafter(1.0F, 0.0F),
                                 std::nextafter(1.0F, 2.0F),
                                 std::numeric_limits<float>::max()};
    std::mt19937 rng(1);
    for (int i = 0; i < 100000; ++i) {
        values.push_back(std::bit_cast<float>(static_cast<uint32_t>(rng())));
        values.push_back(static_cast<float>(rng() >> 8) * 0x1p-24F);
    }
    // Every length up to two windows and more, so every tail is met.
    for (size_t n = 0; n <= 200; ++n) {
        Bytes levels(n + kSlack, kUntouchedByte);
        path().quantise(values.data(), levels.data(), static_cast<int32_t>(n));
        ASSERT_TRUE(untouched(levels.data() + n, kSlack)) << "wrote past n " << n;
        for (size_t i = 0; i < n; ++i) {
            ASSERT_EQ(levels[i], comm::quantise(values[i])) << "n " << n << ", value " << values[i];
        }
    }
    Bytes levels(values.size());
    path().quantise(values.data(), levels.data(), static_cast<int32_t>(values.size()));
    EXPECT_EQ(levels, reference::levels_of(values));
}

// One value outside [0, 1] among in-range ones, at each position of two
// vector steps: a quantiser that clamps only the steps holding such values
// must find each kind wherever it stands.
TEST_P(EachPath, ClampsALoneOutOfRangeValueAtEveryPosition)
{
    constexpr float inf = std::numeric_limits<float>::infinity();
    const float outside[] = {-0.0F,
                             -std::numeric_limits<float>::denorm_min(),
                             -0.5F,
                             std::nextafter(1.0F, 2.0F),
                             1.5F,
                             2.0F,
                             inf,
                             -inf,
                             std::nanf(""),
                             -std::nanf(""),
                             std::numeric_limits<float>::max()};
    std::vector<float> values(48);
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<float>(i + 100) / 255.0F;
    }
    for (const float odd : outside) {
        for (size_t at = 0; at < 32; ++at) {
            std::vector<float> block = values;
            block[at] = odd;
            Bytes levels(block.size());
            path().quantise(block.data(), levels.data(), static_cast<int32_t>(block.size()));
            ASSERT_EQ(levels, reference::levels_of(block)) << "value " << odd << " at " << at;
        }
    }
}

TEST_P(EachPath, ConvertsEveryLevelToItsValue)
{
    Levels levels(1000);
    for (size_t i = 0; i < levels.size(); ++i) {
        levels[i] = static_cast<uint8_t>(i * 7);  // every level, at every position of a window
    }
    for (const size_t n :
         {size_t{0}, size_t{1}, size_t{15}, size_t{63}, size_t{64}, size_t{65}, size_t{200}, size_t{1000}}) {
        std::vector<float> values(n + kSlack);
        std::memset(values.data(), kUntouchedByte, values.size() * sizeof(float));
        path().level_values(levels.data(), values.data(), static_cast<int32_t>(n));
        ASSERT_TRUE(untouched(values.data() + n, kSlack * sizeof(float))) << "wrote past n " << n;
        for (size_t i = 0; i < n; ++i) {
            ASSERT_EQ(std::bit_cast<uint32_t>(values[i]), std::bit_cast<uint32_t>(comm::level_value(levels[i])))
                << "level " << int{levels[i]};
        }
    }
}

TEST_P(EachPath, MatchesTheReferenceOnShortBlocksOfEveryShape)
{
    std::mt19937 rng(2);
    for (size_t n = 1; n <= 300; ++n) {
        check_levels(path(), noisy_levels(rng, n, 8, 16));
        check_levels(path(), walk_levels(rng, n));
        check_levels(path(), Levels(n, static_cast<uint8_t>(n % 3 == 0 ? 255 : n)));
        Levels alternating(n);
        Levels widest_steps(n);  // every delta's code 255: the longest packed deltas
        for (size_t i = 0; i < n; ++i) {
            alternating[i] = i % 2 == 0 ? 254 : 255;
            widest_steps[i] = i % 2 == 0 ? 0 : 128;
        }
        check_levels(path(), alternating);
        check_levels(path(), widest_steps);
    }
}

TEST_P(EachPath, MatchesTheReferenceAcrossWindowsAndChunks)
{
    // Noisy blocks longer than the 8192-value quantising chunk, with runs and
    // 255s placed across window and chunk edges.
    std::mt19937 rng(3);
    for (const size_t n : {size_t{5700}, size_t{8191}, size_t{8192}, size_t{8193}, size_t{8194}, size_t{8256},
                           size_t{16385}, size_t{16449}, size_t{40000}}) {
        Levels levels = noisy_levels(rng, n, 200, 200);
        for (const size_t edge : {size_t{64}, size_t{4096}, size_t{8192}, size_t{16384}}) {
            for (const size_t length : {size_t{2}, size_t{255}, size_t{257}}) {
                if (edge >= length / 2 && edge + length < n) {
                    std::fill_n(levels.begin() + static_cast<std::ptrdiff_t>(edge - length / 2), length,
                                static_cast<uint8_t>(length));
                }
            }
        }
        check_levels(path(), levels);
        check_levels(path(), noisy_levels(rng, n, 3, 3));
        check_levels(path(), walk_levels(rng, n));
    }
}

// The data users send: equal neighbours about half the time in runs of one to
// three, or seldom, each run coded by the token steps rather than the
// window-wide stores.
TEST_P(EachPath, MatchesTheReferenceOnSignals)
{
    for (const size_t n : {size_t{1}, size_t{7}, size_t{64}, size_t{129}, size_t{1900}, size_t{5700}}) {
        for (uint32_t seed = 1; seed <= 3; ++seed) {
            check_levels(path(), reference::levels_of(signals::sensor(n, 0.5, 700.0, seed)));
            check_levels(path(), reference::levels_of(signals::sensor(n, 3.0, 700.0, seed)));
            check_levels(path(), reference::levels_of(signals::voiced(n, seed)));
            check_levels(path(), reference::levels_of(signals::white_noise(n, seed)));
        }
    }
}

// A run reaching the longest a token holds (256 values in pairs, 254 escaped)
// among short runs is cut at each offset of a window, and the pieces after
// the cut start where they should, across windows too.
TEST_P(EachPath, CutsLongRunsAtEveryOffsetAmongShortRuns)
{
    std::mt19937 rng(6);
    for (size_t offset = 0; offset < 64; ++offset) {
        for (const size_t length :
             {size_t{253}, size_t{254}, size_t{255}, size_t{256}, size_t{257}, size_t{509}, size_t{512}, size_t{513}}) {
            Levels levels = noisy_levels(rng, 64 + offset + length + 70, 2, 4);
            std::fill_n(levels.begin() + static_cast<std::ptrdiff_t>(64 + offset), length,
                        static_cast<uint8_t>(offset % 2 == 0 ? 255 : 17));
            check_levels(path(), levels);
        }
    }
}

// Literals, then a last run of 14 to 18 values: a decoder that writes longer
// runs straight to the values converts the literals before them in whole
// vectors, whose stores past the literals only the run may cover.
TEST_P(EachPath, DecodesALastRunAfterEveryCountOfLiterals)
{
    for (size_t literals = 0; literals <= 40; ++literals) {
        for (uint8_t length = 14; length <= 18; ++length) {
            Bytes pairs;
            Bytes escaped;
            for (size_t i = 0; i < literals; ++i) {
                pairs.insert(pairs.end(), {0, static_cast<uint8_t>(i)});
                escaped.push_back(static_cast<uint8_t>(i));
            }
            pairs.insert(pairs.end(), {static_cast<uint8_t>(length - 1), 200});
            escaped.insert(escaped.end(), {0xFF, length, 200});
            decode_checked(path().decode, reference::decode_pairs, pairs);
            decode_checked(path().decode2, reference::decode_escaped, escaped);
        }
    }
}

// Escaped streams cut short inside their last token (a lone escape, or a run
// missing its level), after run tokens and literals at every alignment: the
// decoders read tokens several at a time, and none may read past the end.
TEST_P(EachPath, StopsAtATokenCutShortAfterRuns)
{
    for (size_t runs = 0; runs <= 24; ++runs) {
        for (size_t literals = 0; literals <= 3; ++literals) {
            for (const Bytes& cut : {Bytes{0xFF}, Bytes{0xFF, 0x05}, Bytes{0xFF, 0xFF}, Bytes{0xFF, 0xFF, 0xFF}}) {
                Bytes stream(literals, 7);
                for (size_t r = 0; r < runs; ++r) {
                    stream.insert(stream.end(), {0xFF, 3, static_cast<uint8_t>(r % 2 == 0 ? 0xFF : 9)});
                }
                stream.insert(stream.end(), cut.begin(), cut.end());
                decode_checked(path().decode2, reference::decode_escaped, stream);
            }
        }
    }
}

// The float rules assume rounding to nearest; a caller may have set another
// mode, which the library must neither change nor be misled by.
TEST_P(EachPath, GivesTheSameResultsUnderEveryRoundingMode)
{
    std::vector<float> values;
    for (int b = 0; b < 256; ++b) {  // each level's value and the floats either side, where products round
        const float v = comm::level_value(static_cast<uint8_t>(b));
        values.insert(values.end(), {std::nextafter(v, 0.0F), v, std::nextafter(v, 2.0F)});
    }
    Levels levels(512);
    for (size_t i = 0; i < levels.size(); ++i) {
        levels[i] = static_cast<uint8_t>(i / 2);  // every level, in runs of two
    }
    for (const int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        ASSERT_EQ(std::fesetround(mode), 0);
        Bytes quantised(values.size());
        path().quantise(values.data(), quantised.data(), static_cast<int32_t>(values.size()));
        const Levels expected = reference::levels_of(values);
        check_levels(path(), levels);
        check_levels(path(), expected);
        const int after = std::fegetround();
        std::fesetround(FE_TONEAREST);
        EXPECT_EQ(quantised, expected) << "rounding mode " << mode;
        EXPECT_EQ(after, mode);
    }
}

// Streams that stand for more values than a decoder keeps, reaching the
// capacity through each kind of step at every offset within a window.
TEST_P(EachPath, DecodersKeepExactlyTheirCapacity)
{
    for (int32_t lead = 0; lead <= 65; ++lead) {
        for (const int32_t total : {DECODE_MAX_VALUES - 1, DECODE_MAX_VALUES, DECODE_MAX_VALUES + 1}) {
            // Singles up to `total`, after a run of `lead` values.
            Bytes pairs;
            Bytes escaped;
            if (lead > 0) {
                pairs.insert(pairs.end(), {static_cast<uint8_t>(lead - 1), 9});
                escaped.insert(escaped.end(), {0xFF, static_cast<uint8_t>(lead), 9});
            }
            for (int32_t i = lead; i < total; ++i) {
                pairs.insert(pairs.end(), {0, static_cast<uint8_t>(i % 2)});
                escaped.push_back(static_cast<uint8_t>(i % 2));
            }
            const int32_t kept = std::min(total, DECODE_MAX_VALUES);
            ASSERT_EQ(decode_checked(path().decode, reference::decode_pairs, pairs), kept) << lead;
            ASSERT_EQ(decode_checked(path().decode2, reference::decode_escaped, escaped), kept) << lead;

            // Singles, then a run that ends one before, at or one past the
            // capacity, then one more value.
            const int32_t singles = total - 256 - lead;
            const int32_t kept_pairs = singles + (lead > 0 ? 1 : 0);
            pairs.resize(2 * static_cast<size_t>(kept_pairs));
            const int32_t kept_bytes = singles + (lead > 0 ? 3 : 0);
            escaped.resize(static_cast<size_t>(kept_bytes));
            pairs.insert(pairs.end(), {255, 3, 0, 4});
            escaped.insert(escaped.end(), {0xFF, 0xFE, 3, 0xFF, 0x02, 3, 0xFF, 0xFF});
            const int32_t kept_after = std::min(total + 1, DECODE_MAX_VALUES);
            ASSERT_EQ(decode_checked(path().decode, reference::decode_pairs, pairs), kept_after) << lead;
            ASSERT_EQ(decode_checked(path().decode2, reference::decode_escaped, escaped), kept_after) << lead;
        }
    }
}

// Singles, then a run that ends one before, at or one past the capacity,
// decoded into values that start at each float of a 64-byte line: a decoder
// that writes long runs straight, by whole vectors at the values' vector
// boundaries, must still write nothing past the count it returns.
TEST_P(EachPath, DecodersKeepTheirCapacityAtEveryAlignmentOfTheValues)
{
    constexpr size_t kRoom = DECODE_MAX_VALUES + 64;
    constexpr float kUnwritten = -1.0F;
    for (const int32_t past : {-1, 0, 1}) {
        Bytes pairs;
        Bytes escaped;
        for (int32_t i = 0; i < DECODE_MAX_VALUES + past - 256; ++i) {
            pairs.insert(pairs.end(), {0, static_cast<uint8_t>(i % 2)});
        }
        pairs.insert(pairs.end(), {255, 7});
        for (int32_t i = 0; i < DECODE_MAX_VALUES + past - 254; ++i) {
            escaped.push_back(static_cast<uint8_t>(i % 2));
        }
        escaped.insert(escaped.end(), {0xFF, 0xFE, 7});
        for (const auto& [decoder, reference_decoder, stream] :
             {std::tuple{path().decode, &reference::decode_pairs, &pairs},
              std::tuple{path().decode2, &reference::decode_escaped, &escaped}}) {
            const auto size = static_cast<int32_t>(stream->size());
            std::vector<float> expected(kRoom);
            const int32_t kept = reference_decoder(stream->data(), expected.data(), size);
            ASSERT_EQ(kept, std::min(DECODE_MAX_VALUES + past, DECODE_MAX_VALUES));
            for (size_t offset = 0; offset < 16; ++offset) {
                std::vector<float> out(kRoom + 16, kUnwritten);
                ASSERT_EQ(decoder(stream->data(), out.data() + offset, size), kept) << offset;
                const auto values = out.begin() + static_cast<std::ptrdiff_t>(offset);
                EXPECT_TRUE(std::equal(values, values + kept, expected.begin())) << past << " " << offset;
                EXPECT_TRUE(std::all_of(values + kept, out.end(), [](float v) { return v == kUnwritten; }))
                    << past << " " << offset;
            }
        }
    }
}

// A window of pairs holding eight runs of 256 values among singles, or of
// escaped tokens holding eight runs of 254, with the capacity falling before,
// inside or between them at every offset: a decoder that filled them all would
// write 2048 levels past what it keeps. The same for windows of pairs that
// are all runs of 40 values (a plateau), or of escaped tokens that are all
// runs of 64: 2560 and 1344 levels a window.
TEST_P(EachPath, StopsAtTheCapacityAmongAWindowsLongRuns)
{
    for (int32_t before = 0; before <= 300; before += 7) {
        Bytes pairs;
        Bytes escaped;
        Bytes plateau;
        Bytes escaped_plateau;
        for (int32_t i = 0; i < DECODE_MAX_VALUES - before; ++i) {
            pairs.insert(pairs.end(), {0, static_cast<uint8_t>(i % 3)});
            escaped.push_back(static_cast<uint8_t>(i % 3));
        }
        for (int32_t r = 0; r < 8; ++r) {
            pairs.insert(pairs.end(), {255, static_cast<uint8_t>(10 + r), 0, static_cast<uint8_t>(r)});
            escaped.insert(escaped.end(), {0xFF, 0xFE, static_cast<uint8_t>(10 + r)});
        }
        plateau.insert(plateau.end(), {static_cast<uint8_t>(before % 40), 1});
        escaped_plateau.insert(escaped_plateau.end(), static_cast<size_t>(before), 1);
        for (int32_t r = 0; r < 2 * DECODE_MAX_VALUES / 40; ++r) {
            plateau.insert(plateau.end(), {39, static_cast<uint8_t>(r % 7)});
            escaped_plateau.insert(escaped_plateau.end(), {0xFF, 64, static_cast<uint8_t>(r % 7)});
        }
        ASSERT_EQ(decode_checked(path().decode, reference::decode_pairs, pairs), DECODE_MAX_VALUES) << before;
        ASSERT_EQ(decode_checked(path().decode2, reference::decode_escaped, escaped), DECODE_MAX_VALUES) << before;
        ASSERT_EQ(decode_checked(path().decode, reference::decode_pairs, plateau), DECODE_MAX_VALUES) << before;
        ASSERT_EQ(decode_checked(path().decode2, reference::decode_escaped, escaped_plateau), DECODE_MAX_VALUES)
            << before;
    }
}

// Lone 255s among literals for twice the capacity: windows that take the
// escapes' parse, each parsed while the one before is expanded, stop at the
// capacity too, wherever in a window it falls.
TEST_P(EachPath, StopsAtTheCapacityAmongLone255s)
{
    for (int32_t lead = 0; lead < 3; ++lead) {
        Bytes escaped(static_cast<size_t>(lead), 7);
        while (escaped.size() < 3 * size_t{DECODE_MAX_VALUES}) {
            escaped.insert(escaped.end(), {0xFF, 0xFF, 1});
        }
        ASSERT_EQ(decode_checked(path().decode2, reference::decode_escaped, escaped), DECODE_MAX_VALUES) << lead;
    }
}

// Run tokens of 2 to 19 values back to back for several times the capacity:
// windows of run tokens alone, expanded a stretch at a time, stop at the
// capacity too, wherever in a window it falls.
TEST_P(EachPath, StopsAtTheCapacityAmongShortRunTokens)
{
    std::mt19937 rng(11);
    for (int32_t lead = 0; lead < 64; lead += 3) {
        Bytes escaped(static_cast<size_t>(lead), 7);
        while (escaped.size() < 2 * size_t{DECODE_MAX_VALUES}) {
            escaped.insert(escaped.end(),
                           {0xFF, static_cast<uint8_t>(2 + rng() % 18), static_cast<uint8_t>(rng() % 255)});
        }
        ASSERT_EQ(decode_checked(path().decode2, reference::decode_escaped, escaped), DECODE_MAX_VALUES) << lead;
    }
}

// Short runs packed densely enough that a decoder may spread a group of them
// across up to two windows of values at once: groups holding 64 or 128 values
// or one either side, each shifted by every lead, and streams long enough for
// the capacity to fall at every offset inside such a group.
Bytes dense_pairs(int32_t lead, int32_t group_values, size_t bytes, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes pairs;
    if (lead > 0) {
        pairs.insert(pairs.end(), {static_cast<uint8_t>(lead - 1), 7});
    }
    while (pairs.size() < bytes) {
        // 32 pairs of up to 16 values holding group_values in all.
        std::vector<int> counts(32, 0);
        for (int left = group_values - 32; left > 0;) {
            int& c = counts[rng() % 32];
            if (c < 15) {
                ++c;
                --left;
            }
        }
        for (const int c : counts) {
            pairs.insert(pairs.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(rng() % 4 == 0 ? 255 : rng())});
        }
    }
    pairs.resize(bytes);
    return pairs;
}

// The same for escaped streams: runs of 0 to 9 values (levels below 255) and
// literals, `group_values` values in each 64 bytes where the bytes allow, the
// leading literals shifting where escapes meet a window's last bytes. With
// `top`, some runs of and literals at level 255 among them.
Bytes dense_escaped(int32_t lead, bool top, size_t bytes, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes escaped(static_cast<size_t>(lead), 3);
    while (escaped.size() < bytes) {
        const uint32_t kind = rng() % 16;
        if (top && kind == 0) {
            escaped.insert(escaped.end(), {0xFF, 0xFF});
        } else if (top && kind == 1) {
            escaped.insert(escaped.end(), {0xFF, static_cast<uint8_t>(rng() % 10), 0xFF});
        } else if (kind < 9) {
            escaped.insert(escaped.end(), {0xFF, static_cast<uint8_t>(rng() % 10), static_cast<uint8_t>(rng() % 255)});
        } else {
            escaped.push_back(static_cast<uint8_t>(rng() % 255));
        }
    }
    escaped.resize(bytes);
    return escaped;
}

// Escaped windows of 64 bytes, each 21 tokens FF c L and a literal holding
// `window_values` values: around two windows of values, from runs of up to 9.
Bytes escaped_windows_holding(int32_t window_values, size_t windows)
{
    Bytes escaped;
    for (size_t w = 0; w < windows; ++w) {
        for (int t = 0; t < 21; ++t) {
            const int count = t < 20 ? 6 : window_values - 1 - 20 * 6;
            escaped.insert(escaped.end(), {0xFF, static_cast<uint8_t>(count), static_cast<uint8_t>(t + w)});
        }
        escaped.push_back(static_cast<uint8_t>(200 + w));
    }
    return escaped;
}

TEST_P(EachPath, SpreadsDenseShortRunsLikeTheReference)
{
    for (const int32_t window_values : {127, 128, 129, 130}) {
        decode_checked(path().decode2, reference::decode_escaped, escaped_windows_holding(window_values, 12));
    }
    for (int32_t lead = 0; lead <= 64; ++lead) {
        for (const int32_t group_values : {32, 64, 65, 127, 128, 129, 200}) {
            const auto seed = static_cast<uint32_t>(lead * 1000 + group_values);
            decode_checked(path().decode, reference::decode_pairs, dense_pairs(lead, group_values, 900, seed));
        }
        for (const bool top : {false, true}) {
            // Lengths that cut the last token at each of its bytes too.
            for (const size_t bytes : {size_t{700}, size_t{701}, size_t{702}}) {
                decode_checked(path().decode2, reference::decode_escaped,
                               dense_escaped(lead, top, bytes, static_cast<uint32_t>(lead + bytes)));
            }
        }
    }
}

TEST_P(EachPath, SpreadsKeepExactlyTheCapacity)
{
    for (int32_t lead = 1; lead <= 64; ++lead) {
        const auto seed = static_cast<uint32_t>(lead);
        for (const int32_t group_values : {64, 128}) {
            EXPECT_EQ(
                decode_checked(path().decode, reference::decode_pairs,
                               dense_pairs(lead, group_values, 2 * static_cast<size_t>(DECODE_MAX_VALUES + 200), seed)),
                DECODE_MAX_VALUES)
                << lead;
        }
        EXPECT_EQ(decode_checked(path().decode2, reference::decode_escaped,
                                 dense_escaped(lead, false, static_cast<size_t>(DECODE_MAX_VALUES), seed)),
                  DECODE_MAX_VALUES)
            << lead;
    }
}

// Delta streams reaching the capacity through each kind of step: packed
// groups of every width whose last group ends one before, at or one past it
// (or a full group past it), and the plain levels.
TEST_P(EachPath, DeltaDecoderKeepsExactlyItsCapacity)
{
    constexpr int32_t kFullGroups = (DECODE_MAX_VALUES - 1) / 64;  // 89: 5697 values with the first
    for (int width = 0; width <= 8; ++width) {
        for (const int32_t last : {2, 3, 4, 0}) {
            Bytes packed = {0x00, 77, static_cast<uint8_t>(last)};
            for (int32_t g = 0; g <= kFullGroups; ++g) {
                packed.push_back(static_cast<uint8_t>(width));
                for (int32_t k = 0; k < 8 * width; ++k) {
                    packed.push_back(static_cast<uint8_t>(g * 31 + k * 7));
                }
            }
            if (packed.size() % 2 == 0) {
                packed[0] |= 0x04;
                packed.push_back(0);
            }
            const int32_t total = 1 + 64 * kFullGroups + (last == 0 ? 64 : last);
            ASSERT_EQ(decode_checked(path().decode3, reference::decode_deltas, packed),
                      std::min(total, DECODE_MAX_VALUES))
                << "width " << width << ", last " << last;
        }
    }
    for (const int32_t n : {DECODE_MAX_VALUES - 1, DECODE_MAX_VALUES, DECODE_MAX_VALUES + 1}) {
        Bytes levels = {static_cast<uint8_t>(n % 2 == 0 ? 0x01 : 0x05)};
        for (int32_t i = 0; i < n; ++i) {
            levels.push_back(static_cast<uint8_t>(i * 3));
        }
        if (n % 2 == 1) {
            levels.push_back(0);
        }
        ASSERT_EQ(decode_checked(path().decode3, reference::decode_deltas, levels), std::min(n, DECODE_MAX_VALUES));
    }
}

// Packets from every path: full but the last, nothing written past a packet's
// length or the packet count, and merge giving the bytes back with nothing
// written past them, whatever lengths the packets claim.
TEST_P(EachPath, FramesLikeThePacketRules)
{
    std::vector<int32_t> lengths = {1, 2, 63, 64, 65, 127, 128, 649, 650, 651, 1299, 1300, 1301, 1906, 3788, 3800};
    for (int32_t len = 3; len < 1400; len += 37) {
        lengths.push_back(len);
    }
    for (const int32_t len : lengths) {
        Bytes stream(static_cast<size_t>(len));
        for (size_t i = 0; i < stream.size(); ++i) {
            stream[i] = static_cast<uint8_t>(i * 7 + i / 256);
        }
        const size_t count = (stream.size() + PACKET_DATA_SIZE - 1) / PACKET_DATA_SIZE;
        std::vector<packet> packets(count + 1);
        std::memset(packets.data(), kUntouchedByte, packets.size() * sizeof(packet));
        ASSERT_EQ(path().split(stream.data(), packets.data(), len), static_cast<int32_t>(count)) << len;
        for (size_t j = 0; j < count; ++j) {
            const auto size = static_cast<size_t>(std::min<int32_t>(len - 650 * static_cast<int32_t>(j), 650));
            ASSERT_EQ(packets[j].length, static_cast<int32_t>(size)) << len;
            ASSERT_EQ(packets[j].last, j + 1 == count ? 1 : 0) << len;
            ASSERT_EQ(std::memcmp(packets[j].data, stream.data() + 650 * j, size), 0) << len;
            ASSERT_TRUE(untouched(packets[j].data + size, PACKET_DATA_SIZE - size)) << "split past the length " << len;
        }
        ASSERT_TRUE(untouched(&packets[count], sizeof(packet))) << "split past the count " << len;

        Bytes merged(stream.size() + kSlack, kUntouchedByte);
        ASSERT_EQ(path().merge(packets.data(), merged.data(), static_cast<int32_t>(count)), len);
        ASSERT_TRUE(std::equal(stream.begin(), stream.end(), merged.begin())) << len;
        ASSERT_TRUE(untouched(merged.data() + len, kSlack)) << "merge past the total " << len;
    }

    // Claimed lengths outside 0..650 count as clamped.
    std::mt19937 rng(5);
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<packet> packets(1 + rng() % 5);
        size_t total = 0;
        for (packet& p : packets) {
            for (uint8_t& b : p.data) {
                b = static_cast<uint8_t>(rng());
            }
            p.length = static_cast<int32_t>(rng() % 700) - 20;
            total += static_cast<size_t>(std::clamp(p.length, 0, PACKET_DATA_SIZE));
        }
        Bytes merged(total + kSlack, kUntouchedByte);
        Bytes expected(total + kSlack, kUntouchedByte);
        const auto count = static_cast<int32_t>(packets.size());
        ASSERT_EQ(path().merge(packets.data(), merged.data(), count), static_cast<int32_t>(total));
        comm::detail::portable_path.merge(packets.data(), expected.data(), count);
        ASSERT_EQ(merged, expected);
    }
}

// A window of pairs with many short runs is expanded with 16-value fills, so
// a run of 16 values is the longest such a window may hold, and 17 not.
TEST_P(EachPath, DecodesManyShortRunsUpToTheFillWidth)
{
    for (const uint8_t count : {uint8_t{15}, uint8_t{16}}) {
        for (size_t at = 0; at < 64; at += 9) {
            Bytes pairs;
            for (size_t k = 0; k < 64; ++k) {
                pairs.insert(pairs.end(), {k == at ? count : static_cast<uint8_t>(k % 3), static_cast<uint8_t>(k)});
            }
            decode_checked(path().decode, reference::decode_pairs, pairs);
        }
    }
}

// Pair streams of short runs, their counts drawn up to `longest_count`,
// mostly small with now and then the longest: decoders expand such windows
// several pairs a shuffle, by lane tables keyed on the counts, or in slots of
// 4, 8 or 16 bytes a run, chosen by the longest count of 16 pairs.
Bytes short_run_pairs(std::mt19937& rng, size_t pairs, unsigned longest_count)
{
    Bytes stream;
    for (size_t k = 0; k < pairs; ++k) {
        const auto count =
            static_cast<unsigned>(rng() % 8 == 0 ? longest_count : rng() % (std::min(longest_count, 3U) + 1));
        stream.insert(stream.end(), {static_cast<uint8_t>(count), static_cast<uint8_t>(rng())});
    }
    return stream;
}

TEST_P(EachPath, DecodesShortRunsAtEveryStreamLength)
{
    std::mt19937 rng(8);
    for (const unsigned longest_count : {1U, 2U, 3U, 4U, 7U, 8U, 15U, 16U, 200U}) {
        for (size_t pairs = 1; pairs <= 200; ++pairs) {
            decode_checked(path().decode, reference::decode_pairs, short_run_pairs(rng, pairs, longest_count));
        }
    }
}

// The capacity reached inside a window of short runs at every offset: a
// first run of `lead` values shifts where the short runs fall.
TEST_P(EachPath, DecodersKeepTheirCapacityAmongShortRuns)
{
    std::mt19937 rng(9);
    for (const unsigned longest_count : {1U, 3U, 4U, 7U, 15U, 255U}) {
        for (int32_t lead = 1; lead <= 72; ++lead) {
            Bytes pairs{static_cast<uint8_t>(lead - 1), 9};
            const Bytes runs = short_run_pairs(rng, DECODE_MAX_VALUES, longest_count);
            pairs.insert(pairs.end(), runs.begin(), runs.end());
            ASSERT_EQ(decode_checked(path().decode, reference::decode_pairs, pairs), DECODE_MAX_VALUES) << lead;
        }
    }
}

// Windows of 64 pairs that open with a run of 256 values and go on with runs
// of 16, the capacity falling inside that long run at many offsets: a decoder
// that takes a window's runs a stretch at a time must stop at the long run,
// not stage a window of long runs past its room.
TEST_P(EachPath, DecodersStopAtTheCapacityInsideALongRunBeforeShortOnes)
{
    for (int32_t lead = 1; lead <= 256; ++lead) {
        Bytes pairs{static_cast<uint8_t>(lead - 1), 9};
        for (int k = 1; k < 64; ++k) {
            pairs.insert(pairs.end(), {4, static_cast<uint8_t>(k)});
        }
        for (int window = 0; window < 6; ++window) {
            pairs.insert(pairs.end(), {255, 200});
            for (int k = 1; k < 64; ++k) {
                pairs.insert(pairs.end(), {15, static_cast<uint8_t>(k + window)});
            }
        }
        ASSERT_EQ(decode_checked(path().decode, reference::decode_pairs, pairs), DECODE_MAX_VALUES) << lead;
    }
}

// Runs of one to `longest` values among singles, so that run starts come
// several to a byte of a window's mask and runs reach across bytes and
// windows; the token writers gather the starts a byte of the mask at a time.
TEST_P(EachPath, EncodesShortRunsAcrossTheBytesOfAWindow)
{
    std::mt19937 rng(10);
    for (const size_t longest : {size_t{2}, size_t{3}, size_t{9}, size_t{17}, size_t{70}}) {
        for (size_t n = 1; n <= 400; n += 1 + n / 16) {
            Levels levels;
            while (levels.size() < n) {
                const size_t length = rng() % 6 == 0 ? 1 + rng() % longest : 1 + rng() % 2;
                levels.insert(levels.end(), length, static_cast<uint8_t>(rng() % 3 == 0 ? 255 : rng()));
            }
            levels.resize(n);
            check_levels(path(), levels);
        }
    }
}

// Escaped streams of literals and short run tokens, cut at every length (so
// some end inside a token): with no escape byte near another, decoders take
// each escape as a run token from the mask alone; a 255 escaped or as a run's
// level, or an escape within a window's last two bytes, must still be parsed
// a token at a time.
TEST_P(EachPath, DecodesEscapedShortRunsAtEveryLength)
{
    std::mt19937 rng(11);
    for (const unsigned top_one_in : {1000U, 40U, 6U}) {
        for (const unsigned longest : {3U, 16U, 17U, 254U}) {
            Bytes tokens;
            while (tokens.size() < 400) {
                const auto level = static_cast<uint8_t>(rng() % top_one_in == 0 ? 255 : rng() % 255);
                if (rng() % 2 == 0) {
                    tokens.insert(tokens.end(), {0xFF, static_cast<uint8_t>(2 + rng() % (longest - 1)), level});
                } else if (level == 255) {
                    tokens.insert(tokens.end(), {0xFF, 0xFF});
                } else {
                    tokens.push_back(level);
                }
            }
            for (size_t n = 1; n <= tokens.size(); ++n) {
                decode_checked(path().decode2, reference::decode_escaped,
                               Bytes(tokens.begin(), tokens.begin() + static_cast<std::ptrdiff_t>(n)));
            }
        }
    }
}

TEST_P(EachPath, DecodersTakeAnyBytes)
{
    std::mt19937 rng(4);
    for (int trial = 0; trial < 3000; ++trial) {
        Bytes stream(rng() % 400);
        const unsigned escape_one_in = 1 + trial % 8;
        for (uint8_t& b : stream) {
            b = rng() % escape_one_in == 0 ? 0xFF : static_cast<uint8_t>(rng());
        }
        decode_checked(path().decode, reference::decode_pairs, stream);
        decode_checked(path().decode2, reference::decode_escaped, stream);
    }
    // Delta streams of odd length: mostly known forms and widths, some not.
    for (int trial = 0; trial < 3000; ++trial) {
        Bytes stream(3 + 2 * (rng() % 300));
        for (uint8_t& b : stream) {
            b = static_cast<uint8_t>(rng() % 4 == 0 ? rng() % 10 : rng());
        }
        stream[0] = static_cast<uint8_t>(rng() % 8 == 0 ? rng() : (rng() % 2) | (rng() % 2 == 0 ? 0x04 : 0x00));
        stream[2] = static_cast<uint8_t>(rng() % 66);
        decode_checked(path().decode3, reference::decode_deltas, stream);
    }
}

std::vector<std::string> path_names()
{
    std::vector<std::string> names;
    for (const CodecPath* path : comm::detail::runnable_paths()) {
        names.emplace_back(path->name);
    }
    return names;
}

INSTANTIATE_TEST_SUITE_P(Runnable, EachPath, testing::ValuesIn(path_names()),
                         [](const testing::TestParamInfo<std::string>& param) { return param.param; });

TEST(PathChoice, CapsAtTheNamedPathAndDefaultsToTheFastest)
{
    const auto paths = comm::detail::runnable_paths();
    ASSERT_FALSE(paths.empty());
    EXPECT_STREQ(paths.front()->name, "portable");
    EXPECT_EQ(&comm::detail::choose_path(paths, nullptr), paths.back());
    EXPECT_EQ(&comm::detail::choose_path(paths, "no such path"), paths.back());
    EXPECT_EQ(&comm::detail::choose_path(paths, "portable"), paths.front());
    for (const CodecPath* path : paths) {
        EXPECT_EQ(&comm::detail::choose_path(paths, path->name), path);
        EXPECT_EQ(comm::detail::find_path(path->name), path);
    }
    EXPECT_EQ(comm::detail::find_path("no such path"), nullptr);
}

}  // namespace
