// Writes the seed corpus of the fuzz targets: fuzz/corpus/<target>/<name>.
//   comm_fuzz_make_corpus DIR    (DIR is fuzz/corpus)
// The streams of both methods come from the library's own encoders; the rest
// (worked examples, cut-off tokens, packet arrays, float blocks) is built here.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include "comm/Comm.h"
#include "comm/sample_level.hpp"
#include "comm/wire.hpp"

namespace {

using Bytes = std::vector<uint8_t>;
using Floats = std::vector<float>;

std::filesystem::path g_root;

void write(const std::string& target, const std::string& name, const void* data, std::size_t size)
{
    const std::filesystem::path dir = g_root / target;
    std::filesystem::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", (dir / name).c_str());
        std::exit(1);
    }
}

void write(const std::string& target, const std::string& name, const Bytes& bytes)
{
    write(target, name, bytes.data(), bytes.size());
}

void write(const std::string& target, const std::string& name, const Floats& values)
{
    write(target, name, values.data(), values.size() * sizeof(float));
}

Floats of_levels(const std::vector<int>& levels)
{
    Floats values(levels.size());
    std::transform(levels.begin(), levels.end(), values.begin(),
                   [](int b) { return comm::level_value(static_cast<uint8_t>(b)); });
    return values;
}

// Small deterministic generator, so the corpus is the same on every machine.
uint32_t g_state = 12345U;
uint32_t next_random()
{
    g_state = g_state * 1664525U + 1013904223U;
    return g_state >> 8;
}

// Blocks whose streams seed the decoders and whose values seed the round trip.
struct Block {
    std::string name;
    Floats values;
};

std::vector<Block> blocks()
{
    std::vector<Block> out;
    out.push_back({"example", of_levels({7, 7, 7, 40, 255, 255, 0})});

    std::vector<int> ramp(256);
    std::iota(ramp.begin(), ramp.end(), 0);
    out.push_back({"ramp", of_levels(ramp)});  // no equal neighbours, one 255

    // Runs just around the cut lengths of both methods (254 and 256).
    std::vector<int> runs;
    const int lengths[] = {1, 2, 253, 254, 255, 256, 257, 508, 513};
    int level = 3;
    for (const int length : lengths) {
        runs.insert(runs.end(), static_cast<std::size_t>(length), level);
        level = level == 255 ? 3 : 255;
    }
    out.push_back({"runs", of_levels(runs)});

    // Values that are not level values, nor in range.
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float tiny = std::numeric_limits<float>::denorm_min();
    out.push_back({"special",
                   {nan, -nan, inf, -inf, -0.0F, 0.0F, tiny, -tiny, 1.0F, 1.0000001F, 0.99999994F, 2.5F, -0.5F,
                    1.0F / 255.0F, std::nextafter(1.0F / 255.0F, 0.0F), 0.5F, 254.5F / 255.0F, 1e30F, -1e30F}});

    Floats random;
    for (int i = 0; i < 1000; ++i) {  // streams of several packets
        random.push_back(static_cast<float>(next_random() % 1000000U) / 999999.0F);
    }
    out.push_back({"random", random});
    return out;
}

void decode_seeds()
{
    const Bytes pair_example = {0x02, 0x07, 0x00, 0x28, 0x01, 0xFF, 0x00, 0x00};
    const Bytes escaped_example = {0xFF, 0x03, 0x07, 0x28, 0xFF, 0x02, 0xFF, 0x00};
    write("fuzz_decode", "example", pair_example);
    write("fuzz_decode", "escaped_example", escaped_example);
    write("fuzz_decode", "odd_length", Bytes(pair_example.begin(), pair_example.end() - 1));
    write("fuzz_decode2", "example", escaped_example);
    write("fuzz_decode2", "pair_example", pair_example);

    // Cut-off tokens, and the run counts the encoder never writes.
    write("fuzz_decode2", "lone_escape", Bytes{0x07, 0xFF});
    write("fuzz_decode2", "run_without_level", Bytes{0x28, 0xFF, 0x02});
    write("fuzz_decode2", "runs_of_0_and_1", Bytes{0xFF, 0x00, 0x07, 0xFF, 0x01, 0x07, 0xFF, 0xFF});

    // Streams that stand for more than DECODE_MAX_VALUES values.
    Bytes pairs;
    Bytes escaped;
    for (int i = 0; i < 24; ++i) {
        pairs.insert(pairs.end(), {0xFF, static_cast<uint8_t>(i * 11)});
        escaped.insert(escaped.end(), {0xFF, 0xFE, static_cast<uint8_t>(i * 11)});
    }
    write("fuzz_decode", "too_many_values", pairs);
    write("fuzz_decode2", "too_many_values", escaped);

    for (const Block& block : blocks()) {
        const auto n = static_cast<int32_t>(block.values.size());
        Bytes stream(2 * block.values.size());
        stream.resize(static_cast<std::size_t>(encode(block.values.data(), stream.data(), n)));
        write("fuzz_decode", "encoded_" + block.name, stream);
        stream.assign(2 * block.values.size(), 0);
        stream.resize(static_cast<std::size_t>(encode2(block.values.data(), stream.data(), n)));
        write("fuzz_decode2", "encoded_" + block.name, stream);
    }
}

