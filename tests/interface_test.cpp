// The C++ interface, comm/comm.hpp: the same results as the C functions, and
// for every refused call the right error, in both forms, with the output untouched.
#include "comm/comm.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <span>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "reference/reference.hpp"

namespace {

using comm::errc;
using comm::method;
using reference::Bytes;

constexpr std::array kMethods{method::pairs, method::escaped};
constexpr uint8_t kSentinel = 0xA5;
constexpr float kSentinelValue = -1.0F;
constexpr auto kMaxBlock = static_cast<int32_t>(comm::max_block_values);

std::string name_of(method m)
{
    return m == method::pairs ? "pairs" : "escaped";
}

// A block with runs of every length up to 300, lone 255s and level changes.
std::vector<float> mixed_block(size_t n)
{
    std::mt19937 rng(7);
    reference::Levels levels;
    while (levels.size() < n) {
        const auto level = static_cast<uint8_t>(rng() % 4 == 0 ? 255 : rng() & 0xFF);
        levels.insert(levels.end(), std::min<size_t>(rng() % 300 + 1, n - levels.size()), level);
    }
    return reference::values_of(levels);
}

// A stream that stands for exactly `n` values of level 7.
Bytes stream_of(method m, int32_t n)
{
    const std::vector<float> values(static_cast<size_t>(std::min(n, kMaxBlock)), comm::level_value(7));
    Bytes stream(2 * values.size());
    stream.resize(static_cast<size_t>(
        (m == method::pairs ? encode : encode2)(values.data(), stream.data(), static_cast<int32_t>(values.size()))));
    for (int32_t extra = n - kMaxBlock; extra > 0; --extra) {
        if (m == method::pairs) {
            stream.push_back(0);
        }
        stream.push_back(7);
    }
    return stream;
}

bool same(float a, float b)
{
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

bool same(uint8_t a, uint8_t b)
{
    return a == b;
}

bool same(const packet& a, const packet& b)
{
    return a.length == b.length && a.last == b.last && std::memcmp(a.data, b.data, sizeof a.data) == 0;
}

// A pair stream of `pairs` with these counts, then pairs of count 0.
Bytes pair_stream(std::initializer_list<std::pair<int, uint8_t>> runs, size_t pairs)
{
    Bytes stream;
    for (const auto& [times, count] : runs) {
        for (int i = 0; i < times; ++i) {
            stream.insert(stream.end(), {count, 7});
        }
    }
    stream.resize(2 * pairs, 0);
    return stream;
}

// Checks that a call was refused with `expected`: the error_code form returned
// 0 and set the code, the throwing form threw it, and neither wrote to `out`.
template <typename T, typename WithCode, typename Throwing>
void expect_refused(errc expected, std::vector<T>& out, T sentinel, WithCode with_code, Throwing throwing)
{
    std::fill(out.begin(), out.end(), sentinel);
    std::error_code ec = errc::empty_input;
    if (expected == errc::empty_input) {
        ec = errc::output_too_small;
    }
    EXPECT_EQ(with_code(ec), 0U);
    EXPECT_EQ(ec, expected) << ec.message();
    try {
        static_cast<void>(throwing());
        ADD_FAILURE() << "no exception, expected " << comm::make_error_code(expected).message();
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), expected) << e.what();
    }
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [&](const T& x) { return same(x, sentinel); })) << "output written";
}

TEST(Interface, GivesTheResultsOfTheCFunctions)
{
    const std::vector<float> block = mixed_block(comm::max_block_values);
    for (const method m : kMethods) {
        SCOPED_TRACE(name_of(m));
        const bool pairs = m == method::pairs;
        Bytes expected(2 * block.size());
        expected.resize(static_cast<size_t>(
            (pairs ? encode : encode2)(block.data(), expected.data(), static_cast<int32_t>(block.size()))));

        Bytes stream(comm::max_stream_bytes(block.size()));
        std::error_code ec = errc::empty_input;
        stream.resize(comm::encode(m, block, stream, ec));
        EXPECT_FALSE(ec);
        EXPECT_EQ(stream, expected);
        EXPECT_EQ(comm::encode(m, block), expected);

        std::vector<packet> packets(comm::packet_count(stream.size()));
        ASSERT_EQ(comm::split(stream, packets), packets.size());
        EXPECT_EQ(comm::split(stream).size(), packets.size());
        Bytes merged(stream.size());
        EXPECT_EQ(comm::merge(packets, merged), stream.size());
        EXPECT_EQ(merged, stream);
        EXPECT_EQ(comm::merge(packets), stream);

        // Exactly the room the stream needs is enough.
        std::vector<float> values(block.size());
        EXPECT_EQ(comm::decode(m, merged, values, ec), block.size());
        EXPECT_FALSE(ec);
        EXPECT_EQ(values, block);
        EXPECT_EQ(comm::decode(m, merged), block);
    }
}

