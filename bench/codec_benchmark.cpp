// comm_benchmark: encode, decode, encode2, decode2 and split + merge on blocks of
// 1900 and 5700 values of three kinds, next to a memcpy of the block's n * 4
// float bytes measured in the same process as the baseline.
//
// Counters, per benchmark:
//   bytes_per_second  the block's n * 4 float bytes per second of CPU time, for
//                     every operation: the input of the encoders and of memcpy,
//                     the output of the decoders, the floats that the stream of
//                     split + merge stands for.
//   stream_B          the encoded stream's size in bytes (n * 4 for memcpy).
//   cratio            float bytes over stream bytes: 4 means one byte a value.
//   stream_Bps        split + merge only: the stream bytes it moves per second.
// After the usual report the program prints a table: each operation's CPU time
// per value and that time as a multiple of the memcpy time for the same data
// kind and block size (the median over repetitions when there are several).
// Both move when the machine is busy: on a shared machine run with, say,
// --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true.
//
// Every benchmark checks its output once before timing and reports an error
// instead of a time if the output is wrong.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <numbers>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "comm/Comm.h"
#include "comm/sample_level.hpp"

#ifndef COMM_BENCHMARK_BUILD_TYPE
#define COMM_BENCHMARK_BUILD_TYPE "unknown"
#endif

namespace {

constexpr std::array<int32_t, 2> kSizes = {1900, 5700};

enum class Kind { uniform, plateaus, smooth };
constexpr std::array<Kind, 3> kKinds = {Kind::uniform, Kind::plateaus, Kind::smooth};

const char* kind_name(Kind kind)
{
    switch (kind) {
        case Kind::uniform:
            return "uniform";
        case Kind::plateaus:
            return "plateaus";
        case Kind::smooth:
            return "smooth";
    }
    return "?";
}

// Longest plateau, and the period in samples of the smooth signal. With this
// period the level moves by at most 255 * pi / 3000 ~ 0.27 per sample, so runs
// of equal levels are about six values long on average and longer at the crests.
constexpr uint32_t kMaxPlateau = 600;
constexpr double kSinePeriod = 3000.0;

// A uniform float in [0, 1) from 24 random bits: exact, and the same on every
// platform (std::mt19937's output is fixed by the standard, unlike the
// standard distributions).
float unit_float(std::mt19937& gen)
{
    return static_cast<float>(gen() >> 8) * 0x1p-24F;
}

// One block of n values of a kind. The seed depends on the kind only, so the
// smaller block of a kind is the start of the larger one.
std::vector<float> make_values(Kind kind, int32_t n)
{
    std::vector<float> values(static_cast<size_t>(n));
    std::mt19937 gen(20240611U + static_cast<uint32_t>(kind));
    switch (kind) {
        case Kind::uniform:
            std::generate(values.begin(), values.end(), [&gen] { return unit_float(gen); });
            break;
        case Kind::plateaus:
            for (size_t i = 0; i < values.size();) {
                const size_t length = 1 + gen() % kMaxPlateau;
                const float v = unit_float(gen);
                for (size_t k = 0; k < length && i < values.size(); ++k) {
                    values[i++] = v;
                }
            }
            break;
        case Kind::smooth:
            for (size_t i = 0; i < values.size(); ++i) {
                const double phase = 2.0 * std::numbers::pi * static_cast<double>(i) / kSinePeriod;
                values[i] = static_cast<float>(0.5 + 0.5 * std::sin(phase));
            }
            break;
    }
    return values;
}

// A block, its levels and both of its encoded streams, made before any timing.
struct Block {
    Kind kind;
    int32_t n;
    std::vector<float> values;
    std::vector<uint8_t> levels;
    std::vector<uint8_t> pair;     // from encode
    std::vector<uint8_t> escaped;  // from encode2
};

Block make_block(Kind kind, int32_t n)
{
    Block block{kind, n, make_values(kind, n), {}, {}, {}};
    block.levels.reserve(block.values.size());
    for (const float v : block.values) {
        block.levels.push_back(comm::quantise(v));
    }
    std::vector<uint8_t> stream(2 * block.values.size());
    const int32_t pair_size = encode(block.values.data(), stream.data(), n);
    block.pair.assign(stream.begin(), stream.begin() + std::max(pair_size, 0));
    const int32_t escaped_size = encode2(block.values.data(), stream.data(), n);
    block.escaped.assign(stream.begin(), stream.begin() + std::max(escaped_size, 0));
    return block;
}

// The counters every benchmark reports; see the top of the file.
void report(benchmark::State& state, const Block& block, size_t stream_size)
{
    const size_t float_bytes = block.values.size() * sizeof(float);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(float_bytes));
    state.counters["stream_B"] = benchmark::Counter(static_cast<double>(stream_size));
    state.counters["cratio"] = benchmark::Counter(
        stream_size == 0 ? 0.0 : static_cast<double>(float_bytes) / static_cast<double>(stream_size));
}

