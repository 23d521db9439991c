// Generated samples; what commstat must report for them, worked out by calling
// the library directly, block by block; and a field-by-field check of its JSON.
#ifndef COMM_TOOL_TESTS_LIBRARY_RESULTS_HPP
#define COMM_TOOL_TESTS_LIBRARY_RESULTS_HPP

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#if COMM_TOOL_LZ4
#include <lz4.h>
#endif

#include "comm/Comm.h"
#include "comm/sample_level.hpp"

namespace stat_test {

// Uniform in [0, 1); plateaus of 1 to 700 equal levels, 255 included;
// uniform with every 97th value odd (outside [0, 1], NaN, or just at its
// ends); levels 0 and 1 alternating, the longest streams there are.
enum class Kind { uniform, plateau, out_of_range, alternating };

inline std::vector<float> make(Kind kind, size_t count)
{
    std::mt19937 rng(static_cast<unsigned>(count));
    std::vector<float> v(count);
    std::uniform_real_distribution<float> unit(0.0F, 1.0F);
    for (size_t i = 0; i < count;) {
        const size_t run = kind == Kind::plateau ? 1 + rng() % 700 : 1;
        const float level = comm::level_value(static_cast<uint8_t>(rng()));
        for (size_t k = 0; k < run && i < count; ++k, ++i) {
            v[i] = kind == Kind::plateau       ? level
                   : kind == Kind::alternating ? comm::level_value(static_cast<uint8_t>(i % 2))
                                               : unit(rng);
        }
    }
    if (kind == Kind::out_of_range) {
        constexpr float kInf = std::numeric_limits<float>::infinity();
        const float odd[] = {-0.5F, 1.5F, NAN, kInf, -kInf, -1e-45F, 1.0000001F, -0.0F, 1.0F, 0.0F};
        for (size_t i = 0; i < count; i += 97) {
            v[i] = odd[i % std::size(odd)];
        }
    }
    return v;
}

// The raw file of `values`: each float's bits, least significant byte first,
// whatever the CPU's own byte order.
inline std::string raw_bytes(std::span<const float> values)
{
    std::string bytes(4 * values.size(), '\0');
    for (size_t i = 0; i < values.size(); ++i) {
        const auto bits = std::bit_cast<uint32_t>(values[i]);
        for (size_t k = 0; k < 4; ++k) {
            bytes[4 * i + k] = static_cast<char>(bits >> (8 * k));
        }
    }
    return bytes;
}

struct MethodResult {
    const char* key;
    int32_t (*encode)(const float*, uint8_t*, int32_t);
    uint64_t stream_bytes = 0;
    uint64_t packets = 0;
    uint64_t auto_blocks = 0;  // blocks for which auto chose this method
};

struct LibraryResults {
    uint64_t values = 0;
    uint64_t blocks = 0;
    uint64_t below_0 = 0;
    uint64_t above_1 = 0;
    uint64_t nan = 0;
    std::vector<MethodResult> methods{{"pair", encode}, {"escaped", encode2}, {"deltas", encode3}};
    // Each block by its smallest method, the earlier one in `methods` on a tie.
    uint64_t auto_bytes = 0;
    uint64_t auto_packets = 0;
    uint64_t lz4_bytes = 0;  // LZ4 on each block's levels
    // Decoded minus original over the values in [0, 1].
    uint64_t in_range = 0;
    double largest_error = 0;
    double error_sum = 0;
    double error_squares = 0;
    double signal_squares = 0;
};

inline LibraryResults library_results(std::span<const float> values, size_t block)
{
    LibraryResults r;
    std::vector<uint8_t> stream(2 * block);
    std::vector<packet> packets(stream.size() / PACKET_DATA_SIZE + 1);
    for (size_t first = 0; first < values.size(); first += block) {
        const std::span<const float> b = values.subspan(first, std::min(block, values.size() - first));
        std::array<int32_t, 3> sizes{};
        std::array<int32_t, 3> counts{};
        for (size_t i = 0; i < r.methods.size(); ++i) {
            MethodResult& m = r.methods[i];
            sizes.at(i) = m.encode(b.data(), stream.data(), static_cast<int32_t>(b.size()));
            counts.at(i) = split(stream.data(), packets.data(), sizes.at(i));
            m.stream_bytes += static_cast<uint64_t>(sizes.at(i));
            m.packets += static_cast<uint64_t>(counts.at(i));
        }
        const auto best = static_cast<size_t>(std::min_element(sizes.begin(), sizes.end()) - sizes.begin());
        r.auto_bytes += static_cast<uint64_t>(sizes.at(best));
        r.auto_packets += static_cast<uint64_t>(counts.at(best));
        ++r.methods[best].auto_blocks;
#if COMM_TOOL_LZ4
        std::vector<char> levels(b.size());
        std::transform(b.begin(), b.end(), levels.begin(),
                       [](float x) { return static_cast<char>(comm::quantise(x)); });
        std::vector<char> packed(static_cast<size_t>(LZ4_compressBound(static_cast<int>(levels.size()))));
        r.lz4_bytes += static_cast<uint64_t>(LZ4_compress_default(
            levels.data(), packed.data(), static_cast<int>(levels.size()), static_cast<int>(packed.size())));
#endif
        ++r.blocks;
    }
    r.values = values.size();
    for (const float x : values) {
        r.below_0 += x < 0.0F ? 1 : 0;
        r.above_1 += x > 1.0F ? 1 : 0;
        r.nan += std::isnan(x) ? 1 : 0;
        if (x >= 0.0F && x <= 1.0F) {
            const double e = static_cast<double>(comm::level_value(comm::quantise(x))) - static_cast<double>(x);
            ++r.in_range;
            r.largest_error = std::max(r.largest_error, std::abs(e));
            r.error_sum += e;
            r.error_squares += e * e;
            r.signal_squares += static_cast<double>(x) * static_cast<double>(x);
        }
    }
    return r;
}

// `stats` is an input's or the total's object in commstat's JSON.
inline void expect_results(const nlohmann::json& stats, const LibraryResults& expected)
{
    EXPECT_EQ(stats["values"], expected.values);
    EXPECT_EQ(stats["raw_bytes"], 4 * expected.values);
    EXPECT_EQ(stats["blocks"], expected.blocks);
    EXPECT_EQ(stats["outside_0_1"]["below_0"], expected.below_0);
    EXPECT_EQ(stats["outside_0_1"]["above_1"], expected.above_1);
    EXPECT_EQ(stats["outside_0_1"]["nan"], expected.nan);
    EXPECT_EQ(stats["outside_0_1"]["total"], expected.below_0 + expected.above_1 + expected.nan);
    const nlohmann::json& automatic = stats["auto"];
    EXPECT_EQ(automatic["stream_bytes"], expected.auto_bytes);
    EXPECT_EQ(automatic["packets"], expected.auto_packets);
    for (const MethodResult& m : expected.methods) {
        EXPECT_EQ(automatic["blocks_per_method"][m.key], m.auto_blocks) << m.key;
    }
    EXPECT_EQ(automatic["round_trip"], "ok");
#if COMM_TOOL_LZ4
    EXPECT_EQ(stats["lz4"]["stream_bytes"], expected.lz4_bytes);
#endif
    const auto smallest =
        std::min_element(expected.methods.begin(), expected.methods.end(),
                         [](const MethodResult& a, const MethodResult& b) { return a.stream_bytes < b.stream_bytes; });
    EXPECT_EQ(stats["smallest"], smallest->key);

    // Sums in another order round differently: equal to a few parts in 10^12.
    const nlohmann::json& error = stats["quantisation_error"];
    const auto n = static_cast<double>(expected.in_range);
    EXPECT_EQ(error["values"], expected.in_range);
    EXPECT_EQ(error["largest"].get<double>(), expected.largest_error);
    EXPECT_NEAR(error["mean_bias"].get<double>(), expected.error_sum / n, 1e-12);
    EXPECT_NEAR(error["rms"].get<double>(), std::sqrt(expected.error_squares / n), 1e-12);
    if (expected.error_squares == 0) {
        EXPECT_TRUE(error["snr_db"].is_null());  // no error: no finite ratio
    } else {
        EXPECT_NEAR(error["snr_db"].get<double>(), 10 * std::log10(expected.signal_squares / expected.error_squares),
                    1e-9);
    }
    for (const MethodResult& m : expected.methods) {
        SCOPED_TRACE(m.key);
        const nlohmann::json& got = stats["methods"][m.key];
        EXPECT_EQ(got["stream_bytes"], m.stream_bytes);
        EXPECT_EQ(got["packets"], m.packets);
        const auto bytes = static_cast<double>(m.stream_bytes);
        EXPECT_DOUBLE_EQ(got["ratio_to_raw"].get<double>(), bytes / (4.0 * static_cast<double>(expected.values)));
        EXPECT_DOUBLE_EQ(got["bytes_per_value"].get<double>(), bytes / static_cast<double>(expected.values));
        EXPECT_EQ(got["round_trip"], "ok");
        EXPECT_EQ(got["failed_blocks"], 0);
        EXPECT_GT(got["encode_mb_per_s"].get<double>(), 0.0);
        EXPECT_GT(got["decode_mb_per_s"].get<double>(), 0.0);
    }
}

}  // namespace stat_test

#endif  // COMM_TOOL_TESTS_LIBRARY_RESULTS_HPP
