// The reassembler behind a seeded, repeatable impairment layer: drops,
// duplicates, reordering within and beyond the window, bit flips in header and
// payload, truncated and oversized packets, and another stream's packets. On
// every run each block given back must be exactly the block sent, every other
// block must be reported lost once, in sequence order, and every packet must
// be counted once.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "comm/sample_level.hpp"
#include "comm/wire.hpp"

namespace {

namespace wire = comm::wire;
using Bytes = std::vector<std::uint8_t>;

struct SentBlock {
    std::uint64_t position;
    Bytes levels;
};

struct SentStream {
    std::uint32_t first_sequence;
    std::vector<SentBlock> blocks;
    std::vector<std::vector<Bytes>> packets;  // per block
    Bytes end;
};

constexpr std::array kMethods{comm::method::pairs, comm::method::escaped, comm::method::deltas};

// Blocks of random length and shape: short and full-size, noisy (many
// packets) and in runs (few), each with a random method.
SentStream make_stream(std::mt19937& rng, std::uint32_t stream_id, std::uint32_t first_sequence, std::size_t blocks)
{
    SentStream sent{first_sequence, {}, {}, {}};
    wire::sender out(stream_id, first_sequence);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::size_t sizes[] = {1, 1 + rng() % 60, 1 + rng() % 2000, comm::max_block_values};
        const std::size_t n = sizes[rng() % 4];
        // Noise, runs, or a walk of small steps (which the delta stream packs).
        const auto shape = rng() % 3;
        Bytes levels(n);
        for (std::size_t i = 0; i < n; ++i) {
            if (i == 0 || shape == 0) {
                levels[i] = static_cast<std::uint8_t>(rng());
            } else if (shape == 1) {
                levels[i] = rng() % 20 != 0 ? levels[i - 1] : static_cast<std::uint8_t>(rng());
            } else {
                levels[i] = static_cast<std::uint8_t>(levels[i - 1] + rng() % 5 - 2);
            }
        }
        std::vector<float> values(n);
        for (std::size_t i = 0; i < n; ++i) {
            values[i] = (static_cast<float>(levels[i]) + 0.5F) / 255.0F;
        }
        sent.blocks.push_back({out.position(), levels});
        const Bytes packed = out.pack(kMethods[rng() % kMethods.size()], values);
        std::vector<Bytes> packets;
        const std::size_t walked =
            wire::packets(packed, [&](std::span<const std::uint8_t> p) { packets.emplace_back(p.begin(), p.end()); });
        EXPECT_EQ(walked, packed.size());
        sent.packets.push_back(std::move(packets));
    }
    sent.end = out.end();
    return sent;
}

// Probabilities per packet, in percent, and how far packets move.
struct Impairment {
    unsigned drop = 0;
    unsigned duplicate = 0;
    unsigned flip_header = 0;
    unsigned flip_payload = 0;
    unsigned truncate = 0;
    unsigned oversize = 0;
    unsigned foreign = 0;
    unsigned move_near = 0;  // moved up to a few blocks' packets on
    unsigned move_far = 0;   // moved past the window
};

std::vector<Bytes> impair(const SentStream& sent, const SentStream& other, const Impairment& how,
                          std::size_t far_distance, std::mt19937& rng)
{
    auto chance = [&rng](unsigned percent) { return rng() % 100 < percent; };
    std::vector<Bytes> in_order;
    for (const auto& block : sent.packets) {
        in_order.insert(in_order.end(), block.begin(), block.end());
    }
    in_order.push_back(sent.end);
    std::vector<Bytes> foreign;
    for (const auto& block : other.packets) {
        foreign.insert(foreign.end(), block.begin(), block.end());
    }

    std::vector<Bytes> out;
    for (const Bytes& packet : in_order) {
        if (chance(how.foreign) && !foreign.empty()) {
            out.push_back(foreign[rng() % foreign.size()]);
        }
        if (chance(how.drop)) {
            continue;
        }
        Bytes p = packet;
        if (chance(how.flip_header)) {
            p[rng() % wire::header_size] ^= static_cast<std::uint8_t>(1U << (rng() % 8));
        }
        if (chance(how.flip_payload)) {
            p[wire::header_size + rng() % (p.size() - wire::header_size)] ^=
                static_cast<std::uint8_t>(1U << (rng() % 8));
        }
        if (chance(how.truncate)) {
            p.resize(rng() % p.size());
        }
        if (chance(how.oversize)) {
            p.resize(p.size() + 1 + rng() % 8, 0);
        }
        out.push_back(p);
        if (chance(how.duplicate)) {
            out.push_back(p);
        }
    }
    // Moves, applied on the whole sequence so that packets pass each other.
    for (std::size_t i = 0; i < out.size(); ++i) {
        std::size_t distance = 0;
        if (chance(how.move_near)) {
            distance = 1 + rng() % 40;
        } else if (chance(how.move_far)) {
            distance = far_distance + rng() % far_distance;
        }
        if (distance != 0) {
            const std::size_t to = std::min(out.size() - 1, i + distance);
            std::rotate(out.begin() + static_cast<std::ptrdiff_t>(i), out.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                        out.begin() + static_cast<std::ptrdiff_t>(to) + 1);
        }
    }
    return out;
}

struct Tally {
    std::size_t runs = 0;
    std::size_t packets = 0;
    std::size_t given_back = 0;
    std::size_t lost = 0;
    std::size_t lost_events = 0;
    std::size_t intact_ends = 0;
    std::size_t unseen_ends = 0;
    wire::counters counts;
};

