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
// With --comm_blocks=K every benchmark but LZ4's takes K different blocks of its
// data set in turn (the set's first K * n values), one a timed call, so that
// branch predictors cannot learn a single block; its memcpy baselines take the
// same K. Without it, K is 1.
//
// Every benchmark checks its output once before timing (stream bytes equal to
// the reference coder's, decoded floats bit-equal to the levels' values, no
// write past the bounds) and reports an error instead of a time if it is wrong;
// the program then exits with status 1.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <new>
#include <numeric>
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

Block block_of(std::string group, std::vector<float> values)
{
    const auto n = static_cast<int32_t>(values.size());
    Block block{n, std::move(group), std::move(values), {}, {}, {}, {}, {}, {}, {}};
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

// The first n values of a data set, followed by its next `turns` - 1
// stretches of n values.
Block make_block(bench::DataSet set, int32_t n, int32_t turns)
{
    const std::string group = std::string(bench::data_set_name(set)) + "/" + std::to_string(n);
    const std::vector<float> values = bench::make_data_set(set, n * turns);
    const auto stretch = [&values, n](int32_t turn) {
        const auto start = values.begin() + static_cast<std::ptrdiff_t>(turn) * n;
        return std::vector<float>(start, start + n);
    };
    Block block = block_of(group, stretch(0));
    for (int32_t turn = 1; turn < turns; ++turn) {
        block.followers.push_back(block_of(group, stretch(turn)));
    }
    return block;
}

// With --comm_blocks=K every benchmark but LZ4's takes K different blocks of its
// data set in turn (the set's first K * n values), one a timed call, so that
// branch predictors cannot learn a single block; its memcpy baselines take the
// same K. Without it, K is 1.
//
// Every benchmark checks its output once before timing, and only then times.
bool passes(benchmark::State& state, const char* fault)
{
    if (fault != nullptr) {
        state.SkipWithError(fault);
        return false;
    }
    return true;
}

// One timed call's inputs and output, at the same places in every benchmark
// and every run: each input 64-byte aligned, one after another from a page
// boundary, the output half a page on from a page boundary past them, so that
// no load falls 4 KiB from a recent store. Heap buffers land at other places in
// each run: a memcpy of a block's floats took from 41 to 60 ns on an Intel Xeon
// by where its two buffers fell.
class TimedBuffers {
public:
    TimedBuffers(const std::vector<size_t>& input_bytes, size_t output_bytes)
        : input_offsets_(offsets_of(input_bytes)),
          output_offset_(round_up(input_offsets_.back(), kPage) + kPage / 2),
          memory_(::operator new (output_offset_ + output_bytes, std::align_val_t{kPage}))
    {
    }
    TimedBuffers(size_t input_bytes, size_t output_bytes) : TimedBuffers(std::vector<size_t>{input_bytes}, output_bytes)
    {
    }
    ~TimedBuffers() { ::operator delete (memory_, std::align_val_t{kPage}); }
    TimedBuffers(const TimedBuffers&) = delete;
    TimedBuffers(TimedBuffers&&) = delete;
    TimedBuffers& operator=(const TimedBuffers&) = delete;
    TimedBuffers& operator=(TimedBuffers&&) = delete;

    template <class T>
    T* input(size_t turn = 0)
    {
        return static_cast<T*>(static_cast<void*>(static_cast<uint8_t*>(memory_) + input_offsets_[turn]));
    }
    template <class T>
    T* output()
    {
        return static_cast<T*>(static_cast<void*>(static_cast<uint8_t*>(memory_) + output_offset_));
    }

private:
    static constexpr size_t kPage = 4096;
    static constexpr size_t kLine = 64;
    static size_t round_up(size_t n, size_t unit) { return (n + unit - 1) / unit * unit; }
    // Where each input starts, and last where the inputs end.
    static std::vector<size_t> offsets_of(const std::vector<size_t>& sizes)
    {
        std::vector<size_t> offsets(sizes.size() + 1, 0);
        std::transform_inclusive_scan(sizes.begin(), sizes.end(), offsets.begin() + 1, std::plus<>{},
                                      [](size_t size) { return round_up(size, kLine); });
        return offsets;
    }
    std::vector<size_t> input_offsets_;
    size_t output_offset_;
    void* memory_;
};

// Times `call` on each of `inputs` in turn, one a timed call. A single input is
// timed by a loop of its own, so that the default run times exactly one call.
template <class Input, class Call>
void time_in_turns(benchmark::State& state, const std::vector<Input>& inputs, Call call)
{
    if (inputs.size() == 1) {
        const Input only = inputs.front();
        for ([[maybe_unused]] auto _ : state) {
            auto result = call(only);
            benchmark::DoNotOptimize(result);
            benchmark::ClobberMemory();
        }
        return;
    }
    size_t turn = 0;
    for ([[maybe_unused]] auto _ : state) {
        auto result = call(inputs[turn]);
        benchmark::DoNotOptimize(result);
        benchmark::ClobberMemory();
        turn = turn + 1 == inputs.size() ? 0 : turn + 1;
    }
}

// The bytes a benchmark copies, codes or cuts in each turn, copied into the
// timed buffers' inputs.
struct Span {
    const uint8_t* data;
    size_t size;
};

std::vector<size_t> sizes_of(const std::vector<Bytes>& inputs)
{
    std::vector<size_t> sizes;
    std::transform(inputs.begin(), inputs.end(), std::back_inserter(sizes), [](const Bytes& b) { return b.size(); });
    return sizes;
}

std::vector<Span> placed(TimedBuffers& buffers, const std::vector<Bytes>& inputs)
{
    std::vector<Span> spans;
    for (size_t turn = 0; turn < inputs.size(); ++turn) {
        auto* at = buffers.input<uint8_t>(turn);
        std::memcpy(at, inputs[turn].data(), inputs[turn].size());
        spans.push_back({at, inputs[turn].size()});
    }
    return spans;
}

// `bytes_of(turn)` for each of a block's turns.
template <class BytesOf>
std::vector<Bytes> per_turn(const Block& block, BytesOf bytes_of)
{
    const std::vector<const Block*> turns = bench::turns_of(block);
    std::vector<Bytes> bytes;
    std::transform(turns.begin(), turns.end(), std::back_inserter(bytes),
                   [&bytes_of](const Block* turn) { return bytes_of(*turn); });
    return bytes;
}

std::vector<Bytes> float_bytes(const Block& block)
{
    return per_turn(block, [](const Block& turn) {
        const auto* first = reinterpret_cast<const uint8_t*>(turn.values.data());
        return Bytes(first, first + turn.values.size() * sizeof(float));
    });
}

std::vector<Bytes> streams_of(const Block& block, std::string_view stream)
{
    return per_turn(block, [stream](const Block& turn) { return named_stream(turn, stream); });
}

std::vector<Bytes> streams_of(const Block& block, Coder coder)
{
    return per_turn(block, [coder](const Block& turn) { return bench::stream_of(coder, turn); });
}

// The first fault `check(turn)` finds in a block's turns, or nullptr.
template <class Check>
const char* fault_in_turns(const Block& block, Check check)
{
    const std::vector<const Block*> turns = bench::turns_of(block);
    const auto faulty =
        std::find_if(turns.begin(), turns.end(), [&check](const Block* turn) { return check(*turn) != nullptr; });
    return faulty == turns.end() ? nullptr : check(**faulty);
}

void bm_memcpy(benchmark::State& state, const std::vector<Bytes>& originals)
{
    const size_t largest = std::max_element(originals.begin(), originals.end(), [](const Bytes& a, const Bytes& b) {
                               return a.size() < b.size();
                           })->size();
    TimedBuffers buffers(sizes_of(originals), largest);
    const std::vector<Span> sources = placed(buffers, originals);
    void* target = buffers.output<uint8_t>();
    for (const Span& source : sources) {
        std::memcpy(target, source.data, source.size);
        if (!passes(state, std::memcmp(target, source.data, source.size) == 0 ? nullptr : "memcpy did not copy")) {
            return;
        }
    }
    // The pointers escape: the compiler must assume the buffers are read elsewhere.
    benchmark::DoNotOptimize(target);
    time_in_turns(state, sources, [target](Span source) {
        std::memcpy(target, source.data, source.size);
        return source.size;
    });
}

void bm_encoder(benchmark::State& state, Encoder encoder, Coder coder, const Block& block)
{
    if (!passes(state, fault_in_turns(block, [encoder, coder](const Block& turn) {
                    return bench::encoder_fault(encoder, turn.values, bench::stream_of(coder, turn));
                }))) {
        return;
    }
    const std::vector<Bytes> inputs = float_bytes(block);
    TimedBuffers buffers(sizes_of(inputs), 2 * static_cast<size_t>(block.n));
    const std::vector<Span> spans = placed(buffers, inputs);
    std::vector<const float*> values;
    std::transform(spans.begin(), spans.end(), std::back_inserter(values),
                   [](Span span) { return static_cast<const float*>(static_cast<const void*>(span.data)); });
    auto* out = buffers.output<uint8_t>();
    benchmark::DoNotOptimize(out);
    time_in_turns(state, values, [encoder, out, n = block.n](const float* in) { return encoder(in, out, n); });
}

void bm_decoder(benchmark::State& state, Decoder decoder, Coder coder, const Block& block)
{
    if (!passes(state, fault_in_turns(block, [decoder, coder](const Block& turn) {
                    return bench::decoder_fault(decoder, bench::stream_of(coder, turn), turn.decoded);
                }))) {
        return;
    }
    const std::vector<Bytes> inputs = streams_of(block, coder);
    TimedBuffers buffers(sizes_of(inputs), DECODE_MAX_VALUES * sizeof(float));
    const std::vector<Span> streams = placed(buffers, inputs);
    auto* out = buffers.output<float>();
    benchmark::DoNotOptimize(out);
    time_in_turns(state, streams,
                  [decoder, out](Span in) { return decoder(in.data, out, static_cast<int32_t>(in.size)); });
}

void bm_split(benchmark::State& state, const Block& block, std::string_view stream)
{
    const std::vector<Bytes> inputs = streams_of(block, stream);
    size_t most_packets = 0;
    for (const Bytes& input : inputs) {
        if (!passes(state, bench::split_fault(split, input))) {
            return;
        }
        most_packets = std::max(most_packets, bench::packets_for(input));
    }
    TimedBuffers buffers(sizes_of(inputs), most_packets * sizeof(packet));
    const std::vector<Span> streams = placed(buffers, inputs);
    auto* out = buffers.output<packet>();
    benchmark::DoNotOptimize(out);
    time_in_turns(state, streams, [out](Span in) { return split(in.data, out, static_cast<int32_t>(in.size)); });
}

void bm_merge(benchmark::State& state, const Block& block, std::string_view stream)
{
    // Each stream's packets, made without split, so that merge is timed and checked on its own.
    const std::vector<Bytes> streams = streams_of(block, stream);
    std::vector<Bytes> inputs;
    size_t longest = 0;
    for (const Bytes& bytes : streams) {
        if (!passes(state, bench::merge_fault(merge, bytes))) {
            return;
        }
        const std::vector<packet> packets = bench::packets_of(bytes);
        const auto* first = reinterpret_cast<const uint8_t*>(packets.data());
        inputs.emplace_back(first, first + packets.size() * sizeof(packet));
        longest = std::max(longest, bytes.size());
    }
    TimedBuffers buffers(sizes_of(inputs), longest);
    const std::vector<Span> packets = placed(buffers, inputs);
    auto* out = buffers.output<uint8_t>();
    benchmark::DoNotOptimize(out);
    time_in_turns(state, packets, [out](Span in) {
        return merge(static_cast<const packet*>(static_cast<const void*>(in.data)), out,
                     static_cast<int32_t>(in.size / sizeof(packet)));
    });
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
    std::string_view copied;  // memcpy: kFloats or a stream; split, merge: the stream
    Coder coder = Coder::encode;
    Encoder encoder = nullptr;
    Decoder decoder = nullptr;
};

void time_job(benchmark::State& state, const Job& job)
{
    switch (job.task) {
        case Task::memcpy:
            return bm_memcpy(state,
                             job.copied == kFloats ? float_bytes(*job.block) : streams_of(*job.block, job.copied));
        case Task::encode:
            return bm_encoder(state, job.encoder, job.coder, *job.block);
        case Task::decode:
            return bm_decoder(state, job.decoder, job.coder, *job.block);
        case Task::split:
            return bm_split(state, *job.block, job.copied);
        case Task::merge:
            return bm_merge(state, *job.block, job.copied);
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
    add(bench_name(block, kMemcpy, kFloats), {Task::memcpy, b, kFloats});
    for (const std::string_view stream : kStreams) {
        add(bench_name(block, kMemcpy, stream), {Task::memcpy, b, stream});
    }
    for (const Coder coder : kCoders) {
        for (const Coders& impl : impls) {
            Job job{bench::is_encoder(coder) ? Task::encode : Task::decode, b, {}, coder};
            job.encoder =
                coder == Coder::encode ? impl.encode : (coder == Coder::encode2 ? impl.encode2 : impl.encode3);
            job.decoder =
                coder == Coder::decode ? impl.decode : (coder == Coder::decode2 ? impl.decode2 : impl.decode3);
            add(bench_name(block, bench::coder_name(coder), impl.name), job);
        }
    }
    for (const std::string_view stream : kStreams) {
        add(bench_name(block, kFraming[0], stream), {Task::split, b, stream});
        add(bench_name(block, kFraming[1], stream), {Task::merge, b, stream});
    }
#if COMM_BENCHMARK_LZ4
    add(bench_name(block, "lz4_compress", kPeer), {Task::lz4_compress, b, {}});
    add(bench_name(block, "lz4_decompress", kPeer), {Task::lz4_decompress, b, {}});
#endif
}

// Makes the blocks and registers their benchmarks; returns the table's columns:
// the implementations of the coders, then the peer.
std::vector<std::string> register_all(std::deque<Block>& blocks, int32_t turns)
{
    const std::vector<Coders> impls = implementations();
    for (const bench::DataSet set : bench::kDataSets) {
        register_block(blocks.emplace_back(make_block(set, kBlockValues, turns)), impls);
    }
    for (const bench::DataSet set : bench::kDataSets) {
        if (timed_in_large_block(set)) {
            register_block(blocks.emplace_back(make_block(set, kLargeBlockValues, turns)), impls);
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

// Takes --comm_blocks=K out of the arguments: the number of different blocks
// of each data set that every benchmark takes in turn. 1 without the flag, 0 if
// K is not a number from 1 to kMostTurns.
constexpr int32_t kMostTurns = 64;

int32_t take_block_count(int& argc, char** argv)
{
    constexpr std::string_view kFlag = "--comm_blocks=";
    int32_t turns = 1;
    const auto is_flag = [kFlag](std::string_view arg) { return arg.substr(0, kFlag.size()) == kFlag; };
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (is_flag(arg)) {
            const std::string_view count = arg.substr(kFlag.size());
            const auto [end, error] = std::from_chars(count.data(), count.data() + count.size(), turns);
            if (error != std::errc{} || end != count.data() + count.size() || turns < 1 || turns > kMostTurns) {
                return 0;
            }
        }
    }
    argc = static_cast<int>(std::remove_if(argv + 1, argv + argc, is_flag) - argv);
    return turns;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool table_only = take_table_only(argc, argv);
    const int32_t turns = take_block_count(argc, argv);
    if (turns == 0) {
        std::fprintf(stderr, "--comm_blocks takes a number of blocks from 1 to %d\n", kMostTurns);
        return 1;
    }
    std::deque<Block> blocks;  // a deque keeps the blocks in place while they are added
    const std::vector<std::string> columns =
        register_all(blocks, turns);  // NOLINT(clang-analyzer-cplusplus.NewDeleteLeaks)
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
