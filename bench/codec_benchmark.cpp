// comm_benchmark: every coder on every path this CPU can run, the step-by-step
// reference coders as the "before", split and merge, and LZ4 as the peer, on
// eight data sets (bench/data_sets.hpp) in blocks of 1900 values, and two of
// them also in blocks of 5700.
// Every time is shown as a multiple of a memcpy of the same block's n * 4 float
// bytes, measured in the same run; split and merge also as a multiple of a
// memcpy of the stream they cut or join.
//
// Benchmark names are "<data set>/<n>/<function>/<implementation>":
//   memcpy/floats, memcpy/pair, memcpy/escaped   the baselines
//   encode|decode|encode2|decode2|encode3|decode3/<impl>
//                                                impl: before, portable, avx2, avx512, avx512vbmi2
//   split|merge/pair, split|merge/escaped        the framing, one routine on every path
//   lz4_compress/lz4, lz4_decompress/lz4         the peer, on the block's level bytes
// so --benchmark_filter=/1900/ keeps one block size, =/encode2/ one function.
//
// After the usual report (or instead of it, with --comm_table_only) the program
// prints two tables: the coders as x memcpy per implementation, and the framing
// as x memcpy of the block and of the stream. Each cell is the median over the
// repetitions and, in brackets, the fastest and slowest repetition over the same
// median memcpy, so the machine's noise shows. The table needs the runs of each
// repetition: do not pass --benchmark_report_aggregates_only or
// --benchmark_display_aggregates_only.
//
// Every benchmark checks its output once before timing (stream bytes equal to
// the reference coder's, decoded floats bit-equal to the levels' values, no
// write past the bounds) and reports an error instead of a time if it is wrong;
// the program then exits with status 1.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench/data_sets.hpp"
#include "bench/output_checks.hpp"
#include "bench/ratio_table.hpp"
#include "bench/timed_blocks.hpp"
#include "comm/Comm.h"
#include "comm/codec_paths.hpp"
#include "comm/sample_level.hpp"
#include "reference/reference.hpp"

#if COMM_BENCHMARK_LZ4
#include <lz4.h>
#endif

#ifndef COMM_BENCHMARK_BUILD_TYPE
#define COMM_BENCHMARK_BUILD_TYPE "unknown"
#endif

namespace {

using bench::bench_name;
using bench::Block;
using bench::Bytes;
using bench::Coder;
using bench::Decoder;
using bench::Encoder;
using bench::kCoders;
using bench::kFloats;
using bench::kFraming;
using bench::kMemcpy;
using bench::kPeer;
using bench::kStreams;
using bench::named_stream;

// Every data set in the round-trip program's block size; uniform and plateau
// also in the most values a decoder writes (all of them would take the run
// past two minutes on a busy two-core machine).
constexpr int32_t kBlockValues = bench::kBlockValues;
constexpr int32_t kLargeBlockValues = DECODE_MAX_VALUES;

bool timed_in_large_block(bench::DataSet set)
{
    return set == bench::DataSet::uniform || set == bench::DataSet::plateau;
}

// The six coders of one implementation: the reference ("before") or a path.
struct Coders {
    std::string name;
    Encoder encode;
    Decoder decode;
    Encoder encode2;
    Decoder decode2;
    Encoder encode3;
    Decoder decode3;
};

std::vector<Coders> implementations()
{
    std::vector<Coders> list{{std::string(bench::kBefore), reference::encode_pairs, reference::decode_pairs,
                              reference::encode_escaped, reference::decode_escaped, reference::encode_deltas,
                              reference::decode_deltas}};
    const auto paths = comm::detail::runnable_paths();
    std::transform(paths.begin(), paths.end(), std::back_inserter(list), [](const comm::detail::CodecPath* path) {
        return Coders{path->name,    path->encode,  path->decode, path->encode2,
                      path->decode2, path->encode3, path->decode3};
    });
    return list;
}

Bytes encoded(Encoder encoder, const std::vector<float>& values)
{
    Bytes stream(2 * values.size());
    const int32_t size = encoder(values.data(), stream.data(), static_cast<int32_t>(values.size()));
    stream.resize(static_cast<size_t>(std::max(size, 0)));
    return stream;
}

Block make_block(bench::DataSet set, int32_t n)
{
    Block block{n,
                std::string(bench::data_set_name(set)) + "/" + std::to_string(n),
                bench::make_data_set(set, n),
                {},
                {},
                {},
                {},
                {},
                {}};
    block.levels = reference::levels_of(block.values);
    for (const uint8_t level : block.levels) {
        block.decoded.push_back(comm::level_value(level));
    }
    block.pair = encoded(reference::encode_pairs, block.values);
    block.escaped = encoded(reference::encode_escaped, block.values);
    block.deltas = encoded(reference::encode_deltas, block.values);
#if COMM_BENCHMARK_LZ4
    block.lz4.resize(static_cast<size_t>(LZ4_compressBound(n)));
    const int size =
        LZ4_compress_default(reinterpret_cast<const char*>(block.levels.data()),
                             reinterpret_cast<char*>(block.lz4.data()), n, static_cast<int>(block.lz4.size()));
    block.lz4.resize(static_cast<size_t>(std::max(size, 0)));
#endif
    return block;
}

// Every benchmark checks its output once before timing, and only then times.
bool passes(benchmark::State& state, const char* fault)
{
    if (fault != nullptr) {
        state.SkipWithError(fault);
        return false;
    }
    return true;
}

// One timed call's input and output, at the same places in every benchmark
// and every run: both 64-byte aligned, the output half a page on from a page
// boundary past the input, so that no load falls 4 KiB from a recent store.
// Heap buffers land at other places in each run: a memcpy of a block's floats
// took from 41 to 60 ns on an Intel Xeon by where its two buffers fell.
class TimedBuffers {
public:
    TimedBuffers(size_t input_bytes, size_t output_bytes)
        : output_offset_(round_up(input_bytes, kPage) + kPage / 2),
          memory_(::operator new (output_offset_ + output_bytes, std::align_val_t{kPage}))
    {
    }
    ~TimedBuffers() { ::operator delete (memory_, std::align_val_t{kPage}); }
    TimedBuffers(const TimedBuffers&) = delete;
    TimedBuffers(TimedBuffers&&) = delete;
    TimedBuffers& operator=(const TimedBuffers&) = delete;
    TimedBuffers& operator=(TimedBuffers&&) = delete;