// Feeds the packets and checks every event against what was sent.
void check_run(const SentStream& sent, const std::vector<Bytes>& packets, wire::reassembler_options options,
               Tally& tally)
{
    wire::reassembler receiver(options);
    std::uint32_t next = sent.first_sequence;  // the sequence the next event must start at
    bool ended = false;
    bool lost_any = false;
    auto on_event = [&](const wire::event& e) {
        ASSERT_FALSE(ended) << "event after the end";
        const auto index = static_cast<std::size_t>(e.sequence - sent.first_sequence);
        if (e.kind == wire::event_kind::end) {
            ended = true;
            EXPECT_EQ(e.sequence, next) << "blocks skipped before the end";
            if (e.end_seen) {
                EXPECT_EQ(index, sent.blocks.size()) << "end seen but blocks not all accounted for";
            } else {
                EXPECT_LE(index, sent.blocks.size());
                ++tally.unseen_ends;
            }
            EXPECT_EQ(e.intact, e.end_seen && !lost_any);
            tally.intact_ends += e.intact ? 1 : 0;
            return;
        }
        ASSERT_EQ(e.sequence, next) << "out of order or reported twice";
        ASSERT_LT(index, sent.blocks.size());
        if (e.kind == wire::event_kind::block) {
            const SentBlock& block = sent.blocks[index];
            ASSERT_EQ(e.blocks, 1U);
            EXPECT_EQ(e.position, block.position);
            ASSERT_EQ(e.samples.size(), block.levels.size()) << "block " << index;
            for (std::size_t i = 0; i < block.levels.size(); ++i) {
                ASSERT_EQ(e.samples[i], comm::level_value(block.levels[i])) << "block " << index << " value " << i;
            }
            ++tally.given_back;
            next += 1;
            return;
        }
        ASSERT_GE(e.blocks, 1U);
        ASSERT_LE(index + e.blocks, sent.blocks.size());
        std::uint64_t values = 0;
        for (std::size_t b = index; b < index + e.blocks; ++b) {
            values += sent.blocks[b].levels.size();
        }
        if (e.values_known) {
            EXPECT_EQ(e.values, values) << "lost from block " << index;
            EXPECT_EQ(e.position, sent.blocks[index].position);
        }
        lost_any = true;
        tally.lost += e.blocks;
        ++tally.lost_events;
        next += e.blocks;
    };
    for (const Bytes& p : packets) {
        receiver.push(p, on_event);
    }
    receiver.finish(on_event);
    EXPECT_TRUE(ended);
    const wire::counters& c = receiver.counts();
    EXPECT_EQ(c.used + c.bad + c.foreign + c.duplicates + c.stale, packets.size());
    EXPECT_EQ(c.blocks + c.lost_blocks, static_cast<std::uint64_t>(next - sent.first_sequence));
    ++tally.runs;
    tally.packets += packets.size();
    tally.counts.used += c.used;
    tally.counts.bad += c.bad;
    tally.counts.foreign += c.foreign;
    tally.counts.duplicates += c.duplicates;
    tally.counts.stale += c.stale;
}

void print(const char* name, const Tally& t)
{
    std::cout << name << ": " << t.runs << " runs, " << t.packets << " packets (" << t.counts.used << " used, "
              << t.counts.bad << " bad, " << t.counts.foreign << " foreign, " << t.counts.duplicates << " duplicates, "
              << t.counts.stale << " stale); blocks " << t.given_back << " given back, " << t.lost << " lost in "
              << t.lost_events << " reports; ends " << t.intact_ends << " intact, " << t.unseen_ends << " unseen\n";
}

TEST(Impairment, EveryBlockIsExactOrReportedLost)
{
    const Impairment mixes[] = {
        {},                               // a clean link
        {10, 0, 0, 0, 0, 0, 0, 0, 0},     // drops
        {0, 20, 0, 0, 0, 0, 0, 30, 0},    // duplicates, reordering within the window
        {0, 0, 5, 5, 3, 3, 0, 0, 0},      // damage
        {0, 0, 0, 0, 0, 0, 20, 10, 0},    // another stream
        {5, 5, 2, 2, 2, 2, 5, 10, 2},     // everything, some beyond the window
        {30, 10, 5, 5, 5, 5, 10, 20, 5},  // a very bad link
    };
    Tally tally;
    for (unsigned seed = 0; seed < 140; ++seed) {
        std::mt19937 rng(seed);
        const Impairment& how = mixes[seed % std::size(mixes)];
        const std::size_t window = std::size_t{1} << (seed % 6);  // 1 .. 32
        // Some streams start just before the sequence numbers wrap.
        const std::uint32_t first = seed % 3 == 0 ? 0xFFFFFFF0U + seed % 16 : static_cast<std::uint32_t>(rng());
        const SentStream sent = make_stream(rng, 0xA11CE, first, 12 + seed % 20);
        const SentStream other = make_stream(rng, 0xB0B, first, 4);
        const std::vector<Bytes> packets = impair(sent, other, how, 20 * window, rng);
        SCOPED_TRACE(testing::Message() << "seed " << seed << " window " << window);
        check_run(sent, packets, {window, 0xA11CE, first}, tally);
        if (HasFatalFailure()) {
            return;
        }
    }
    print("impairment", tally);
    EXPECT_GT(tally.lost, 0U);
    EXPECT_GT(tally.given_back, tally.lost);
}

}  // namespace