TEST(Interface, EncodeTakesBlocksOf1To5700ValuesWithRoomFor2nBytes)
{
    struct Case {
        const char* name;
        size_t values;
        size_t room;
        errc error;  // {} when the block must be taken
    };
    const size_t max = comm::max_block_values;
    for (const Case& c : {Case{"empty block", 0, 16, errc::empty_input}, Case{"one value", 1, 2, {}},
                          Case{"longest block", max, 2 * max, {}},
                          Case{"one value too many", max + 1, 2 * max + 2, errc::block_too_long},
                          Case{"room one byte short of 2n", 100, 199, errc::output_too_small}}) {
        for (const method m : kMethods) {
            SCOPED_TRACE(std::string(c.name) + ", " + name_of(m));
            const std::vector<float> block = mixed_block(c.values);
            Bytes stream(c.room);
            if (c.error == errc{}) {
                EXPECT_EQ(comm::encode(m, block, stream), comm::encode(m, block).size());
                continue;
            }
            expect_refused(
                c.error, stream, kSentinel, [&](std::error_code& ec) { return comm::encode(m, block, stream, ec); },
                [&] { return comm::encode(m, block, stream); });
            if (c.error != errc::output_too_small) {  // the vector form makes its own room
                EXPECT_THROW(static_cast<void>(comm::encode(m, block)), std::system_error);
            }
        }
    }
}

TEST(Interface, DecodeRefusesStreamsItWouldTruncate)
{
    struct Case {
        const char* name;
        method m;
        Bytes stream;
        size_t room;
        errc error;
    };
    const size_t max = comm::max_block_values;
    const std::vector<Case> cases{
        {"empty stream", method::pairs, {}, max, errc::empty_input},
        {"empty stream", method::escaped, {}, max, errc::empty_input},
        {"5701 values", method::pairs, stream_of(method::pairs, kMaxBlock + 1), max + 1, errc::block_too_long},
        {"5701 values", method::escaped, stream_of(method::escaped, kMaxBlock + 1), max + 1, errc::block_too_long},
        {"room for one value less", method::pairs, stream_of(method::pairs, 300), 299, errc::output_too_small},
        {"room for one value less", method::escaped, stream_of(method::escaped, 300), 299, errc::output_too_small},
        // Exactly 5700 values in the first 512 bytes, then one more pair.
        {"5701 values, 5700 in 512 bytes", method::pairs, pair_stream({{21, 255}, {1, 89}}, 257), max + 1,
         errc::block_too_long},
        // Counts adding up to 2^16 in 1024 bytes.
        {"66048 values in 1024 bytes", method::pairs, pair_stream({{257, 255}, {1, 1}}, 512), max,
         errc::block_too_long},
        {"half a pair at the end", method::pairs, {0x02, 0x07, 0x00}, max, errc::truncated_stream},
        {"lone escape at the end", method::escaped, {0x28, 0xFF}, max, errc::truncated_stream},
        {"run token without its level", method::escaped, {0x28, 0xFF, 0x05}, max, errc::truncated_stream},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ", " + name_of(c.m));
        std::vector<float> values(c.room);
        expect_refused(
            c.error, values, kSentinelValue,
            [&](std::error_code& ec) { return comm::decode(c.m, c.stream, values, ec); },
            [&] { return comm::decode(c.m, c.stream, values); });
        if (c.error != errc::output_too_small) {
            EXPECT_THROW(static_cast<void>(comm::decode(c.m, c.stream)), std::system_error);
        }
    }

    // A lone escape at the end of the span, followed in memory by another 0xFF
    // that the call must not read.
    const Bytes escape_then_more{0x28, 0xFF, 0xFF};
    std::error_code ec;
    std::vector<float> values(comm::max_block_values);
    EXPECT_EQ(comm::decode(method::escaped, std::span(escape_then_more).first(2), values, ec), 0U);
    EXPECT_EQ(ec, errc::truncated_stream);

    // The limits themselves are taken.
    for (const method m : kMethods) {
        SCOPED_TRACE(name_of(m));
        values.resize(comm::max_block_values);
        EXPECT_EQ(comm::decode(m, stream_of(m, kMaxBlock), values), comm::max_block_values);
        values.resize(300);
        EXPECT_EQ(comm::decode(m, stream_of(m, 300), values), 300U);
    }
    const Bytes escaped_255_last{0x28, 0xFF, 0xFF};
    EXPECT_EQ(comm::decode(method::escaped, escaped_255_last), std::vector<float>({comm::level_value(40), 1.0F}));
    const Bytes no_values{0xFF, 0x00, 0x07};  // a run of count 0
    EXPECT_TRUE(comm::decode(method::escaped, no_values).empty());
}

