// comm_delta_designs: the measurements behind the delta method's format.
// Prints, for every data set in blocks of 1900 values, the bytes per value of
// each candidate design (run-length methods, LZ4, the order-0 entropy of the
// deltas, static Huffman, rANS from htscodecs where it is installed, bit
// packing in groups of 16, 32 and 64), then times the library candidate
// (htscodecs) against a memcpy of the block's floats with Google Benchmark.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <queue>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/data_sets.hpp"
#include "comm/Comm.h"
#include "comm/sample_level.hpp"

#if COMM_BENCHMARK_LZ4
#include <lz4.h>
#endif
#if COMM_DESIGNS_HTSCODECS
#include <htscodecs/rANS_static4x16.h>
#endif

namespace {

constexpr int32_t kBlock = 1900;
constexpr int32_t kBlocks = 3;  // blocks measured per set, one after another

using Bytes = std::vector<uint8_t>;

Bytes levels_of(const std::vector<float>& values)
{
    Bytes levels(values.size());
    std::transform(values.begin(), values.end(), levels.begin(), comm::quantise);
    return levels;
}

// Neighbour differences modulo 256, folded so that small ones of either sign
// are small: 0, -1, 1, -2, ... -> 0, 1, 2, 3, ... The first value's is its level.
Bytes zigzag_deltas(const Bytes& levels)
{
    Bytes out(levels.size());
    uint8_t previous = 0;
    for (size_t i = 0; i < levels.size(); ++i) {
        const auto d = static_cast<int8_t>(static_cast<uint8_t>(levels[i] - previous));
        out[i] = static_cast<uint8_t>(d >= 0 ? 2 * d : -2 * d - 1);
        previous = levels[i];
    }
    return out;
}

double entropy_bytes(const Bytes& symbols)
{
    std::array<double, 256> counts{};
    for (const uint8_t s : symbols) {
        counts[s] += 1;
    }
    double bits = 0;
    for (const double c : counts) {
        if (c > 0) {
            // cppcheck-suppress useStlAlgorithm
            bits -= c * std::log2(c / static_cast<double>(symbols.size()));
        }
    }
    return bits / 8;
}

// Static Huffman: code lengths from the block's counts; the table as 4 bits a
// symbol up to the largest one present.
double huffman_bytes(const Bytes& symbols)
{
    std::array<uint64_t, 256> counts{};
    for (const uint8_t s : symbols) {
        ++counts[s];
    }
    using Node = std::pair<uint64_t, std::vector<int>>;
    auto heavier = [](const Node& a, const Node& b) { return a.first > b.first; };
    std::priority_queue<Node, std::vector<Node>, decltype(heavier)> queue(heavier);
    int largest = 0;
    for (int s = 0; s < 256; ++s) {
        if (counts[static_cast<size_t>(s)] > 0) {
            queue.push({counts[static_cast<size_t>(s)], {s}});
            largest = s;
        }
    }
    std::array<int, 256> length{};
    while (queue.size() > 1) {
        Node a = queue.top();
        queue.pop();
        Node b = queue.top();
        queue.pop();
        for (const int s : a.second) {
            ++length[static_cast<size_t>(s)];
        }
        for (const int s : b.second) {
            ++length[static_cast<size_t>(s)];
        }
        a.second.insert(a.second.end(), b.second.begin(), b.second.end());
        queue.push({a.first + b.first, a.second});
    }
    double bits = 4.0 * (largest + 1);
    for (size_t s = 0; s < 256; ++s) {
        bits += static_cast<double>(counts[s]) * std::max(length[s], 1);
    }
    return 1 + bits / 8;  // the first level
}

int width_of(uint8_t value)
{
    return value == 0 ? 0 : 32 - std::countl_zero(uint32_t{value});
}

// Bit packing of the deltas after the first level, in groups of `group`, each
// with a 4-bit width; `zero_runs`: a run of all-zero groups costs one header.
double packed_bytes(const Bytes& deltas, size_t group, bool zero_runs)
{
    double bits = 8;
    bool in_zero_run = false;
    for (size_t g = 1; g < deltas.size(); g += group) {
        const size_t end = std::min(deltas.size(), g + group);
        const int width = width_of(*std::max_element(deltas.begin() + static_cast<std::ptrdiff_t>(g),
                                                     deltas.begin() + static_cast<std::ptrdiff_t>(end)));
        if (!(zero_runs && width == 0 && in_zero_run)) {
            bits += 4;
        }
        in_zero_run = width == 0;
        bits += static_cast<double>(width) * static_cast<double>(group);
    }
    return std::ceil(bits / 8);
}

using Measure = std::function<double(const Bytes& levels, const std::vector<float>& values)>;

struct Design {
    const char* name;
    Measure bytes;
};

std::vector<Design> designs()
{
    std::vector<Design> all = {
        {"pairs",
         [](const Bytes&, const std::vector<float>& v) {
             Bytes s(2 * v.size());
             return static_cast<double>(encode(v.data(), s.data(), static_cast<int32_t>(v.size())));
         }},
        {"escaped",
         [](const Bytes&, const std::vector<float>& v) {
             Bytes s(2 * v.size());
             return static_cast<double>(encode2(v.data(), s.data(), static_cast<int32_t>(v.size())));
         }},
#if COMM_BENCHMARK_LZ4
        {"lz4",
         [](const Bytes& l, const std::vector<float>&) {
             std::vector<char> s(static_cast<size_t>(LZ4_compressBound(static_cast<int>(l.size()))));
             return static_cast<double>(LZ4_compress_default(reinterpret_cast<const char*>(l.data()), s.data(),
                                                             static_cast<int>(l.size()), static_cast<int>(s.size())));
         }},
#endif
        {"entropy", [](const Bytes& l, const std::vector<float>&) { return entropy_bytes(zigzag_deltas(l)); }},
        {"huffman", [](const Bytes& l, const std::vector<float>&) { return huffman_bytes(zigzag_deltas(l)); }},
#if COMM_DESIGNS_HTSCODECS
        {"rans4x16",
         [](const Bytes& l, const std::vector<float>&) {
             Bytes d = zigzag_deltas(l);
             unsigned size = 0;
             unsigned char* out = rans_compress_4x16(d.data(), static_cast<unsigned>(d.size()), &size, 0);
             std::free(out);
             return static_cast<double>(size);
         }},
#endif
        {"pack16", [](const Bytes& l, const std::vector<float>&) { return packed_bytes(zigzag_deltas(l), 16, false); }},
        {"pack32", [](const Bytes& l, const std::vector<float>&) { return packed_bytes(zigzag_deltas(l), 32, false); }},
        {"pack64", [](const Bytes& l, const std::vector<float>&) { return packed_bytes(zigzag_deltas(l), 64, false); }},
        {"pack64z", [](const Bytes& l, const std::vector<float>&) { return packed_bytes(zigzag_deltas(l), 64, true); }},
    };
    return all;
}

void print_sizes()
{
    const std::vector<Design> all = designs();
    std::printf("bytes per value, blocks of %d values (%d blocks a set)\n%-14s", kBlock, kBlocks, "set");
    for (const Design& d : all) {
        std::printf("%10s", d.name);
    }
    std::printf("\n");
    for (const bench::DataSet set : bench::kDataSets) {
        const std::vector<float> data = bench::make_data_set(set, kBlock * kBlocks);
        std::printf("%-14s", bench::data_set_name(set));
        for (const Design& d : all) {
            double total = 0;
            for (std::ptrdiff_t b = 0; b < kBlocks; ++b) {
                const std::vector<float> block(data.begin() + b * kBlock, data.begin() + (b + 1) * kBlock);
                total += d.bytes(levels_of(block), block);
            }
            std::printf("%10.3f", total / (kBlock * kBlocks));
        }
        std::printf("\n");
    }
    std::fflush(stdout);
}

// cppcheck-suppress constParameterCallback
void memcpy_floats(benchmark::State& state, bench::DataSet set)
{
    const std::vector<float> values = bench::make_data_set(set, kBlock);
    std::vector<float> copy(values.size());
    for ([[maybe_unused]] auto _ : state) {
        std::memcpy(copy.data(), values.data(), values.size() * sizeof(float));
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
}

#if COMM_DESIGNS_HTSCODECS
// The library candidate on the zigzag deltas alone (quantising and the
// deltas themselves would come on top).
void rans_encode(benchmark::State& state, bench::DataSet set)
{
    Bytes d = zigzag_deltas(levels_of(bench::make_data_set(set, kBlock)));
    Bytes out(rans_compress_bound_4x16(static_cast<unsigned>(d.size()), 0));
    for ([[maybe_unused]] auto _ : state) {
        auto size = static_cast<unsigned>(out.size());
        benchmark::DoNotOptimize(
            rans_compress_to_4x16(d.data(), static_cast<unsigned>(d.size()), out.data(), &size, 0));
        benchmark::ClobberMemory();
    }
}

void rans_decode(benchmark::State& state, bench::DataSet set)
{
    Bytes d = zigzag_deltas(levels_of(bench::make_data_set(set, kBlock)));
    Bytes packed(rans_compress_bound_4x16(static_cast<unsigned>(d.size()), 0));
    auto size = static_cast<unsigned>(packed.size());
    rans_compress_to_4x16(d.data(), static_cast<unsigned>(d.size()), packed.data(), &size, 0);
    Bytes out(d.size());
    for ([[maybe_unused]] auto _ : state) {
        auto out_size = static_cast<unsigned>(out.size());
        benchmark::DoNotOptimize(rans_uncompress_to_4x16(packed.data(), size, out.data(), &out_size));
        benchmark::ClobberMemory();
    }
}
#endif

}  // namespace

// The library's registry owns every benchmark registered here, which the
// analyzer cannot see.
// NOLINTBEGIN(clang-analyzer-cplusplus.NewDeleteLeaks)
int main(int argc, char** argv)
{
    print_sizes();
    for (const bench::DataSet set : {bench::DataSet::sensor_fine, bench::DataSet::speech}) {
        const std::string name = bench::data_set_name(set);
        benchmark::RegisterBenchmark(("memcpy_floats/" + name).c_str(), memcpy_floats, set);
#if COMM_DESIGNS_HTSCODECS
        benchmark::RegisterBenchmark(("rans4x16_encode/" + name).c_str(), rans_encode, set);
        benchmark::RegisterBenchmark(("rans4x16_decode/" + name).c_str(), rans_decode, set);
#endif
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
// NOLINTEND(clang-analyzer-cplusplus.NewDeleteLeaks)
