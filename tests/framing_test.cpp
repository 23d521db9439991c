#include <climits>
#include <cstring>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "comm/Comm.h"

namespace {

std::vector<uint8_t> counting_bytes(int32_t len, uint8_t start = 0)
{
    std::vector<uint8_t> bytes(static_cast<size_t>(len));
    std::iota(bytes.begin(), bytes.end(), start);
    return bytes;
}

bool same_packet(const packet& a, const packet& b)
{
    return a.length == b.length && a.last == b.last && std::memcmp(a.data, b.data, PACKET_DATA_SIZE) == 0;
}

std::vector<packet> filled_packets(size_t count)
{
    std::vector<packet> packets(count);
    std::memset(packets.data(), 0xAB, count * sizeof(packet));
    return packets;
}

TEST(Framing, SplitFillsEveryPacketButTheLast)
{
    struct Case {
        int32_t len;
        std::vector<int32_t> lengths;
    };
    const Case cases[] = {{1, {1}},
                          {649, {649}},
                          {650, {650}},
                          {651, {650, 1}},
                          {1300, {650, 650}},
                          {1301, {650, 650, 1}},
                          {3800, {650, 650, 650, 650, 650, 550}}};
    for (const Case& c : cases) {
        const std::vector<uint8_t> stream = counting_bytes(c.len);
        std::vector<packet> packets = filled_packets(c.lengths.size() + 1);
        ASSERT_EQ(split(stream.data(), packets.data(), c.len), static_cast<int32_t>(c.lengths.size())) << c.len;
        for (size_t j = 0; j < c.lengths.size(); ++j) {
            EXPECT_EQ(packets[j].length, c.lengths[j]) << c.len << " packet " << j;
            EXPECT_EQ(packets[j].last, j + 1 == c.lengths.size() ? 1 : 0) << c.len << " packet " << j;
            EXPECT_EQ(std::memcmp(packets[j].data, stream.data() + 650 * j, static_cast<size_t>(packets[j].length)), 0);
        }
        const packet& final = packets[c.lengths.size() - 1];
        for (int32_t k = final.length; k < PACKET_DATA_SIZE; ++k) {
            ASSERT_EQ(final.data[k], 0xAB) << "split wrote past the length, len " << c.len;
        }
        EXPECT_EQ(packets.back().length, static_cast<int32_t>(0xABABABAB)) << "touched a packet past the count";

        std::vector<uint8_t> merged(stream.size() + 1, 0xEE);
        EXPECT_EQ(merge(packets.data(), merged.data(), static_cast<int32_t>(c.lengths.size())), c.len);
        EXPECT_EQ(merged.back(), 0xEE);
        merged.pop_back();
        EXPECT_EQ(merged, stream);
    }
}

TEST(Framing, EmptyOrNegativeLengthsTouchNothing)
{
    std::vector<packet> packets = filled_packets(1);
    const std::vector<packet> before = packets;
    const uint8_t byte = 1;
    EXPECT_EQ(split(&byte, packets.data(), 0), 0);
    EXPECT_EQ(split(&byte, packets.data(), -650), 0);
    EXPECT_EQ(split(&byte, packets.data(), INT_MIN), 0);
    EXPECT_TRUE(same_packet(packets[0], before[0]));
    uint8_t out = 0xEE;
    EXPECT_EQ(merge(packets.data(), &out, 0), 0);
    EXPECT_EQ(merge(packets.data(), &out, -1), 0);
    EXPECT_EQ(out, 0xEE);
}

TEST(Framing, ReusedPacketArrayKeepsOldPacketsOutOfTheResult)
{
    std::vector<packet> packets = filled_packets(6);
    const std::vector<uint8_t> longer = counting_bytes(3800);
    ASSERT_EQ(split(longer.data(), packets.data(), 3800), 6);
    const std::vector<packet> after_first = packets;

    const std::vector<uint8_t> shorter = counting_bytes(700, 100);
    ASSERT_EQ(split(shorter.data(), packets.data(), 700), 2);
    EXPECT_EQ(packets[1].length, 50);
    EXPECT_EQ(packets[1].last, 1);
    for (size_t j = 2; j < 6; ++j) {
        EXPECT_TRUE(same_packet(packets[j], after_first[j])) << j;
    }

    std::vector<uint8_t> merged(700);
    EXPECT_EQ(merge(packets.data(), merged.data(), 2), 700);
    EXPECT_EQ(merged, shorter);
}

TEST(Framing, MergeClampsLengthsToThePacket)
{
    std::vector<packet> packets = filled_packets(4);
    const int32_t lengths[] = {-5, INT_MAX, 3, 651};
    for (size_t j = 0; j < 4; ++j) {
        packets[j].length = lengths[j];
        std::memset(packets[j].data, static_cast<int>(j), PACKET_DATA_SIZE);
    }
    std::vector<uint8_t> merged(2 * PACKET_DATA_SIZE + 3);
    ASSERT_EQ(merge(packets.data(), merged.data(), 4), 2 * PACKET_DATA_SIZE + 3);
    EXPECT_EQ(merged[0], 1);
    EXPECT_EQ(merged[PACKET_DATA_SIZE], 2);
    EXPECT_EQ(merged[PACKET_DATA_SIZE + 3], 3);
    EXPECT_EQ(merged.back(), 3);
}

}  // namespace
