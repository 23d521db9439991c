// Wire packets: the C functions of wire.h. The layout is described there.
#include "comm/wire.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "comm/Comm.h"

namespace {

constexpr std::uint8_t kMagic[4] = {0x89, 0x43, 0x4D, 0x57};
constexpr std::int32_t kHeaderSize = COMM_WIRE_HEADER_SIZE;
constexpr std::int32_t kCrcOffset = kHeaderSize - 4;

void put16(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::uint8_t* p, std::uint32_t v)
{
    put16(p, v);
    put16(p + 2, v >> 16);
}

void put64(std::uint8_t* p, std::uint64_t v)
{
    put32(p, static_cast<std::uint32_t>(v));
    put32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

std::uint16_t get16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::uint32_t get32(const std::uint8_t* p)
{
    return get16(p) | static_cast<std::uint32_t>(get16(p + 2)) << 16;
}

std::uint64_t get64(const std::uint8_t* p)
{
    return get32(p) | static_cast<std::uint64_t>(get32(p + 4)) << 32;
}

// Writes a header, the payload already in place behind it, and the CRC.
void seal(std::uint8_t* packet, const comm_wire_header& h)
{
    std::memcpy(packet, kMagic, sizeof kMagic);
    packet[4] = COMM_WIRE_VERSION;
    packet[5] = h.kind;
    packet[6] = h.method;
    packet[7] = h.index;
    packet[8] = h.count;
    packet[9] = 0;
    put16(packet + 10, h.length);
    put32(packet + 12, h.stream_id);
    put32(packet + 16, h.sequence);
    put32(packet + 20, h.values);
    put64(packet + 24, h.position);
    put32(packet + 32, h.block_crc);
    const std::uint32_t crc = comm_crc32c(0, packet, kCrcOffset);
    put32(packet + kCrcOffset, comm_crc32c(crc, packet + kHeaderSize, h.length));
}

bool method_known(std::uint8_t method)
{
    return method == COMM_WIRE_PAIRS || method == COMM_WIRE_ESCAPED || method == COMM_WIRE_DELTAS;
}

// The header's fields against the ranges in wire.h; the CRC is checked apart.
bool fields_good(const comm_wire_header& h, std::uint8_t reserved)
{
    if (reserved != 0) {
        return false;
    }
    if (h.kind == COMM_WIRE_END) {
        return h.method == 0 && h.index == 0 && h.count == 1 && h.length == COMM_WIRE_END_PAYLOAD_SIZE &&
               h.values == 0 && h.block_crc == 0;
    }
    if (h.kind != COMM_WIRE_DATA || !method_known(h.method)) {
        return false;
    }
    if (h.values < 1 || h.values > COMM_DECODE_MAX_VALUES || h.count < 1 || h.index >= h.count || h.length < 1 ||
        h.length > COMM_PACKET_DATA_SIZE) {
        return false;
    }
    const bool final = h.index + 1 == h.count;
    if (!final && h.length != COMM_PACKET_DATA_SIZE) {
        return false;
    }
    // A stream of n values takes at most 2n bytes, so the packet count, and
    // the final packet's length, are bounded by the value count.
    const std::int64_t stream_bytes = std::int64_t{h.count - 1} * COMM_PACKET_DATA_SIZE + (final ? h.length : 1);
    return stream_bytes <= COMM_STREAM_MAX_BYTES(std::int64_t{h.values});
}

// Packs a stream already at out + offset (or copied from `stream` when it is
// elsewhere) into packets from out onward. Payload k moves from offset + 650k
// to 40 + 690k, never past bytes still to be moved, as offset >= 40 * packets.
std::int32_t pack(comm_wire_sender* sender, std::uint8_t method, const std::uint8_t* stream, std::int32_t len,
                  std::int32_t n, std::uint8_t* out)
{
    const std::int32_t packets = COMM_PACKET_COUNT(len);
    comm_wire_header h{};
    h.kind = COMM_WIRE_DATA;
    h.method = method;
    h.count = static_cast<std::uint8_t>(packets);
    h.stream_id = sender->stream_id;
    h.sequence = sender->next_sequence;
    h.values = static_cast<std::uint32_t>(n);
    h.position = sender->position;
    h.block_crc = comm_crc32c(0, stream, static_cast<std::size_t>(len));
    std::uint8_t block_crc[4];
    put32(block_crc, h.block_crc);
    sender->checksum = comm_crc32c(sender->checksum, block_crc, sizeof block_crc);
    std::uint8_t* packet = out;
    for (std::int32_t k = 0; k < packets; ++k) {
        const std::int32_t length = len - k * COMM_PACKET_DATA_SIZE < COMM_PACKET_DATA_SIZE
                                        ? len - k * COMM_PACKET_DATA_SIZE
                                        : COMM_PACKET_DATA_SIZE;
        std::memmove(packet + kHeaderSize, stream + std::ptrdiff_t{k} * COMM_PACKET_DATA_SIZE,
                     static_cast<std::size_t>(length));
        h.index = static_cast<std::uint8_t>(k);
        h.length = static_cast<std::uint16_t>(length);
        seal(packet, h);
        packet += kHeaderSize + length;
    }
    sender->next_sequence += 1;
    sender->blocks += 1;
    sender->position += static_cast<std::uint64_t>(n);
    return static_cast<std::int32_t>(packet - out);
}

bool block_args_good(std::uint8_t method, std::int32_t n)
{
    return method_known(method) && n >= 1 && n <= COMM_DECODE_MAX_VALUES;
}

}  // namespace

extern "C" {

int32_t comm_wire_parse(const uint8_t* bytes, int32_t available, comm_wire_header* header)
{
    if (available <= 0) {
        return COMM_WIRE_TRUNCATED;
    }
    // A prefix that could still start a packet is truncated, not bad: a
    // reader then waits for more bytes rather than skipping a real packet.
    const std::int32_t magic_seen = available < 4 ? available : 4;
    for (std::int32_t i = 0; i < magic_seen; ++i) {
        if (bytes[i] != kMagic[i]) {
            return COMM_WIRE_BAD_MAGIC;
        }
    }
    if (available < 5) {
        return COMM_WIRE_TRUNCATED;
    }
    if (bytes[4] != COMM_WIRE_VERSION) {
        return COMM_WIRE_BAD_VERSION;
    }
    if (available < kHeaderSize) {
        return COMM_WIRE_TRUNCATED;
    }
    comm_wire_header h{};
    h.kind = bytes[5];
    h.method = bytes[6];
    h.index = bytes[7];
    h.count = bytes[8];
    h.length = get16(bytes + 10);
    h.stream_id = get32(bytes + 12);
    h.sequence = get32(bytes + 16);
    h.values = get32(bytes + 20);
    h.position = get64(bytes + 24);
    h.block_crc = get32(bytes + 32);
    if (!fields_good(h, bytes[9])) {
        return COMM_WIRE_BAD_FIELD;
    }
    const std::int32_t size = kHeaderSize + h.length;
    if (available < size) {
        return COMM_WIRE_TRUNCATED;
    }
    const std::uint32_t crc = comm_crc32c(comm_crc32c(0, bytes, kCrcOffset), bytes + kHeaderSize, h.length);
    if (crc != get32(bytes + kCrcOffset)) {
        return COMM_WIRE_BAD_CRC;
    }
    if (h.kind == COMM_WIRE_END) {
        h.blocks = get32(bytes + kHeaderSize);
        h.checksum = get32(bytes + kHeaderSize + 4);
    }
    if (header != nullptr) {
        *header = h;
    }
    return size;
}

void comm_wire_sender_init(comm_wire_sender* sender, uint32_t stream_id, uint32_t first_sequence)
{
    *sender = comm_wire_sender{};
    sender->stream_id = stream_id;
    sender->next_sequence = first_sequence;
}

int32_t comm_wire_send_block(comm_wire_sender* sender, uint8_t method, const float* values, int32_t n, uint8_t* out,
                             int32_t room)
{
    if (!block_args_good(method, n) || room < COMM_WIRE_BLOCK_MAX_BYTES(n)) {
        return 0;
    }
    // Encoded behind room for every header, then packed in place.
    const std::int32_t offset = kHeaderSize * COMM_PACKET_COUNT(COMM_STREAM_MAX_BYTES(n));
    std::uint8_t* const stream = out + offset;
    const std::int32_t len = method == COMM_WIRE_PAIRS     ? comm_encode(values, stream, n)
                             : method == COMM_WIRE_ESCAPED ? comm_encode2(values, stream, n)
                                                           : comm_encode3(values, stream, n);
    return pack(sender, method, stream, len, n, out);
}

int32_t comm_wire_send_stream(comm_wire_sender* sender, uint8_t method, const uint8_t* stream, int32_t len, int32_t n,
                              uint8_t* out, int32_t room)
{
    if (!block_args_good(method, n) || len < 1 || len > COMM_STREAM_MAX_BYTES(n) ||
        room < len + kHeaderSize * COMM_PACKET_COUNT(len)) {
        return 0;
    }
    return pack(sender, method, stream, len, n, out);
}

int32_t comm_wire_send_end(const comm_wire_sender* sender, uint8_t* out, int32_t room)
{
    if (room < COMM_WIRE_END_SIZE) {
        return 0;
    }
    comm_wire_header h{};
    h.kind = COMM_WIRE_END;
    h.count = 1;
    h.length = COMM_WIRE_END_PAYLOAD_SIZE;
    h.stream_id = sender->stream_id;
    h.sequence = sender->next_sequence;
    h.position = sender->position;
    put32(out + kHeaderSize, sender->blocks);
    put32(out + kHeaderSize + 4, sender->checksum);
    seal(out, h);
    return COMM_WIRE_END_SIZE;
}

}  // extern "C"
