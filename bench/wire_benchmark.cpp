// comm_wire_benchmark: the wire layer against the work it adds to.
//
//   crc32c/<impl>/650       each CRC-32C implementation the CPU runs, on a
//                           650-byte packet, next to memcpy/650
//   <block>/split+memcpy    split of the block's stream, and a memcpy of it:
//                           the baseline of
//   <block>/pack            the sender writing the block's wire packets from
//                           its stream (block crc and packet crcs included)
//   <block>/merge+memcpy+decode   the baseline of
//   <block>/reassemble      the reassembler taking the packets and giving the
//                           block back decoded (all its checks included)
//   <block>/crc_send, crc_receive   the CRC work of either side for the
//                           block: the sender's the stream and each packet,
//                           the receiver's each packet
//
// After the runs it prints the CRC rates in GB/s and the ratios, with and
// without the CRC work; each time is the median over the repetitions.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/data_sets.hpp"
#include "comm/crc32c_paths.hpp"
#include "comm/wire.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace wire = comm::wire;

constexpr std::size_t kPacketBytes = 650;

// The packets of the next block of `out` for an encoded stream of n values.
std::vector<Bytes> packets_of(wire::sender& out, comm::method coding, const Bytes& stream, std::size_t n)
{
    Bytes packed(wire::block_max_bytes(n));
    std::error_code ec;
    packed.resize(out.pack_stream(coding, stream, n, packed, ec));
    std::vector<Bytes> packets;
    wire::packets(packed, [&](std::span<const std::uint8_t> p) { packets.emplace_back(p.begin(), p.end()); });
    return packets;
}

struct WireBlock {
    std::string name;
    comm::method coding = comm::method::pairs;
    std::vector<float> values;
    Bytes stream;
    std::vector<Bytes> packets;  // the block's packets as sequence 0
};

WireBlock make_block(bench::DataSet set, std::int32_t n, comm::method coding)
{
    WireBlock b;
    b.name = std::string(bench::data_set_name(set)) + "/" + std::to_string(n) +
             (coding == comm::method::pairs ? "/pairs" : "/escaped");
    b.coding = coding;
    b.values = bench::make_data_set(set, n);
    b.stream = comm::encode(coding, b.values);
    wire::sender out(1);
    b.packets = packets_of(out, coding, b.stream, b.values.size());
    return b;
}

void bm_crc(benchmark::State& state, const comm::detail::Crc32cPath* path)
{
    Bytes data(kPacketBytes);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 131 + 7);
    }
    const std::uint8_t* p = data.data();
    benchmark::DoNotOptimize(p);
    for ([[maybe_unused]] auto _ : state) {
        std::uint32_t crc = path->update(0xFFFFFFFFU, p, kPacketBytes);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPacketBytes));
}

