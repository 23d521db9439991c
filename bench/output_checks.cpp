#include "bench/output_checks.hpp"

#include <algorithm>
#include <bit>
#include <iterator>

namespace bench {
namespace {

// Bytes written past an encoder's 2n bytes, a packet's length or a merged
// stream would overwrite these.
constexpr uint8_t kGuardByte = 0xA5;
constexpr std::size_t kGuardBytes = 64;
// Decoded slots past the expected values must keep this pattern (a NaN that no
// level decodes to).
constexpr uint32_t kUnwrittenFloat = 0x7FC0DEADU;

bool guarded(const uint8_t* begin, const uint8_t* end)
{
    return std::all_of(begin, end, [](uint8_t b) { return b == kGuardByte; });
}

packet guard_packet()
{
    packet p{};
    p.length = -1;
    std::fill(std::begin(p.data), std::end(p.data), kGuardByte);
    p.last = kGuardByte;
    return p;
}

// Where packet j's fragment starts in the stream, and its size.
std::size_t fragment_start(std::size_t j)
{
    return j * PACKET_DATA_SIZE;
}

std::size_t fragment_size(const Bytes& stream, std::size_t j)
{
    return std::min<std::size_t>(PACKET_DATA_SIZE, stream.size() - fragment_start(j));
}

}  // namespace

const char* encoder_fault(Encoder encoder, const std::vector<float>& values, const Bytes& expected)
{
    const std::size_t bound = 2 * values.size();
    Bytes stream(bound + kGuardBytes, kGuardByte);
    const int32_t size = encoder(values.data(), stream.data(), static_cast<int32_t>(values.size()));
    if (size != static_cast<int32_t>(expected.size())) {
        return "the stream's length differs from the reference encoder's";
    }
    if (!std::equal(expected.begin(), expected.end(), stream.begin())) {
        return "the stream's bytes differ from the reference encoder's";
    }
    if (!guarded(stream.data() + bound, stream.data() + stream.size())) {
        return "the encoder wrote past 2n bytes";
    }
    return nullptr;
}

const char* decoder_fault(Decoder decoder, const Bytes& stream, const std::vector<float>& expected)
{
    std::vector<float> values(DECODE_MAX_VALUES, std::bit_cast<float>(kUnwrittenFloat));
    const int32_t written = decoder(stream.data(), values.data(), static_cast<int32_t>(stream.size()));
    if (written != static_cast<int32_t>(expected.size())) {
        return "the decoder's count differs from the block's";
    }
    const auto same_bits = [](float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); };
    if (!std::equal(expected.begin(), expected.end(), values.begin(), same_bits)) {
        return "the decoded values differ from the block's levels";
    }
    if (std::any_of(values.begin() + written, values.end(),
                    [](float v) { return std::bit_cast<uint32_t>(v) != kUnwrittenFloat; })) {
        return "the decoder wrote past its count";
    }
    return nullptr;
}

std::size_t packets_for(const Bytes& stream)
{
    return (stream.size() + PACKET_DATA_SIZE - 1) / PACKET_DATA_SIZE;
}

std::vector<packet> packets_of(const Bytes& stream)
{
    std::vector<packet> packets(packets_for(stream), guard_packet());
    for (std::size_t j = 0; j < packets.size(); ++j) {
        const std::size_t size = fragment_size(stream, j);
        packets[j].length = static_cast<int32_t>(size);
        packets[j].last = j + 1 == packets.size() ? 1 : 0;
        std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(fragment_start(j)), size, packets[j].data);
    }
    return packets;
}

const char* split_fault(Splitter splitter, const Bytes& stream)
{
    const std::size_t needed = packets_for(stream);
    // One packet more than needed, which the splitter must leave alone.
    std::vector<packet> packets(needed + 1, guard_packet());
    if (splitter(stream.data(), packets.data(), static_cast<int32_t>(stream.size())) != static_cast<int32_t>(needed)) {
        return "split returned the wrong number of packets";
    }
    const std::vector<packet> expected = packets_of(stream);
    for (std::size_t j = 0; j < needed; ++j) {
        const packet& p = packets[j];
        const packet& e = expected[j];
        if (p.length != e.length || p.last != e.last || !std::equal(e.data, e.data + e.length, p.data)) {
            return "split did not cut the stream into its packets";
        }
        if (!guarded(p.data + p.length, std::end(p.data))) {
            return "split wrote past a packet's length";
        }
    }
    const packet& spare = packets.back();
    if (spare.length != -1 || spare.last != kGuardByte || !guarded(std::begin(spare.data), std::end(spare.data))) {
        return "split touched a packet past the stream's";
    }
    return nullptr;
}

const char* merge_fault(Merger merger, const Bytes& stream)
{
    const std::vector<packet> packets = packets_of(stream);
    Bytes joined(stream.size() + kGuardBytes, kGuardByte);
    const int32_t total = merger(packets.data(), joined.data(), static_cast<int32_t>(packets.size()));
    if (total != static_cast<int32_t>(stream.size())) {
        return "merge returned the wrong length";
    }
    if (!std::equal(stream.begin(), stream.end(), joined.begin())) {
        return "merge did not give back the stream";
    }
    if (!guarded(joined.data() + stream.size(), joined.data() + joined.size())) {
        return "merge wrote past the stream";
    }
    return nullptr;
}

}  // namespace bench
