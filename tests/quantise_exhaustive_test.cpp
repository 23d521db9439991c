// Every float bit pattern, 2^32 of them (a sample under emulation), through
// every path's quantiser against the rule (comm::quantise: the exact product,
// truncated, out of range clamped).
// The vector paths multiply in float; this is what shows the float product
// truncates the same way for every input.
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "comm/codec_paths.hpp"
#include "comm/sample_level.hpp"
#include "emulation.hpp"

namespace {

// Natively every batch of 2^16 patterns. Emulated, the two batches on each
// side of every 2^21-pattern boundary: they hold zero, the floats on both
// sides of 1 and of -1, the largest finite floats, the infinities and NaNs.
bool checked(uint64_t batch)
{
    return (batch + 1) % static_cast<uint64_t>(2 * kEmulatedThinning) < 2;
}

TEST(QuantiseExhaustive, EveryPathGivesTheRulesLevelForEveryFloat)
{
    constexpr uint64_t kPatterns = uint64_t{1} << 32;
    constexpr uint32_t kBatch = 1U << 16;
    constexpr int kThreads = 2;
    const auto paths = comm::detail::runnable_paths();
    std::vector<std::vector<uint64_t>> mismatches(kThreads, std::vector<uint64_t>(paths.size()));
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<float> values(kBatch);
            std::vector<uint8_t> expected(kBatch);
            std::vector<uint8_t> levels(kBatch);
            const uint64_t batches = kPatterns / kBatch;
            for (auto batch = static_cast<uint64_t>(t); batch < batches; batch += kThreads) {
                if (!checked(batch)) {
                    continue;
                }
                const uint64_t first = batch * kBatch;
                for (uint32_t i = 0; i < kBatch; ++i) {
                    values[i] = std::bit_cast<float>(static_cast<uint32_t>(first + i));
                    expected[i] = comm::quantise(values[i]);
                }
                for (size_t p = 0; p < paths.size(); ++p) {
                    paths[p]->quantise(values.data(), levels.data(), static_cast<int32_t>(kBatch));
                    for (uint32_t i = 0; i < kBatch; ++i) {
                        mismatches[static_cast<size_t>(t)][p] += levels[i] != expected[i] ? 1 : 0;
                    }
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (size_t p = 0; p < paths.size(); ++p) {
        EXPECT_EQ(mismatches[0][p] + mismatches[1][p], 0U) << paths[p]->name;
    }
}

}  // namespace