// Records as fuzz_merge reads them: int32 length, last flag, data seed.
Bytes packet_records(const std::vector<int32_t>& lengths)
{
    Bytes out;
    uint8_t seed = 1;
    for (std::size_t j = 0; j < lengths.size(); ++j) {
        uint8_t length[4];
        std::memcpy(length, &lengths[j], sizeof length);
        out.insert(out.end(), length, length + 4);
        out.push_back(j + 1 == lengths.size() ? 1 : 0);
        out.push_back(seed);
        seed = static_cast<uint8_t>(seed * 5 + 3);
    }
    return out;
}

void merge_seeds()
{
    const int32_t max = std::numeric_limits<int32_t>::max();
    const int32_t min = std::numeric_limits<int32_t>::min();
    write("fuzz_merge", "one_short", packet_records({8}));
    write("fuzz_merge", "split_stream", packet_records({650, 650, 650, 17}));
    write("fuzz_merge", "out_of_range", packet_records({-1, 651, 0, max, min, 1, 649, 650}));
    write("fuzz_merge", "many_full", packet_records(std::vector<int32_t>(40, 650)));
}

void round_trip_seeds()
{
    for (const Block& block : blocks()) {
        write("fuzz_round_trip", block.name, block.values);
    }
    // A full block: DECODE_MAX_VALUES values, mostly in short runs, a quarter
    // of them up to 300 values long.
    Floats full;
    while (full.size() < DECODE_MAX_VALUES) {
        const float value = static_cast<float>(next_random() % 256U) / 255.0F;
        const std::size_t length = 1 + next_random() % (next_random() % 4U == 0 ? 300U : 3U);
        for (std::size_t k = 0; k < length && full.size() < DECODE_MAX_VALUES; ++k) {
            full.push_back(value);
        }
    }
    write("fuzz_round_trip", "full_block", full);
}

// The paths' target reads its input both as a stream and as floats: the
// encoded blocks, and a noisy block longer than the encoders' 8192-value
// chunk, with a run across the chunk's end.
void paths_seeds()
{
    for (const Block& block : blocks()) {
        write("fuzz_paths", block.name, block.values);
        const auto n = static_cast<int32_t>(block.values.size());
        Bytes stream(2 * block.values.size());
        stream.resize(static_cast<std::size_t>(encode2(block.values.data(), stream.data(), n)));
        write("fuzz_paths", "escaped_" + block.name, stream);
    }
    Floats long_block(8200);
    std::generate(long_block.begin(), long_block.end(),
                  [] { return static_cast<float>(next_random() % 256U) / 255.0F; });
    std::fill(long_block.begin() + 8180, long_block.begin() + 8195, 0.5F);
    write("fuzz_paths", "across_chunks", long_block);
}

// Packets from the library's sender: a stream of blocks of one to five
// packets, both methods, and its end packet.
std::vector<Bytes> wire_stream(uint32_t first_sequence)
{
    comm::wire::sender out(0x5EED, first_sequence);
    std::vector<Bytes> packets;
    for (const Block& block : blocks()) {
        const Bytes packed =
            out.pack(packets.size() % 2 == 0 ? comm::method::pairs : comm::method::escaped, block.values);
        comm::wire::packets(packed, [&](std::span<const uint8_t> p) { packets.emplace_back(p.begin(), p.end()); });
    }
    packets.push_back(out.end());
    return packets;
}

// fuzz_reassembler records: flags, length (2 bytes), the datagram.
Bytes reassembler_records(uint8_t options, const std::vector<Bytes>& packets)
{
    Bytes records{options};
    for (const Bytes& p : packets) {
        records.push_back(0);
        records.push_back(static_cast<uint8_t>(p.size()));
        records.push_back(static_cast<uint8_t>(p.size() >> 8));
        records.insert(records.end(), p.begin(), p.end());
    }
    return records;
}

void wire_seeds()
{
    const std::vector<Bytes> packets = wire_stream(0);
    Bytes file;
    for (const Bytes& p : packets) {
        file.insert(file.end(), p.begin(), p.end());
    }
    write("fuzz_wire_parse", "data_packet", packets.front());
    write("fuzz_wire_parse", "end_packet", packets.back());
    write("fuzz_wire_parse", "file", file);
    Bytes damaged = file;
    damaged[damaged.size() / 2] ^= 0x20;
    damaged.resize(damaged.size() - 5);
    write("fuzz_wire_parse", "damaged_file", damaged);

    write("fuzz_reassembler", "in_order", reassembler_records(5, packets));
    std::vector<Bytes> shuffled = packets;
    std::reverse(shuffled.begin(), shuffled.end());
    shuffled.push_back(packets[1]);
    write("fuzz_reassembler", "reversed_window_2", reassembler_records(1, shuffled));
    write("fuzz_reassembler", "wrapping", reassembler_records(0x80 | 5, wire_stream(0xFFFFFFFEU)));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    g_root = argv[1];
    decode_seeds();
    merge_seeds();
    round_trip_seeds();
    paths_seeds();
    wire_seeds();
    return 0;
}