// The values counted before decoding must be the values the C decoder writes,
// for any bytes. Random streams: short ones rich in escapes and long runs, and
// long ones of small bytes (pairs of 1 to 4 values, literals) that come near
// the limit of 5700 values across many of the counting's chunks.
TEST(Interface, DecodeCountsStreamsAsTheCDecodersDo)
{
    std::mt19937 rng(11);
    std::vector<float> expected(comm::max_block_values);
    std::vector<float> values(comm::max_block_values);
    int refused_as_too_long = 0;
    int taken = 0;
    for (int i = 0; i < 4000; ++i) {
        const bool small_bytes = i % 2 == 0;
        Bytes stream(small_bytes ? rng() % 6000 + 1 : rng() % 80 + 1);
        std::generate(stream.begin(), stream.end(), [&] {
            const auto r = rng();
            return static_cast<uint8_t>(small_bytes ? (r % 200 == 0 ? 0xFF : r % 4) : (r % 3 == 0 ? 0xFF : r >> 8));
        });
        for (const method m : kMethods) {
            const auto count = static_cast<int32_t>(stream.size());
            const int32_t written = (m == method::pairs ? decode : decode2)(stream.data(), expected.data(), count);
            std::error_code ec;
            const size_t n = comm::decode(m, stream, values, ec);
            if (ec == errc::block_too_long) {
                ++refused_as_too_long;
                EXPECT_EQ(written, kMaxBlock);  // the C decoder had to cut the stream
            } else if (!ec) {
                ++taken;
                ASSERT_EQ(n, static_cast<size_t>(written))
                    << name_of(m) << " stream " << testing::PrintToString(stream);
                EXPECT_TRUE(std::equal(values.begin(), values.begin() + written, expected.begin()));
            } else {
                EXPECT_EQ(ec, errc::truncated_stream);
            }
        }
    }
    EXPECT_GT(refused_as_too_long, 500);
    EXPECT_GT(taken, 500);
}

TEST(Interface, SplitNeedsRoomForEveryPacket)
{
    for (const size_t bytes : {size_t{1}, size_t{650}, size_t{651}, size_t{1300}, size_t{1301}}) {
        SCOPED_TRACE(bytes);
        const Bytes stream(bytes, 0x42);
        std::vector<packet> packets(comm::packet_count(bytes));
        EXPECT_EQ(comm::split(stream, packets), packets.size());
        EXPECT_EQ(packets.size(), static_cast<size_t>(COMM_PACKET_COUNT(static_cast<int32_t>(bytes))));

        packets.pop_back();
        packet blank{};
        std::memset(&blank, 0xA5, sizeof blank);
        expect_refused(
            errc::output_too_small, packets, blank,
            [&](std::error_code& ec) { return comm::split(stream, packets, ec); },
            [&] { return comm::split(stream, packets); });
    }
    std::vector<packet> packets(1);
    expect_refused(
        errc::empty_input, packets, packet{}, [&](std::error_code& ec) { return comm::split(Bytes{}, packets, ec); },
        [&] { return comm::split(Bytes{}, packets); });
}