    template <class T>
    T* input()
    {
        return static_cast<T*>(memory_);
    }
    template <class T>
    T* output()
    {
        return static_cast<T*>(static_cast<void*>(static_cast<uint8_t*>(memory_) + output_offset_));
    }

private:
    static constexpr size_t kPage = 4096;
    static size_t round_up(size_t n, size_t unit) { return (n + unit - 1) / unit * unit; }
    size_t output_offset_;
    void* memory_;
};

void bm_memcpy(benchmark::State& state, const void* original, size_t bytes)
{
    TimedBuffers buffers(bytes, bytes);
    const void* source = buffers.input<uint8_t>();
    std::memcpy(buffers.input<uint8_t>(), original, bytes);
    void* target = buffers.output<uint8_t>();
    std::memcpy(target, source, bytes);
    if (!passes(state, std::memcmp(target, source, bytes) == 0 ? nullptr : "memcpy did not copy")) {
        return;
    }
    // Both pointers escape: the compiler must assume the buffers are read elsewhere.
    benchmark::DoNotOptimize(source);
    benchmark::DoNotOptimize(target);
    for ([[maybe_unused]] auto _ : state) {
        std::memcpy(target, source, bytes);
        benchmark::ClobberMemory();
    }
}

void bm_encoder(benchmark::State& state, Encoder encoder, const Block& block, const Bytes& expected)
{
    if (!passes(state, bench::encoder_fault(encoder, block.values, expected))) {
        return;
    }
    const size_t value_bytes = block.values.size() * sizeof(float);
    TimedBuffers buffers(value_bytes, 2 * block.values.size());
    const auto* values = buffers.input<float>();
    std::memcpy(buffers.input<float>(), block.values.data(), value_bytes);
    auto* out = buffers.output<uint8_t>();
    benchmark::DoNotOptimize(out);
    for ([[maybe_unused]] auto _ : state) {
        int32_t written = encoder(values, out, block.n);
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
}

void bm_decoder(benchmark::State& state, Decoder decoder, const Block& block, const Bytes& stream)
{
    if (!passes(state, bench::decoder_fault(decoder, stream, block.decoded))) {
        return;
    }
    TimedBuffers buffers(stream.size(), DECODE_MAX_VALUES * sizeof(float));
    std::memcpy(buffers.input<uint8_t>(), stream.data(), stream.size());
    const uint8_t* in = buffers.input<uint8_t>();
    const auto count = static_cast<int32_t>(stream.size());
    auto* out = buffers.output<float>();
    benchmark::DoNotOptimize(out);
    for ([[maybe_unused]] auto _ : state) {
        int32_t written = decoder(in, out, count);
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
}

void bm_split(benchmark::State& state, const Bytes& stream)
{
    if (!passes(state, bench::split_fault(split, stream))) {
        return;
    }
    const auto len = static_cast<int32_t>(stream.size());
    TimedBuffers buffers(stream.size(), bench::packets_for(stream) * sizeof(packet));
    std::memcpy(buffers.input<uint8_t>(), stream.data(), stream.size());
    const uint8_t* in = buffers.input<uint8_t>();
    auto* out = buffers.output<packet>();
    benchmark::DoNotOptimize(out);
    for ([[maybe_unused]] auto _ : state) {
        int32_t filled = split(in, out, len);
        benchmark::DoNotOptimize(filled);
        benchmark::ClobberMemory();
    }
}

void bm_merge(benchmark::State& state, const Bytes& stream)
{
    if (!passes(state, bench::merge_fault(merge, stream))) {
        return;
    }
    // The stream's packets, made without split, so that merge is timed and checked on its own.
    const std::vector<packet> packets = bench::packets_of(stream);
    const auto count = static_cast<int32_t>(packets.size());
    TimedBuffers buffers(packets.size() * sizeof(packet), stream.size());
    std::memcpy(buffers.input<packet>(), packets.data(), packets.size() * sizeof(packet));
    const auto* in = buffers.input<packet>();
    auto* out = buffers.output<uint8_t>();
    benchmark::DoNotOptimize(out);
    for ([[maybe_unused]] auto _ : state) {
        int32_t merged = merge(in, out, count);
        benchmark::DoNotOptimize(merged);
        benchmark::ClobberMemory();
    }
}

#if COMM_BENCHMARK_LZ4

// LZ4 gives back exactly the block's levels from `compressed`.
bool lz4_restores(const Block& block, const char* compressed, int size)
{
    constexpr size_t kSpare = 64;  // bytes past the block, which must stay as they are
    Bytes levels(block.levels.size() + kSpare, 0xA5);
    const int written = LZ4_decompress_safe(compressed, reinterpret_cast<char*>(levels.data()), size, block.n);
    return written == block.n && std::equal(block.levels.begin(), block.levels.end(), levels.begin()) &&
           std::all_of(levels.begin() + block.n, levels.end(), [](uint8_t b) { return b == 0xA5; });
}

void bm_lz4_compress(benchmark::State& state, const Block& block)
{
    const auto* source = reinterpret_cast<const char*>(block.levels.data());
    std::vector<char> compressed(static_cast<size_t>(LZ4_compressBound(block.n)));
    const int capacity = static_cast<int>(compressed.size());
    const int size = LZ4_compress_default(source, compressed.data(), block.n, capacity);
    if (!passes(state, size > 0 && lz4_restores(block, compressed.data(), size)
                           ? nullptr
                           : "LZ4 does not give back the levels")) {
        return;
    }
    TimedBuffers buffers(block.levels.size(), compressed.size());
    std::memcpy(buffers.input<char>(), source, block.levels.size());
    const auto* in = buffers.input<char>();
    auto* out = buffers.output<char>();
    benchmark::DoNotOptimize(out);
    for ([[maybe_unused]] auto _ : state) {
        int written = LZ4_compress_default(in, out, block.n, capacity);
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
}

void bm_lz4_decompress(benchmark::State& state, const Block& block)
{
    const auto* source = reinterpret_cast<const char*>(block.lz4.data());
    const auto size = static_cast<int>(block.lz4.size());
    if (!passes(state, !block.lz4.empty() && lz4_restores(block, source, size) ? nullptr
                                                                               : "LZ4 does not give back the levels")) {
        return;
    }
    TimedBuffers buffers(block.lz4.size(), block.levels.size());
    std::memcpy(buffers.input<char>(), source, block.lz4.size());
    const auto* in = buffers.input<char>();
    auto* out = buffers.output<char>();
    benchmark::DoNotOptimize(out);
    for ([[maybe_unused]] auto _ : state) {
        int written = LZ4_decompress_safe(in, out, size, block.n);
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
}

#endif

// What one benchmark times.
enum class Task { memcpy, encode, decode, split, merge, lz4_compress, lz4_decompress };

struct Job {
    Task task;
    const Block* block;
    const void* source = nullptr;  // memcpy: the bytes to copy
    size_t bytes = 0;
    const Bytes* stream = nullptr;  // the stream a coder must give or take, or the framing cuts or joins
    Encoder encoder = nullptr;
    Decoder decoder = nullptr;
};

void time_job(benchmark::State& state, const Job& job)
{
    switch (job.task) {
        case Task::memcpy:
            return bm_memcpy(state, job.source, job.bytes);
        case Task::encode:
            return bm_encoder(state, job.encoder, *job.block, *job.stream);
        case Task::decode:
            return bm_decoder(state, job.decoder, *job.block, *job.stream);
        case Task::split:
            return bm_split(state, *job.stream);
        case Task::merge:
            return bm_merge(state, *job.stream);
        case Task::lz4_compress:
        case Task::lz4_decompress:
#if COMM_BENCHMARK_LZ4
            return job.task == Task::lz4_compress ? bm_lz4_compress(state, *job.block)
                                                  : bm_lz4_decompress(state, *job.block);
#endif
            break;
    }
    state.SkipWithError("nothing to time");
}

// The library's registry owns every benchmark registered here, which the
// analyzer cannot see: it takes each for a leak, wherever the path to it runs.
// NOLINTBEGIN(clang-analyzer-cplusplus.NewDeleteLeaks)

void add(const std::string& name, const Job& job)
{
    benchmark::RegisterBenchmark(name.c_str(), [job](benchmark::State& state) { time_job(state, job); });
}

// Registers every benchmark of a block, its baselines first.
void register_block(const Block& block, const std::vector<Coders>& impls)
{
    const Block* b = &block;
    add(bench_name(block, kMemcpy, kFloats),
        {Task::memcpy, b, block.values.data(), block.values.size() * sizeof(float)});
    for (const std::string_view stream : kStreams) {
        const Bytes& bytes = named_stream(block, stream);
        add(bench_name(block, kMemcpy, stream), {Task::memcpy, b, bytes.data(), bytes.size()});
    }
    for (const Coder coder : kCoders) {
        for (const Coders& impl : impls) {
            Job job{bench::is_encoder(coder) ? Task::encode : Task::decode, b};
            job.stream = &bench::stream_of(coder, block);
            job.encoder =
                coder == Coder::encode ? impl.encode : (coder == Coder::encode2 ? impl.encode2 : impl.encode3);
            job.decoder =
                coder == Coder::decode ? impl.decode : (coder == Coder::decode2 ? impl.decode2 : impl.decode3);
            add(bench_name(block, bench::coder_name(coder), impl.name), job);
        }
    }
    for (const std::string_view stream : kStreams) {
        Job job{Task::split, b};
        job.stream = &named_stream(block, stream);
        add(bench_name(block, kFraming[0], stream), job);
        job.task = Task::merge;
        add(bench_name(block, kFraming[1], stream), job);
    }
#if COMM_BENCHMARK_LZ4
    add(bench_name(block, "lz4_compress", kPeer), {Task::lz4_compress, b});
    add(bench_name(block, "lz4_decompress", kPeer), {Task::lz4_decompress, b});
#endif
}

// Makes the blocks and registers their benchmarks; returns the table's columns:
// the implementations of the coders, then the peer.
std::vector<std::string> register_all(std::deque<Block>& blocks)
{
    const std::vector<Coders> impls = implementations();
    for (const bench::DataSet set : bench::kDataSets) {
        register_block(blocks.emplace_back(make_block(set, kBlockValues)), impls);
    }
    for (const bench::DataSet set : bench::kDataSets) {
        if (timed_in_large_block(set)) {
            register_block(blocks.emplace_back(make_block(set, kLargeBlockValues)), impls);
        }
    }
    std::vector<std::string> columns;
    columns.reserve(impls.size() + 1);
    std::transform(impls.begin(), impls.end(), std::back_inserter(columns), [](const Coders& c) { return c.name; });
#if COMM_BENCHMARK_LZ4
    columns.emplace_back(kPeer);
#endif
    return columns;
}

// NOLINTEND(clang-analyzer-cplusplus.NewDeleteLeaks)

std::string path_names()
{
    std::string names;
    for (const comm::detail::CodecPath* path : comm::detail::runnable_paths()) {
        if (!names.empty()) {
            names += ' ';
        }
        names += path->name;
    }
    return names;
}

// Takes --comm_table_only out of the arguments; true if it was there.
bool take_table_only(int& argc, char** argv)
{
    constexpr std::string_view kFlag = "--comm_table_only";
    const int before = argc;
    argc =
        static_cast<int>(std::remove_if(argv + 1, argv + argc, [kFlag](const char* a) { return a == kFlag; }) - argv);
    return argc != before;
}

}  // namespace

int main(int argc, char** argv)
{
    // First, so that no branch of main lies on the analyzer's path to the registry.
    std::deque<Block> blocks;  // a deque keeps the blocks in place while they are added
    const std::vector<std::string> columns = register_all(blocks);  // NOLINT(clang-analyzer-cplusplus.NewDeleteLeaks)

    const bool table_only = take_table_only(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::AddCustomContext("cpu_model", bench::cpu_model());
    benchmark::AddCustomContext("comm_build_type", COMM_BENCHMARK_BUILD_TYPE);
    benchmark::AddCustomContext("comm_paths", path_names());
    benchmark::AddCustomContext("comm_peer", bench::peer_description());

    // The library owns the default display reporter.
    bench::RatioTable reporter(benchmark::CreateDefaultDisplayReporter(), table_only, blocks, columns,
                               comm::detail::active_path().name);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.failed() ? 1 : 0;
}
