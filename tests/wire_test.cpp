// Wire packets: what the sender writes, what the parser accepts and refuses,
// the file reader's recovery from damage, and the reassembler's bounds.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comm/sample_level.hpp"
#include "comm/wire.hpp"

namespace {

namespace wire = comm::wire;
using Bytes = std::vector<std::uint8_t>;

std::vector<float> values_of_levels(const Bytes& levels)
{
    std::vector<float> values(levels.size());
    for (std::size_t i = 0; i < levels.size(); ++i) {
        values[i] = (static_cast<float>(levels[i]) + 0.5F) / 255.0F;
    }
    return values;
}

Bytes noisy_levels(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes levels(n);
    for (auto& level : levels) {
        level = static_cast<std::uint8_t>(rng() % 255);
    }
    return levels;
}

std::vector<Bytes> split_packets(std::span<const std::uint8_t> bytes)
{
    std::vector<Bytes> packets;
    const std::size_t walked =
        wire::packets(bytes, [&](std::span<const std::uint8_t> p) { packets.emplace_back(p.begin(), p.end()); });
    EXPECT_EQ(walked, bytes.size());
    return packets;
}

void put_le(Bytes& packet, std::size_t at, std::uint64_t value, std::size_t size)
{
    for (std::size_t i = 0; i < size; ++i) {
        packet[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// Recomputes the CRC after a field was changed, so that only the field is wrong.
void reseal(Bytes& packet)
{
    const std::uint32_t crc = comm_crc32c(comm_crc32c(0, packet.data(), 36), packet.data() + 40, packet.size() - 40);
    put_le(packet, 36, crc, 4);
}

std::int32_t parse(const Bytes& packet, comm_wire_header* header = nullptr)
{
    return comm_wire_parse(packet.data(), static_cast<std::int32_t>(packet.size()), header);
}

// The hex blocks of doc/wire_format.md, in order.
std::vector<Bytes> documented_examples()
{
    std::ifstream file(COMM_SOURCE_DIR "/doc/wire_format.md");
    std::vector<Bytes> blocks;
    std::string line;
    bool inside = false;
    while (std::getline(file, line)) {
        if (line == "```hex") {
            inside = true;
            blocks.emplace_back();
        } else if (line == "```") {
            inside = false;
        } else if (inside) {
            std::istringstream words(line);
            std::string word;
            while (words >> word) {
                blocks.back().push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
            }
        }
    }
    return blocks;
}

TEST(WirePacket, SenderWritesTheDocumentedExample)
{
    const std::vector<Bytes> documented = documented_examples();
    ASSERT_EQ(documented.size(), 2U);
    wire::sender out(0x0BADCAFE);
    const Bytes block = out.pack(comm::method::pairs, values_of_levels({7, 7, 7, 40, 255, 255, 0}));
    EXPECT_EQ(block, documented[0]);
    EXPECT_EQ(out.end(), documented[1]);
}

// Every block size around the packet edges, both methods: each packet parses
// to the fields the sender was given, the payloads join into the encoder's
// stream, and the end packet counts the blocks and checksums their crcs.
TEST(WirePacket, PacksEveryBlockSizeIntoPacketsThatParseBack)
{
    wire::sender out(77, 0xFFFFFFFE);  // the sequence wraps on the way
    std::uint64_t position = 0;
    std::uint32_t checksum = 0;
    std::uint32_t sequence = 0xFFFFFFFE;
    for (const std::size_t n : {1U, 4U, 325U, 326U, 650U, 651U, 5700U}) {
        for (const comm::method m : {comm::method::pairs, comm::method::escaped}) {
            const std::vector<float> values = values_of_levels(noisy_levels(n, static_cast<unsigned>(n)));
            const Bytes stream = comm::encode(m, values);
            const Bytes block = out.pack(m, values);
            const std::vector<Bytes> packets = split_packets(block);
            ASSERT_EQ(packets.size(), comm::packet_count(stream.size())) << n;
            Bytes joined;
            for (std::size_t k = 0; k < packets.size(); ++k) {
                comm_wire_header h{};
                ASSERT_EQ(parse(packets[k], &h), static_cast<std::int32_t>(packets[k].size()));
                EXPECT_EQ(h.kind, COMM_WIRE_DATA);
                EXPECT_EQ(h.method, wire::method_byte(m));
                EXPECT_EQ(h.index, k);
                EXPECT_EQ(h.count, packets.size());
                EXPECT_EQ(h.stream_id, 77U);
                EXPECT_EQ(h.sequence, sequence);
                EXPECT_EQ(h.values, n);
                EXPECT_EQ(h.position, position);
                EXPECT_EQ(h.block_crc, wire::crc32c(stream));
                joined.insert(joined.end(), packets[k].begin() + 40, packets[k].end());
            }
            EXPECT_EQ(joined, stream) << n;

            // The same block from its stream gives the same bytes.
            Bytes from_stream(block.size() + 100);
            comm_wire_sender state{};
            comm_wire_sender_init(&state, 77, sequence);
            state.position = position;
            EXPECT_EQ(comm_wire_send_stream(&state, wire::method_byte(m), stream.data(),
                                            static_cast<std::int32_t>(stream.size()), static_cast<std::int32_t>(n),
                                            from_stream.data(), static_cast<std::int32_t>(from_stream.size())),
                      static_cast<std::int32_t>(block.size()));
            EXPECT_TRUE(std::equal(block.begin(), block.end(), from_stream.begin()));

            const std::uint32_t block_crc = wire::crc32c(stream);
            const std::uint8_t crc_bytes[4] = {
                static_cast<std::uint8_t>(block_crc), static_cast<std::uint8_t>(block_crc >> 8),
                static_cast<std::uint8_t>(block_crc >> 16), static_cast<std::uint8_t>(block_crc >> 24)};
            checksum = wire::crc32c(crc_bytes, checksum);
            position += n;
            ++sequence;
        }
    }
    comm_wire_header end{};
    ASSERT_EQ(parse(out.end(), &end), COMM_WIRE_END_SIZE);
    EXPECT_EQ(end.kind, COMM_WIRE_END);
    EXPECT_EQ(end.sequence, sequence);
    EXPECT_EQ(end.blocks, 14U);
    EXPECT_EQ(end.position, position);
    EXPECT_EQ(end.checksum, checksum);
}

TEST(WirePacket, SenderRefusesBlocksOutOfRangeAndLeavesItselfAsItWas)
{
    const std::vector<float> values = values_of_levels(noisy_levels(5701, 1));
    for (const std::int32_t n : {1, 700, 5700}) {
        Bytes out(COMM_WIRE_BLOCK_MAX_BYTES(n));
        comm_wire_sender s{};
        comm_wire_sender_init(&s, 1, 9);
        const auto room = static_cast<std::int32_t>(out.size());
        EXPECT_EQ(comm_wire_send_block(&s, COMM_WIRE_PAIRS, values.data(), n, out.data(), room - 1), 0) << n;
        EXPECT_EQ(comm_wire_send_block(&s, uint8_t{COMM_WIRE_DELTAS + 1}, values.data(), n, out.data(), room), 0);
        EXPECT_EQ(comm_wire_send_block(&s, 0, values.data(), n, out.data(), room), 0);
        EXPECT_EQ(s.next_sequence, 9U);
        EXPECT_EQ(s.position, 0U);
        EXPECT_GT(comm_wire_send_block(&s, COMM_WIRE_ESCAPED, values.data(), n, out.data(), room), 0) << n;
        EXPECT_EQ(s.next_sequence, 10U);
    }
    Bytes out(COMM_WIRE_BLOCK_MAX_BYTES(5701));
    comm_wire_sender s{};
    EXPECT_EQ(comm_wire_send_block(&s, COMM_WIRE_PAIRS, values.data(), 5701, out.data(), 1 << 20), 0);
    EXPECT_EQ(comm_wire_send_block(&s, COMM_WIRE_PAIRS, values.data(), 0, out.data(), 1 << 20), 0);

    // A stream up to 2n bytes, and room for it and a header per packet.
    const Bytes stream(651, 0);
    EXPECT_EQ(comm_wire_send_stream(&s, COMM_WIRE_PAIRS, stream.data(), 651, 325, out.data(), 1 << 20), 0);
    EXPECT_EQ(comm_wire_send_stream(&s, COMM_WIRE_PAIRS, stream.data(), 651, 326, out.data(), 651 + 80 - 1), 0);
    EXPECT_EQ(comm_wire_send_stream(&s, COMM_WIRE_PAIRS, stream.data(), 651, 326, out.data(), 651 + 80), 731);
    EXPECT_EQ(comm_wire_send_end(&s, out.data(), COMM_WIRE_END_SIZE - 1), 0);
    EXPECT_EQ(comm_wire_send_end(&s, out.data(), COMM_WIRE_END_SIZE), COMM_WIRE_END_SIZE);
}

// Each field at the edge of its range, accepted one side and refused the other.
TEST(WirePacket, ParserChecksEveryFieldAtItsBounds)
{
    wire::sender out(5);
    // Two packets: the first full, for 700 noisy values (a 700-byte stream).
    const std::vector<Bytes> block =
        split_packets(out.pack(comm::method::escaped, values_of_levels(noisy_levels(700, 2))));
    ASSERT_EQ(block.size(), 2U);
    const Bytes end = out.end();
    struct Case {
        const char* what;
        std::size_t at;
        std::size_t size;
        std::uint64_t value;
        bool end_packet;
        bool good;
    };
    const Case cases[] = {
        {"kind 0", 5, 1, 0, false, false},
        {"kind 3", 5, 1, 3, false, false},
        {"method 0", 6, 1, 0, false, false},
        {"method 1", 6, 1, 1, false, true},
        {"method 4 (unknown)", 6, 1, 4, false, false},
        {"reserved byte", 9, 1, 1, false, false},
        {"index = count", 7, 1, 2, false, false},
        {"count 0", 8, 1, 0, false, false},
        {"count 1 on a full packet", 8, 1, 1, false, true},
        {"length 649 before the last", 10, 2, 649, false, false},
        {"values 0", 20, 4, 0, false, false},
        {"values 5700", 20, 4, 5700, false, true},
        {"values 5701", 20, 4, 5701, false, false},
        {"values 325: 651 bytes need 326", 20, 4, 325, false, false},
        {"values 326", 20, 4, 326, false, true},
        {"count 18 of 5700 values", 8, 1, 18, false, true},
        {"end: method 1", 6, 1, 1, true, false},
        {"end: index 1", 7, 1, 1, true, false},
        {"end: count 2", 8, 1, 2, true, false},
        {"end: values 1", 20, 4, 1, true, false},
        {"end: block crc", 32, 4, 1, true, false},
        {"end: length 9", 10, 2, 9, true, false},
    };
    for (const Case& c : cases) {
        Bytes p = c.end_packet ? end : block[0];
        if (std::string(c.what) == "count 18 of 5700 values") {
            put_le(p, 20, 5700, 4);
        }
        put_le(p, c.at, c.value, c.size);
        reseal(p);
        EXPECT_EQ(parse(p), c.good ? static_cast<std::int32_t>(p.size()) : COMM_WIRE_BAD_FIELD) << c.what;
    }
    // Lengths on the last packet: 1..650, and 651 refused before its bytes are read.
    for (const auto& [length, good] : {std::pair{0U, false}, {1U, true}, {650U, true}, {651U, false}}) {
        Bytes p = block[1];
        p.resize(40 + std::max(length, 651U), 0);
        put_le(p, 10, length, 2);
        p.resize(40 + length);
        reseal(p);
        EXPECT_EQ(parse(p), good ? static_cast<std::int32_t>(p.size()) : COMM_WIRE_BAD_FIELD) << length;
    }
    Bytes version = block[0];
    version[4] = 2;
    EXPECT_EQ(parse(version), COMM_WIRE_BAD_VERSION);
    Bytes magic = block[0];
    magic[3] = 'X';
    EXPECT_EQ(parse(magic), COMM_WIRE_BAD_MAGIC);
}

// CRC-32C finds every one-bit error; every cut packet is truncated, never good.
TEST(WirePacket, ParserRefusesEveryFlippedBitAndEveryCut)
{
    wire::sender out(5);
    const std::vector<Bytes> block =
        split_packets(out.pack(comm::method::pairs, values_of_levels(noisy_levels(400, 3))));
    for (const Bytes& packet : {block[0], block[1], out.end()}) {
        for (std::size_t bit = 0; bit < 8 * packet.size(); ++bit) {
            Bytes p = packet;
            p[bit / 8] ^= static_cast<std::uint8_t>(1U << (bit % 8));
            ASSERT_LT(parse(p), 0) << "bit " << bit;
        }
        for (std::size_t size = 0; size < packet.size(); ++size) {
            const Bytes cut(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(size));
            ASSERT_EQ(comm_wire_parse(cut.data(), static_cast<std::int32_t>(size), nullptr), COMM_WIRE_TRUNCATED);
        }
    }
}

// A file of several streams' worth of packets for the reader tests.
Bytes packed_file(std::vector<std::size_t>* sizes)
{
    wire::sender out(9);
    Bytes file;
    for (std::size_t b = 0; b < 12; ++b) {
        const Bytes block = out.pack(b % 2 == 0 ? comm::method::pairs : comm::method::escaped,
                                     values_of_levels(noisy_levels(1 + b * 300, static_cast<unsigned>(b))));
        for (const Bytes& p : split_packets(block)) {
            sizes->push_back(p.size());
        }
        file.insert(file.end(), block.begin(), block.end());
    }
    const Bytes end = out.end();
    sizes->push_back(end.size());
    file.insert(file.end(), end.begin(), end.end());
    return file;
}

struct ReadResult {
    std::vector<std::size_t> sizes;
    std::uint64_t damaged_bytes = 0;
    std::uint64_t stretches = 0;
};

ReadResult read_in_pieces(const Bytes& file, std::size_t piece)
{
    wire::reader reader;
    ReadResult result;
    auto on_packet = [&](std::span<const std::uint8_t> p) {
        EXPECT_EQ(parse(Bytes(p.begin(), p.end())), static_cast<std::int32_t>(p.size()));
        result.sizes.push_back(p.size());
    };
    for (std::size_t at = 0; at < file.size(); at += piece) {
        reader.feed(std::span<const std::uint8_t>(file).subspan(at, std::min(piece, file.size() - at)), on_packet);
    }
    reader.finish(on_packet);
    result.damaged_bytes = reader.damaged_bytes();
    result.stretches = reader.damaged_stretches();
    EXPECT_EQ(reader.packets(), result.sizes.size());
    return result;
}

TEST(WireReader, FindsEveryPacketWhateverThePieces)
{
    std::vector<std::size_t> sizes;
    const Bytes file = packed_file(&sizes);
    for (const std::size_t piece : {1U, 3U, 40U, 689U, 690U, 691U, 1381U, 100000U}) {
        const ReadResult read = read_in_pieces(file, piece);
        EXPECT_EQ(read.sizes, sizes) << piece;
        EXPECT_EQ(read.damaged_bytes, 0U) << piece;
    }
    // Cut in two at every place: the reader holds every length of a cut packet.
    for (std::size_t cut = 1; cut < file.size(); ++cut) {
        wire::reader reader;
        std::size_t found = 0;
        auto on_packet = [&found](std::span<const std::uint8_t>) { ++found; };
        reader.feed(std::span<const std::uint8_t>(file).first(cut), on_packet);
        reader.feed(std::span<const std::uint8_t>(file).subspan(cut), on_packet);
        reader.finish(on_packet);
        ASSERT_EQ(found, sizes.size()) << "cut at " << cut;
        ASSERT_EQ(reader.damaged_bytes(), 0U) << "cut at " << cut;
    }
}

TEST(WireReader, DamageCostsOnlyThePacketsItTouches)
{
    std::vector<std::size_t> sizes;
    const Bytes file = packed_file(&sizes);
    std::vector<std::size_t> starts{0};
    for (const std::size_t s : sizes) {
        starts.push_back(starts.back() + s);
    }
    for (const std::size_t piece : {7U, 700U, 100000U}) {
        // One flipped byte in each packet in turn, its first and its last.
        for (std::size_t k = 0; k < sizes.size(); ++k) {
            for (const std::size_t at : {starts[k], starts[k + 1] - 1}) {
                Bytes damaged = file;
                damaged[at] ^= 0x10;
                std::vector<std::size_t> expected = sizes;
                expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(k));
                const ReadResult read = read_in_pieces(damaged, piece);
                ASSERT_EQ(read.sizes, expected) << "packet " << k << " byte " << at << " piece " << piece;
                EXPECT_EQ(read.damaged_bytes, sizes[k]);
                EXPECT_EQ(read.stretches, 1U);
            }
        }
        // A length field damaged to 600 (the most its 301 values allow) makes
        // packet 1 look cut off until the bytes after it come; read in two
        // pieces cut anywhere from there on.
        if (piece == 7) {
            ASSERT_EQ(sizes[2], 690U);
            Bytes longer = file;
            longer[starts[1] + 10] = 0x58;
            longer[starts[1] + 11] = 0x02;
            std::vector<std::size_t> expected = sizes;
            expected.erase(expected.begin() + 1);
            for (std::size_t cut = starts[1] + 1; cut < starts[3]; ++cut) {
                wire::reader reader;
                std::vector<std::size_t> found;
                auto on_packet = [&found](std::span<const std::uint8_t> p) { found.push_back(p.size()); };
                reader.feed(std::span<const std::uint8_t>(longer).first(cut), on_packet);
                reader.feed(std::span<const std::uint8_t>(longer).subspan(cut), on_packet);
                reader.finish(on_packet);
                ASSERT_EQ(found, expected) << "cut at " << cut;
            }
        }
        // A stretch cut out from inside packet 3 to inside packet 6 costs 3..6.
        Bytes cut = file;
        cut.erase(cut.begin() + static_cast<std::ptrdiff_t>(starts[3] + 5),
                  cut.begin() + static_cast<std::ptrdiff_t>(starts[6] + 9));
        std::vector<std::size_t> expected = sizes;
        expected.erase(expected.begin() + 3, expected.begin() + 7);
        EXPECT_EQ(read_in_pieces(cut, piece).sizes, expected) << piece;
        // Garbage in front, full of magic bytes, and a file cut short.
        Bytes noisy(300 + file.size() - 3, 0x89);
        noisy[7] = 0x43;
        std::copy(file.begin(), file.end() - 3, noisy.begin() + 300);
        const ReadResult read = read_in_pieces(noisy, piece);
        expected = sizes;
        expected.pop_back();
        EXPECT_EQ(read.sizes, expected) << piece;
        EXPECT_EQ(read.damaged_bytes, 300U + sizes.back() - 3);
        EXPECT_EQ(read.stretches, 2U);
    }
}

// Events as short strings, for exact comparisons.
std::string describe(const wire::event& e)
{
    std::ostringstream s;
    switch (e.kind) {
        case wire::event_kind::block:
            s << "block " << e.sequence;
            break;
        case wire::event_kind::lost:
            s << "lost " << e.sequence << "+" << e.blocks;
            if (e.values_known) {
                s << " (" << e.values << ")";
            }
            break;
        case wire::event_kind::end:
            s << "end " << e.sequence << (e.intact ? " intact" : "") << (e.end_seen ? "" : " unseen");
            break;
    }
    return s.str();
}

// A stream of `blocks` blocks of 1000 values (two packets each); packets[b][k].
struct Stream {
    std::vector<std::vector<Bytes>> packets;
    Bytes end;
};

Stream stream_of(std::size_t blocks, std::uint32_t id = 1, unsigned seed = 0)
{
    wire::sender out(id);
    Stream s;
    for (std::size_t b = 0; b < blocks; ++b) {
        s.packets.push_back(split_packets(
            out.pack(comm::method::escaped, values_of_levels(noisy_levels(1000, seed + static_cast<unsigned>(b))))));
    }
    s.end = out.end();
    return s;
}

struct Receiver {
    wire::reassembler reassembler;
    std::vector<std::string> events;

    explicit Receiver(std::size_t window, std::optional<std::uint32_t> first = 0)
        : reassembler({window, std::nullopt, first})
    {
    }
    void push(const Bytes& p)
    {
        reassembler.push(p, [this](const wire::event& e) { events.push_back(describe(e)); });
    }
    void finish()
    {
        reassembler.finish([this](const wire::event& e) { events.push_back(describe(e)); });
    }
};

using Events = std::vector<std::string>;

// Window 4 holds blocks base..base+3: a packet for base+3 keeps the base block
// waiting, one for base+4 gives it up.
TEST(WireReassembler, GivesUpABlockOnlyWhenAPacketComesAWindowAhead)
{
    const Stream s = stream_of(6);
    Receiver r(4);
    r.push(s.packets[0][0]);
    for (std::size_t b = 1; b < 4; ++b) {
        r.push(s.packets[b][0]);
        r.push(s.packets[b][1]);
    }
    EXPECT_EQ(r.events, Events{});
    r.push(s.packets[0][1]);
    EXPECT_EQ(r.events, (Events{"block 0", "block 1", "block 2", "block 3"}));

    Receiver late(4);
    late.push(s.packets[0][0]);
    late.push(s.packets[4][0]);
    EXPECT_EQ(late.events, (Events{"lost 0+1 (1000)"}));
    late.push(s.packets[0][1]);  // too late now
    EXPECT_EQ(late.reassembler.counts().stale, 1U);
}

TEST(WireReassembler, ReportsEachLossOnceWithItsValuesAndEndsIntactOnlyWhenWhole)
{
    const Stream s = stream_of(8);
    Receiver r(32);
    for (std::size_t b = 0; b < 8; ++b) {
        if (b >= 2 && b <= 4) {
            continue;  // blocks 2..4 lost whole
        }
        for (std::size_t k = 0; k < (b == 6 ? 1U : 2U); ++k) {  // block 6 half
            r.push(s.packets[b][k]);
        }
    }
    r.push(s.end);
    EXPECT_EQ(r.events, (Events{"block 0", "block 1"}));
    r.finish();
    EXPECT_EQ(r.events,
              (Events{"block 0", "block 1", "lost 2+3 (3000)", "block 5", "lost 6+1 (1000)", "block 7", "end 8"}));
    EXPECT_EQ(r.reassembler.counts().lost_blocks, 4U);

    // Everything, the end packet first and a duplicate of each packet.
    Receiver whole(2);
    whole.push(s.end);
    for (std::size_t b = 0; b < 8; ++b) {
        for (const Bytes& p : s.packets[b]) {
            whole.push(p);
            whole.push(p);
        }
    }
    EXPECT_EQ(whole.events.back(), "end 8 intact");
    EXPECT_EQ(whole.events.size(), 9U);
    // A duplicate of a block's last packet comes after the block is given back.
    EXPECT_EQ(whole.reassembler.counts().duplicates, 8U);
    EXPECT_EQ(whole.reassembler.counts().stale, 8U);

    // The tail and the end packet lost: blocks held are lost, the end unseen.
    Receiver cut(32);
    for (std::size_t b = 0; b < 3; ++b) {
        cut.push(s.packets[b][0]);
        cut.push(s.packets[b][b == 2 ? 0 : 1]);
    }
    cut.finish();
    EXPECT_EQ(cut.events, (Events{"block 0", "block 1", "lost 2+1 (1000)", "end 3 unseen"}));
    Receiver only_end(32);
    only_end.push(s.packets[7][0]);
    only_end.push(s.packets[7][1]);
    only_end.finish();
    EXPECT_EQ(only_end.events, (Events{"lost 0+7 (7000)", "block 7", "end 8 unseen"}));
}

// A sender may go on after an end packet; a later one counts the new blocks.
// The stream ends at the first end packet the reassembler takes.
TEST(WireReassembler, EndsAtTheEndPacketAndRefusesBlocksPastIt)
{
    wire::sender out(1);
    const std::vector<float> values = values_of_levels(noisy_levels(100, 5));
    const Bytes b0 = out.pack(comm::method::pairs, values);
    const Bytes b1 = out.pack(comm::method::pairs, values);
    const Bytes end1 = out.end();
    const Bytes b2 = out.pack(comm::method::pairs, values);
    const Bytes end2 = out.end();

    Receiver early_end(4);
    for (const Bytes* p : {&end1, &b2, &b0, &b1}) {
        early_end.push(*p);
    }
    EXPECT_EQ(early_end.events, (Events{"block 0", "block 1", "end 2 intact"}));
    EXPECT_EQ(early_end.reassembler.counts().bad, 1U) << "block 2 lies past the end";

    Receiver late_end(4);
    for (const Bytes* p : {&b0, &b1, &b2, &end1, &end2}) {
        late_end.push(*p);
    }
    EXPECT_EQ(late_end.events, (Events{"block 0", "block 1", "block 2", "end 3 intact"}));
    EXPECT_EQ(late_end.reassembler.counts().bad, 1U) << "an end before blocks already given back";

    // Taking the stream from its first packet seen: the blocks before it
    // show only as an end that is not intact.
    Receiver joined_late(4, std::nullopt);
    for (const Bytes* p : {&b1, &b2, &end2}) {
        joined_late.push(*p);
    }
    EXPECT_EQ(joined_late.events, (Events{"block 1", "block 2", "end 3"}));
}

// Packets of two different blocks under one stream id and sequence (a sender
// restarted): whichever way they mix, the block is lost, never given back.
TEST(WireReassembler, LosesABlockWhosePacketsComeFromTwoSenders)
{
    const Stream a = stream_of(1, 1, 100);
    const Stream b = stream_of(1, 1, 200);
    const Bytes mixes[][2] = {{a.packets[0][0], b.packets[0][1]}, {b.packets[0][0], a.packets[0][1]}};
    for (const auto& mix : mixes) {
        Receiver r(4);
        r.push(mix[0]);
        r.push(mix[1]);
        r.push(a.end);
        EXPECT_EQ(r.events, (Events{"lost 0+1", "end 1"}));
    }
    // The same packet index from both: the second is refused, the block lost.
    Receiver r(4);
    r.push(a.packets[0][0]);
    r.push(b.packets[0][0]);
    r.push(a.packets[0][1]);
    r.finish();
    EXPECT_EQ(r.events.front(), "lost 0+1");
    EXPECT_EQ(r.reassembler.counts().bad, 1U);
}

// A stream that does not decode to the value count its sender gave.
TEST(WireReassembler, LosesABlockWhoseStreamHoldsOtherThanItsValues)
{
    const std::vector<float> values = values_of_levels(noisy_levels(50, 4));
    const Bytes stream = comm::encode(comm::method::pairs, values);
    Receiver r(4);
    comm_wire_sender s{};
    comm_wire_sender_init(&s, 1, 0);
    for (const std::size_t claimed : {49U, 50U, 51U}) {
        Bytes out(1000);
        const std::int32_t size =
            comm_wire_send_stream(&s, COMM_WIRE_PAIRS, stream.data(), static_cast<std::int32_t>(stream.size()),
                                  static_cast<std::int32_t>(claimed), out.data(), 1000);
        out.resize(static_cast<std::size_t>(size));
        r.push(out);
    }
    EXPECT_EQ(r.events, (Events{"lost 0+1 (49)", "block 1", "lost 2+1 (51)"}));

    // A full block's stream that holds one value more than the decoder gives.
    const std::vector<float> longer = values_of_levels(noisy_levels(5701, 6));
    Bytes escaped(2 * longer.size());
    escaped.resize(static_cast<std::size_t>(encode2(longer.data(), escaped.data(), 5701)));
    for (const std::int32_t claimed : {5700, 5701}) {
        Bytes out(COMM_WIRE_BLOCK_MAX_BYTES(5701));
        const std::int32_t size =
            comm_wire_send_stream(&s, COMM_WIRE_ESCAPED, escaped.data(), static_cast<std::int32_t>(escaped.size()),
                                  claimed, out.data(), static_cast<std::int32_t>(out.size()));
        out.resize(static_cast<std::size_t>(size));
        for (const Bytes& p : split_packets(out)) {
            r.push(p);
        }
    }
    EXPECT_EQ(r.events.back(), "lost 3+1 (5700)") << "5701 values are refused by the sender";
}

}  // namespace