// True when values[0..n) are exactly the values of the block's levels.
bool restores_levels(const std::vector<float>& values, int32_t written, const Block& block)
{
    if (written != block.n) {
        return false;
    }
    for (size_t i = 0; i < block.levels.size(); ++i) {
        // Bit patterns, so that a wrong sign of zero or a NaN counts as different.
        if (std::bit_cast<uint32_t>(values[i]) != std::bit_cast<uint32_t>(comm::level_value(block.levels[i]))) {
            return false;
        }
    }
    return true;
}

void bm_memcpy(benchmark::State& state, const Block& block)
{
    const size_t bytes = block.values.size() * sizeof(float);
    std::vector<float> copy(block.values.size());
    const float* source = block.values.data();
    float* target = copy.data();
    // Both buffers escape: the compiler must assume they are read elsewhere.
    benchmark::DoNotOptimize(source);
    benchmark::DoNotOptimize(target);
    for ([[maybe_unused]] auto _ : state) {
        std::memcpy(target, source, bytes);
        benchmark::ClobberMemory();
    }
    if (copy != block.values) {
        state.SkipWithError("memcpy did not copy the block");
        return;
    }
    report(state, block, bytes);
}

template <int32_t (*Encoder)(const float*, uint8_t*, int32_t)>
void bm_encoder(benchmark::State& state, const Block& block, const std::vector<uint8_t>& expected)
{
    std::vector<uint8_t> stream(2 * block.values.size());
    const int32_t first = Encoder(block.values.data(), stream.data(), block.n);
    if (first != static_cast<int32_t>(expected.size()) ||
        !std::equal(expected.begin(), expected.end(), stream.begin())) {
        state.SkipWithError("the encoder's stream differs from the one made before timing");
        return;
    }
    uint8_t* out = stream.data();
    benchmark::DoNotOptimize(out);
    for ([[maybe_unused]] auto _ : state) {
        int32_t size = Encoder(block.values.data(), out, block.n);
        benchmark::DoNotOptimize(size);
        benchmark::ClobberMemory();
    }
    report(state, block, expected.size());
}

template <int32_t (*Decoder)(const uint8_t*, float*, int32_t)>
void bm_decoder(benchmark::State& state, const Block& block, const std::vector<uint8_t>& stream)
{
    std::vector<float> values(DECODE_MAX_VALUES);
    const auto count = static_cast<int32_t>(stream.size());
    if (!restores_levels(values, Decoder(stream.data(), values.data(), count), block)) {
        state.SkipWithError("the decoder did not restore the block's levels");
        return;
    }
    float* out = values.data();
    benchmark::DoNotOptimize(out);
    for ([[maybe_unused]] auto _ : state) {
        int32_t written = Decoder(stream.data(), out, count);
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
    report(state, block, stream.size());
}

void bm_split_merge(benchmark::State& state, const Block& block, const std::vector<uint8_t>& stream)
{
    const auto len = static_cast<int32_t>(stream.size());
    std::vector<packet> packets((stream.size() + PACKET_DATA_SIZE - 1) / PACKET_DATA_SIZE);
    std::vector<uint8_t> joined(stream.size());
    const int32_t first = merge(packets.data(), joined.data(), split(stream.data(), packets.data(), len));
    if (first != len || joined != stream) {
        state.SkipWithError("split + merge did not give back the stream");
        return;
    }
    packet* cut = packets.data();
    uint8_t* out = joined.data();
    benchmark::DoNotOptimize(cut);
    benchmark::DoNotOptimize(out);
    for ([[maybe_unused]] auto _ : state) {
        int32_t count = split(stream.data(), cut, len);
        benchmark::DoNotOptimize(count);
        int32_t merged = merge(cut, out, count);
        benchmark::DoNotOptimize(merged);
        benchmark::ClobberMemory();
    }
    report(state, block, stream.size());
    state.counters["stream_Bps"] = benchmark::Counter(
        static_cast<double>(stream.size()), benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::kIs1024);
}

// The operations, in the order they are registered and tabled; the baseline first.
enum class Op { memcpy, encode, decode, encode2, decode2, split_merge, split_merge2 };
constexpr std::array<Op, 7> kOps = {Op::memcpy,  Op::encode,      Op::decode,      Op::encode2,
                                    Op::decode2, Op::split_merge, Op::split_merge2};

const char* op_name(Op op)
{
    switch (op) {
        case Op::memcpy:
            return "memcpy";
        case Op::encode:
            return "encode";
        case Op::decode:
            return "decode";
        case Op::encode2:
            return "encode2";
        case Op::decode2:
            return "decode2";
        case Op::split_merge:
            return "split_merge";
        case Op::split_merge2:
            return "split_merge2";
    }
    return "?";
}

// The stream an operation works on (for memcpy, the block's float bytes).
size_t stream_bytes(Op op, const Block& block)
{
    switch (op) {
        case Op::encode:
        case Op::decode:
        case Op::split_merge:
            return block.pair.size();
        case Op::encode2:
        case Op::decode2:
        case Op::split_merge2:
            return block.escaped.size();
        case Op::memcpy:
            break;
    }
    return block.values.size() * sizeof(float);
}

void run_case(benchmark::State& state, Op op, const Block& block)
{
    switch (op) {
        case Op::memcpy:
            return bm_memcpy(state, block);
        case Op::encode:
            return bm_encoder<encode>(state, block, block.pair);
        case Op::decode:
            return bm_decoder<decode>(state, block, block.pair);
        case Op::encode2:
            return bm_encoder<encode2>(state, block, block.escaped);
        case Op::decode2:
            return bm_decoder<decode2>(state, block, block.escaped);
        case Op::split_merge:
            return bm_split_merge(state, block, block.pair);
        case Op::split_merge2:
            return bm_split_merge(state, block, block.escaped);
    }
}

std::string group_name(const Block& block)
{
    return std::string(kind_name(block.kind)) + "/" + std::to_string(block.n);
}

// One registered benchmark.
struct Case {
    std::string name;  // "op/kind/n"
    Op op;
    const Block* block;
};

void register_case(std::vector<Case>& cases, Op op, const Block& block)
{
    const Case& c = cases.emplace_back(Case{std::string(op_name(op)) + "/" + group_name(block), op, &block});
    // The library's registry owns the benchmark; the analyzer cannot see that.
    benchmark::RegisterBenchmark(c.name.c_str(),  // NOLINT(clang-analyzer-cplusplus.NewDeleteLeaks)
                                 [op, b = &block](benchmark::State& state) { run_case(state, op, *b); });
}

double median(std::vector<double> xs)
{
    std::sort(xs.begin(), xs.end());
    const size_t mid = xs.size() / 2;
    return xs.size() % 2 == 1 ? xs[mid] : (xs[mid - 1] + xs[mid]) / 2.0;
}

// Passes everything to the display reporter chosen on the command line, keeps
// each benchmark's CPU time per iteration, and at the end prints the table of
// times per value and multiples of the memcpy baseline.
class RatioTable final : public benchmark::BenchmarkReporter {
public:
    RatioTable(benchmark::BenchmarkReporter* display, const std::vector<Case>& cases) : display_(display), cases_(cases)
    {
    }

    bool ReportContext(const Context& context) override { return display_->ReportContext(context); }

    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0) {
                const double ns = run.GetAdjustedCPUTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
                cpu_ns_[run.run_name.function_name].push_back(ns);
            }
        }
        display_->ReportRuns(runs);
    }

    void Finalize() override
    {
        display_->Finalize();
        // Beside the console report on stdout; on stderr when stdout carries JSON or CSV.
        const bool console = dynamic_cast<benchmark::ConsoleReporter*>(display_) != nullptr;
        print(console ? display_->GetOutputStream() : display_->GetErrorStream());
    }

