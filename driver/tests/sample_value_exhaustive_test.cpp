// Every result of rand, 0 to 2147483647, against an exact reference.
#include <bit>
#include <cmath>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver/round_trip.hpp"

namespace {

constexpr int64_t kDen = 2147483647;
__extension__ using int128 = __int128;
__extension__ using uint128 = unsigned __int128;

// |r / kDen - f| scaled by kDen * 2^60, exactly: f = mantissa * 2^(exponent - 150)
// for a normal float, and every candidate here is normal (or zero).
uint128 scaled_distance(int64_t r, float f)
{
    const auto bits = std::bit_cast<uint32_t>(f);
    const int exponent = static_cast<int>(bits >> 23);
    if (exponent == 0) {
        return static_cast<uint128>(r) << 60;  // f == 0
    }
    const int64_t mantissa = (bits & 0x7FFFFF) | 0x800000;
    const int128 target = static_cast<int128>(r) << 60;
    const int128 scaled = static_cast<int128>(mantissa * kDen) << (exponent - 90);
    return static_cast<uint128>(target > scaled ? target - scaled : scaled - target);
}

// The nearest float among the double-quotient route's result and its neighbours.
float exact_nearest(int64_t r, float near)
{
    float best = near;
    for (const float candidate : {std::nextafter(near, 0.0F), std::nextafter(near, 2.0F)}) {
        if (scaled_distance(r, candidate) < scaled_distance(r, best)) {
            best = candidate;
        }
    }
    return best;
}

TEST(SampleValueExhaustive, EveryRandResultIsRoundedOnce)
{
    constexpr int kThreads = 2;
    std::vector<int64_t> failures(kThreads), double_route_errors(kThreads);
    std::vector<int64_t> first_double_route_error(kThreads, -1);
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int64_t r = t; r <= kDen; r += kThreads) {
                const auto via_double = static_cast<float>(static_cast<double>(r) / static_cast<double>(kDen));
                const float exact = exact_nearest(r, via_double);
                failures[t] += round_trip::sample_value(static_cast<int32_t>(r)) != exact ? 1 : 0;
                if (via_double != exact) {
                    ++double_route_errors[t];
                    first_double_route_error[t] = r;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures[0] + failures[1], 0);
    // The double route is wrong exactly once, at 2147483583 (odd).
    EXPECT_EQ(double_route_errors[0] + double_route_errors[1], 1);
    EXPECT_EQ(first_double_route_error[1], 2147483583);
}

}  // namespace