TEST(Interface, MergeTakesOnlyWellFormedPacketSequences)
{
    Bytes stream(1400);
    std::iota(stream.begin(), stream.end(), uint8_t{0});
    const std::vector<packet> good = comm::split(stream);  // 650, 650 and 100 bytes
    ASSERT_EQ(good.size(), 3U);

    struct Case {
        const char* name;
        size_t index;
        int32_t length;
        uint8_t last;
        errc error;
    };
    for (const Case& c : {Case{"final length 0", 2, 0, 1, errc::bad_packet_length},
                          Case{"final length 651", 2, 651, 1, errc::bad_packet_length},
                          Case{"negative length", 1, -650, 0, errc::bad_packet_length},
                          Case{"first length 651", 0, 651, 0, errc::bad_packet_length},
                          Case{"first packet 649 bytes", 0, 649, 0, errc::short_packet},
                          Case{"last set on the second packet", 1, 650, 1, errc::bad_last_flag},
                          Case{"last not set on the final packet", 2, 100, 0, errc::bad_last_flag},
                          Case{"last 2 on the final packet", 2, 100, 2, errc::bad_last_flag}}) {
        SCOPED_TRACE(c.name);
        std::vector<packet> packets = good;
        packets[c.index].length = c.length;
        packets[c.index].last = c.last;
        Bytes out(3 * comm::packet_data_size);
        expect_refused(
            c.error, out, kSentinel, [&](std::error_code& ec) { return comm::merge(packets, out, ec); },
            [&] { return comm::merge(packets, out); });
        EXPECT_THROW(static_cast<void>(comm::merge(packets)), std::system_error);
    }

    // Room for the stream's bytes exactly is enough; one byte less is refused.
    Bytes out(stream.size());
    EXPECT_EQ(comm::merge(good, out), stream.size());
    out.pop_back();
    expect_refused(
        errc::output_too_small, out, kSentinel, [&](std::error_code& ec) { return comm::merge(good, out, ec); },
        [&] { return comm::merge(good, out); });
    // A lone packet of 650 bytes is a whole sequence.
    EXPECT_EQ(comm::merge(comm::split(Bytes(650, 1))), Bytes(650, 1));
    expect_refused(
        errc::empty_input, out, kSentinel,
        [&](std::error_code& ec) { return comm::merge(std::span<const packet>{}, out, ec); },
        [&] { return comm::merge(std::span<const packet>{}, out); });
}

// Inputs whose sizes the C functions' int32_t counts cannot carry. The memory
// is reserved but never touched: each call must refuse (or fail on something
// else) before reading it.
TEST(Interface, RefusesInputsBeyondTheInt32Counts)
{
    const size_t int32_max = INT32_MAX;
    const auto bytes = std::make_unique_for_overwrite<uint8_t[]>(int32_max + 1);
    std::vector<float> values(4);
    std::vector<packet> packets(1);
    std::error_code ec;

    for (const method m : kMethods) {
        EXPECT_EQ(comm::decode(m, {bytes.get(), int32_max + 1}, values, ec), 0U);
        EXPECT_EQ(ec, errc::input_too_long);
    }
    // One byte less passes that check and fails on the odd length.
    EXPECT_EQ(comm::decode(method::pairs, {bytes.get(), int32_max}, values, ec), 0U);
    EXPECT_EQ(ec, errc::truncated_stream);

    EXPECT_EQ(comm::split({bytes.get(), int32_max + 1}, packets, ec), 0U);
    EXPECT_EQ(ec, errc::input_too_long);
    EXPECT_THROW(static_cast<void>(comm::split({bytes.get(), int32_max + 1})), std::system_error);
    EXPECT_EQ(comm::split({bytes.get(), int32_max}, packets, ec), 0U);
    EXPECT_EQ(ec, errc::output_too_small);

    // As many packets as keep the stream's length within INT32_MAX, and one more.
    const size_t most = int32_max / comm::packet_data_size;
    const auto many = std::make_unique_for_overwrite<packet[]>(most + 1);
    many[0].length = 0;
    Bytes out(8);
    EXPECT_EQ(comm::merge({many.get(), most + 1}, out, ec), 0U);
    EXPECT_EQ(ec, errc::input_too_long);
    EXPECT_EQ(comm::merge({many.get(), most}, out, ec), 0U);
    EXPECT_EQ(ec, errc::bad_packet_length);
}

TEST(Interface, EachErrorHasItsOwnMessage)
{
    std::set<std::string> messages;
    for (int e = static_cast<int>(errc::output_too_small); e <= static_cast<int>(errc::bad_last_flag); ++e) {
        const std::error_code ec = static_cast<errc>(e);
        EXPECT_STREQ(ec.category().name(), "comm");
        messages.insert(ec.message());
    }
    EXPECT_EQ(messages.size(), 8U);
    EXPECT_EQ(messages.count(std::error_code(0, comm::error_category()).message()), 0U) << "a code without a message";
    // The limits the messages name.
    EXPECT_EQ(std::error_code(errc::block_too_long).message(),
              "block longer than the 5700 values a decoder gives back");
    EXPECT_EQ(std::error_code(errc::bad_packet_length).message(), "packet length outside 1..650");
    EXPECT_EQ(std::error_code(errc::short_packet).message(), "packet before the last one not full (650 bytes)");
}

}  // namespace