private:
    void print(std::ostream& out) const
    {
        if (cpu_ns_.empty()) {
            return;
        }
        out << "\nCPU time per value, and as a multiple of the time of memcpy of the same block's n*4 float bytes\n"
               "(median over repetitions; x memcpy > 1 is slower than the copy)\n";
        char line[160];
        std::snprintf(line, sizeof line, "%-9s %5s  %-13s %9s %10s %9s %7s %6s\n", "kind", "n", "op", "ns/value",
                      "x memcpy", "stream B", "cratio", "reps");
        out << line;
        std::string group;
        for (const Case& c : cases_) {
            const auto found = cpu_ns_.find(c.name);
            if (found == cpu_ns_.end()) {
                continue;
            }
            const Block& block = *c.block;
            const std::string this_group = group_name(block);
            if (this_group != group && !group.empty()) {
                out << '\n';
            }
            group = this_group;
            const double ns = median(found->second);
            const auto base = cpu_ns_.find(std::string(op_name(Op::memcpy)) + "/" + this_group);
            char ratio[32] = "-";
            if (base != cpu_ns_.end()) {
                std::snprintf(ratio, sizeof ratio, "%.2f", ns / median(base->second));
            }
            const size_t bytes = stream_bytes(c.op, block);
            const double cratio = static_cast<double>(block.values.size() * sizeof(float)) /
                                  static_cast<double>(std::max<size_t>(bytes, 1));
            std::snprintf(line, sizeof line, "%-9s %5d  %-13s %9.3f %10s %9zu %7.2f %6zu\n", kind_name(block.kind),
                          static_cast<int>(block.n), op_name(c.op), ns / static_cast<double>(block.n), ratio, bytes,
                          cratio, found->second.size());
            out << line;
        }
        out.flush();
    }

    benchmark::BenchmarkReporter* display_;
    const std::vector<Case>& cases_;
    std::map<std::string, std::vector<double>> cpu_ns_;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::AddCustomContext("comm_build_type", COMM_BENCHMARK_BUILD_TYPE);

    std::deque<Block> blocks;  // a deque keeps the blocks in place while they are added
    std::vector<Case> cases;
    for (const int32_t n : kSizes) {
        for (const Kind kind : kKinds) {
            const Block& block = blocks.emplace_back(make_block(kind, n));
            for (const Op op : kOps) {
                register_case(cases, op, block);
            }
        }
    }

    // The library owns the default display reporter.
    RatioTable reporter(benchmark::CreateDefaultDisplayReporter(), cases);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
