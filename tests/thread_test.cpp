// The library keeps no state, so concurrent calls on separate buffers must give
// exactly what single calls give. Built with ThreadSanitizer in CI.
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "comm/Comm.h"
#include "reference/reference.hpp"

namespace {

struct Expected {
    std::vector<float> values;
    reference::Bytes pairs;
    reference::Bytes escaped;
};

// Encodes, frames and decodes `job` with both methods; true when every result
// matches the single-threaded reference.
bool round_trip_matches(const Expected& job)
{
    const auto n = static_cast<int32_t>(job.values.size());
    reference::Bytes stream(2 * job.values.size()), merged(stream.size());
    std::vector<packet> packets(stream.size() / PACKET_DATA_SIZE + 1);
    std::vector<float> decoded(DECODE_MAX_VALUES);
    bool ok = true;
    for (const int method : {1, 2}) {
        const reference::Bytes& want = method == 1 ? job.pairs : job.escaped;
        const int32_t size = (method == 1 ? encode : encode2)(job.values.data(), stream.data(), n);
        const int32_t parts = split(stream.data(), packets.data(), size);
        const int32_t merged_size = merge(packets.data(), merged.data(), parts);
        const int32_t count = (method == 1 ? decode : decode2)(merged.data(), decoded.data(), merged_size);
        ok = ok && size == static_cast<int32_t>(want.size()) && std::equal(want.begin(), want.end(), merged.begin()) &&
             count == n && std::equal(job.values.begin(), job.values.end(), decoded.begin());
    }
    return ok;
}

TEST(Threads, ConcurrentCallsGiveTheSameResultsAsSingleOnes)
{
    std::mt19937 rng(5);
    std::vector<Expected> jobs(16);
    for (Expected& job : jobs) {
        reference::Levels levels(1 + rng() % DECODE_MAX_VALUES);
        for (uint8_t& level : levels) {
            level = static_cast<uint8_t>(rng() % 3 == 0 ? 255 : rng() % 4);  // short runs, many escapes
        }
        job = {reference::values_of(levels), reference::encode_pairs(levels), reference::encode_escaped(levels)};
    }

    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    std::vector<int> failures(kThreads);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                failures[t] += round_trip_matches(jobs[(t + round) % jobs.size()]) ? 0 : 1;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}

}  // namespace