void bm_memcpy(benchmark::State& state, std::size_t bytes)
{
    const Bytes from(bytes, 1);
    Bytes to(bytes);
    const std::uint8_t* source = from.data();
    std::uint8_t* target = to.data();
    benchmark::DoNotOptimize(source);
    benchmark::DoNotOptimize(target);
    for ([[maybe_unused]] auto _ : state) {
        std::memcpy(target, source, bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void bm_split_memcpy(benchmark::State& state, const WireBlock& b)
{
    std::vector<packet> packets(comm::packet_count(b.stream.size()));
    Bytes copy(b.stream.size());
    const auto len = static_cast<std::int32_t>(b.stream.size());
    packet* out = packets.data();
    std::uint8_t* target = copy.data();
    benchmark::DoNotOptimize(out);
    benchmark::DoNotOptimize(target);
    for ([[maybe_unused]] auto _ : state) {
        std::int32_t filled = split(b.stream.data(), out, len);
        std::memcpy(target, b.stream.data(), b.stream.size());
        benchmark::DoNotOptimize(filled);
        benchmark::ClobberMemory();
    }
}

void bm_pack(benchmark::State& state, const WireBlock& b)
{
    comm_wire_sender sender{};
    comm_wire_sender_init(&sender, 1, 0);
    Bytes out(COMM_WIRE_BLOCK_MAX_BYTES(static_cast<std::int32_t>(b.values.size())));
    const auto len = static_cast<std::int32_t>(b.stream.size());
    const auto n = static_cast<std::int32_t>(b.values.size());
    const auto room = static_cast<std::int32_t>(out.size());
    std::uint8_t* target = out.data();
    benchmark::DoNotOptimize(target);
    for ([[maybe_unused]] auto _ : state) {
        std::int32_t written =
            comm_wire_send_stream(&sender, wire::method_byte(b.coding), b.stream.data(), len, n, target, room);
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
}

void bm_merge_memcpy_decode(benchmark::State& state, const WireBlock& b)
{
    const std::vector<packet> packets = comm::split(b.stream);
    Bytes joined(b.stream.size());
    Bytes copy(b.stream.size());
    std::vector<float> values(DECODE_MAX_VALUES);
    const auto count = static_cast<std::int32_t>(packets.size());
    std::uint8_t* target = joined.data();
    std::uint8_t* second = copy.data();
    float* decoded = values.data();
    benchmark::DoNotOptimize(target);
    benchmark::DoNotOptimize(second);
    benchmark::DoNotOptimize(decoded);
    for ([[maybe_unused]] auto _ : state) {
        const std::int32_t len = merge(packets.data(), target, count);
        std::memcpy(second, target, static_cast<std::size_t>(len));
        std::int32_t n = b.coding == comm::method::pairs ? decode(second, decoded, len) : decode2(second, decoded, len);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
}

// Blocks 0..kBlocks-1 of the same values, each pushed once; a new reassembler
// after the last, made outside the timing.
void bm_reassemble(benchmark::State& state, const WireBlock& b)
{
    constexpr std::size_t kBlocks = 256;
    std::vector<std::vector<Bytes>> blocks;
    wire::sender out(1);
    for (std::size_t k = 0; k < kBlocks; ++k) {
        blocks.push_back(packets_of(out, b.coding, b.stream, b.values.size()));
    }
    std::size_t given_back = 0;
    auto on_event = [&given_back](const wire::event& e) { given_back += e.kind == wire::event_kind::block ? 1 : 0; };
    auto receiver = std::make_unique<wire::reassembler>();
    std::size_t next = 0;
    for ([[maybe_unused]] auto _ : state) {
        if (next == kBlocks) {
            state.PauseTiming();
            receiver = std::make_unique<wire::reassembler>();
            next = 0;
            state.ResumeTiming();
        }
        for (const Bytes& p : blocks[next]) {
            receiver->push(p, on_event);
        }
        ++next;
    }
    if (given_back != static_cast<std::size_t>(state.iterations())) {
        state.SkipWithError("the reassembler did not give back every block");
    }
}

// The CRC work of each side, call for call: the sender takes the block's
// stream once and each packet's header and payload; the receiver each packet.
// cppcheck-suppress constParameterCallback
void bm_crc_work(benchmark::State& state, const WireBlock& b, bool sender)
{
    for ([[maybe_unused]] auto _ : state) {
        std::uint32_t crc = sender ? comm_crc32c(0, b.stream.data(), b.stream.size()) : 0;
        for (const Bytes& p : b.packets) {
            crc ^= comm_crc32c(comm_crc32c(0, p.data(), 36), p.data() + 40, p.size() - 40);
        }
        benchmark::DoNotOptimize(crc);
    }
}

std::string cpu_model()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "unknown";
}

// Collects each benchmark's times to print the ratios after the runs.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                times_[run.run_name.function_name].push_back(run.GetAdjustedCPUTime());
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    [[nodiscard]] double median(const std::string& name) const
    {
        const auto found = times_.find(name);
        if (found == times_.end()) {
            return 0;
        }
        std::vector<double> t = found->second;
        std::sort(t.begin(), t.end());
        return t[t.size() / 2];
    }

private:
    std::map<std::string, std::vector<double>> times_;
};

}  // namespace

// Google Benchmark keeps the registered benchmarks until the program ends.
// NOLINTBEGIN(clang-analyzer-cplusplus.NewDeleteLeaks)
int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    std::vector<std::string> crc_names;
    for (const comm::detail::Crc32cPath* path : comm::detail::runnable_crc32c()) {
        crc_names.emplace_back(std::string("crc32c/") + path->name + "/650");
        benchmark::RegisterBenchmark(crc_names.back().c_str(), bm_crc, path);
    }
    benchmark::RegisterBenchmark("memcpy/650", bm_memcpy, kPacketBytes);
    const std::vector<WireBlock> blocks = {
        make_block(bench::DataSet::uniform, 1900, comm::method::pairs),
        make_block(bench::DataSet::uniform, 5700, comm::method::escaped),
        make_block(bench::DataSet::plateau, 1900, comm::method::escaped),
    };
    for (const WireBlock& b : blocks) {
        benchmark::RegisterBenchmark((b.name + "/split+memcpy").c_str(), bm_split_memcpy, b);
        benchmark::RegisterBenchmark((b.name + "/pack").c_str(), bm_pack, b);
        benchmark::RegisterBenchmark((b.name + "/merge+memcpy+decode").c_str(), bm_merge_memcpy_decode, b);
        benchmark::RegisterBenchmark((b.name + "/reassemble").c_str(), bm_reassemble, b);
        benchmark::RegisterBenchmark((b.name + "/crc_send").c_str(), bm_crc_work, b, true);
        benchmark::RegisterBenchmark((b.name + "/crc_receive").c_str(), bm_crc_work, b, false);
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::cout << "\nCPU " << cpu_model() << "\nCRC-32C on 650-byte packets (GB/s):";
    for (const std::string& name : crc_names) {
        const double ns = reporter.median(name);
        std::cout << "  " << name.substr(7, name.size() - 11) << " " << (ns > 0 ? 650.0 / ns : 0.0);
    }
    const double copy = reporter.median("memcpy/650");
    std::cout << "  memcpy " << (copy > 0 ? 650.0 / copy : 0.0) << "\n";
    std::cout << "block                    packets  pack/(split+memcpy)  without CRC   "
                 "reassemble/(merge+memcpy+decode)  without CRC\n";
    for (const WireBlock& b : blocks) {
        const double base_out = reporter.median(b.name + "/split+memcpy");
        const double pack = reporter.median(b.name + "/pack");
        const double base_in = reporter.median(b.name + "/merge+memcpy+decode");
        const double in = reporter.median(b.name + "/reassemble");
        const double crc_send = reporter.median(b.name + "/crc_send");
        const double crc_receive = reporter.median(b.name + "/crc_receive");
        if (base_out <= 0 || base_in <= 0) {
            continue;
        }
        std::printf("%-24s %7zu  %19.2f  %11.2f   %32.2f  %11.2f\n", b.name.c_str(), b.packets.size(), pack / base_out,
                    (pack - crc_send) / base_out, in / base_in, (in - crc_receive) / base_in);
    }
    benchmark::Shutdown();
    return 0;
}
// NOLINTEND(clang-analyzer-cplusplus.NewDeleteLeaks)
