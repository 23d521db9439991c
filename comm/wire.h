/*
 * comm/wire.h: blocks as wire packets, for datagrams, serial links and files.
 *
 * A block of values is encoded (Comm.h), its stream cut into payloads of at
 * most 650 bytes, and each payload sent behind a fixed 40-byte header that
 * names the stream, the block and the packet's place in it, and carries a
 * CRC-32C over header and payload. A stream of blocks ends with an end packet
 * that counts the blocks and checksums all their streams, so a lost tail is a
 * loss like any other. doc/wire_format.md has the layout with a worked example.
 *
 * Header, all fields little-endian, no padding (offset: size name):
 *    0: 4  magic        89 43 4D 57 ("\x89" "CMW")
 *    4: 1  version      1
 *    5: 1  kind         1 data packet, 2 end packet
 *    6: 1  method       data: 1 pairs (encode), 2 escaped (encode2), 3 deltas
 *                       for a third method; any other value is a bad packet.
 *                       end: 0
 *    7: 1  index        data: this packet's place in its block, 0..count-1.  end: 0
 *    8: 1  count        data: packets in the block, 1..18.  end: 1
 *    9: 1  reserved     0
 *   10: 2  length       payload bytes. data: 650 on every packet but the
 *                       block's last, which holds 1..650.  end: 8
 *   12: 4  stream id    chosen by the sender; tells streams apart
 *   16: 4  sequence     data: the block's number, counting up from the
 *                       stream's first and wrapping from 2^32 - 1 to 0.
 *                       end: the number one past the last block
 *   20: 4  values       data: values in the block, 1..5700.  end: 0
 *   24: 8  position     data: index of the block's first value in the stream
 *                       (the values of all earlier blocks).  end: all values
 *   32: 4  block crc    data: CRC-32C of the block's whole stream.  end: 0
 *   36: 4  crc          CRC-32C of bytes 0..35 followed by the payload
 *   40:    payload      data: bytes index * 650 onward of the block's stream.
 *                       end: 4 bytes block count (blocks in the stream, modulo
 *                       2^32), then 4 bytes stream checksum (CRC-32C of the
 *                       block crcs of every block, 4 bytes each, in sequence
 *                       order)
 *
 * A data block's packets carry the same method, count, stream id, sequence,
 * values, position and block crc; its payloads joined in index order are its
 * stream, whose CRC is the block crc and which decodes to exactly `values`
 * values. (The block crc tells apart the packets of two blocks under one
 * stream id and sequence, as when a sender restarts under the same id while
 * its old packets are still about.)
 *
 * Everything here works on caller memory: no heap, no state beyond the
 * comm_wire_sender the caller keeps, and no C++ runtime. Functions are safe to
 * call from many threads at once on different senders. The receiver, which
 * reorders, deduplicates and reports losses, is C++: comm/wire.hpp.
 *
 * This header is valid C (C99 or later) and C++.
 */
#ifndef COMM_WIRE_H
#define COMM_WIRE_H

#include <stddef.h> /* NOLINT(modernize-deprecated-headers): this header is C as well */
#include <stdint.h> /* NOLINT(modernize-deprecated-headers) */

#include "Comm.h"

#ifdef __cplusplus
extern "C" {
#endif

#define COMM_WIRE_VERSION 1
#define COMM_WIRE_HEADER_SIZE 40
/* The largest packet: a header and a full payload (690 bytes). */
#define COMM_WIRE_PACKET_MAX_SIZE (COMM_WIRE_HEADER_SIZE + COMM_PACKET_DATA_SIZE)
#define COMM_WIRE_END_PAYLOAD_SIZE 8
/* The end packet's size (48 bytes). */
#define COMM_WIRE_END_SIZE (COMM_WIRE_HEADER_SIZE + COMM_WIRE_END_PAYLOAD_SIZE)
/* Most packets of one block: its stream of at most 2 * 5700 bytes (18). */
#define COMM_WIRE_BLOCK_MAX_PACKETS COMM_PACKET_COUNT(COMM_STREAM_MAX_BYTES(COMM_DECODE_MAX_VALUES))

/* Room comm_wire_send_block and comm_wire_send_stream need for a block of n
 * values, 1 <= n <= COMM_DECODE_MAX_VALUES: the longest stream and a header for
 * each of its packets. At most 12120 bytes. */
#define COMM_WIRE_BLOCK_MAX_BYTES(n) \
    (COMM_STREAM_MAX_BYTES(n) + COMM_WIRE_HEADER_SIZE * COMM_PACKET_COUNT(COMM_STREAM_MAX_BYTES(n)))

/* Packet kinds (header byte 5). */
#define COMM_WIRE_DATA 1
#define COMM_WIRE_END 2

/* Methods (header byte 6). */
#define COMM_WIRE_PAIRS 1   /* encode / decode */
#define COMM_WIRE_ESCAPED 2 /* encode2 / decode2 */
#define COMM_WIRE_DELTAS 3  /* encode3 / decode3 */

/* What comm_wire_parse returns for a packet it refuses (all below zero). */
#define COMM_WIRE_TRUNCATED (-1)   /* fewer bytes than the header or its length need */
#define COMM_WIRE_BAD_MAGIC (-2)   /* not a packet of this format */
#define COMM_WIRE_BAD_VERSION (-3) /* a version this library does not read */
#define COMM_WIRE_BAD_FIELD (-4)   /* a field out of its range, or an unknown method */
#define COMM_WIRE_BAD_CRC (-5)     /* header or payload damaged */

/*
 * comm_crc32c: CRC-32C (Castagnoli, reflected polynomial 0x82F63B78, initial
 * and final value inverted) of `size` bytes, continuing from `crc`: start with
 * 0, pass the result back in for the next piece. CRC-32C of "123456789" is
 * 0xE3069283. data may be null when size is 0.
 * Runs the CPU's CRC instructions (SSE4.2 on x86-64, the CRC extension on
 * ARMv8) where it has them, chosen once at the first call.
 */
COMM_API uint32_t comm_crc32c(uint32_t crc, const uint8_t* data, size_t size);

/* A packet's header, as comm_wire_parse reads it. */
typedef struct comm_wire_header {
    uint8_t kind;    /* COMM_WIRE_DATA or COMM_WIRE_END */
    uint8_t method;  /* COMM_WIRE_PAIRS, COMM_WIRE_ESCAPED or COMM_WIRE_DELTAS; 0 on an end packet */
    uint8_t index;   /* the packet's place in its block */
    uint8_t count;   /* packets in the block */
    uint16_t length; /* payload bytes */
    uint32_t stream_id;
    uint32_t sequence;
    uint32_t values;    /* values in the block; 0 on an end packet */
    uint64_t position;  /* first value's index; all values on an end packet */
    uint32_t block_crc; /* CRC-32C of the block's stream; 0 on an end packet */
    uint32_t blocks;    /* end packet: blocks in the stream; else 0 */
    uint32_t checksum;  /* end packet: the stream checksum; else 0 */
} comm_wire_header;

/*
 * comm_wire_parse: checks the packet at the start of bytes[0..available) and
 * reads its header.
 *   bytes: `available` bytes, read only; the packet may be followed by others.
 *   header: written only when the packet is good (may be null to check only).
 * Returns the packet's size in bytes (40 + length) when its magic, version,
 * fields (ranges as in the table above, reserved byte 0, every packet of a
 * block but its last full, count and length within the 2 * values bytes a
 * stream of that many values can take) and CRC are good; otherwise a
 * COMM_WIRE_* code below zero. The payload is at bytes + COMM_WIRE_HEADER_SIZE.
 * COMM_WIRE_TRUNCATED means only that more bytes are needed: a file reader
 * meeting it at the end of its data has a cut packet.
 * Never reads outside bytes[0..available); available <= 0 returns
 * COMM_WIRE_TRUNCATED.
 */
COMM_API int32_t comm_wire_parse(const uint8_t* bytes, int32_t available, comm_wire_header* header);

/* The sending side of one stream. Plain data: keep one per stream, set it up
 * with comm_wire_sender_init and touch its fields only to read them. */
typedef struct comm_wire_sender {
    uint32_t stream_id;
    uint32_t next_sequence; /* the next block's sequence number */
    uint32_t blocks;        /* blocks sent, modulo 2^32 */
    uint32_t checksum;      /* CRC-32C of the block crcs sent so far */
    uint64_t position;      /* values sent so far */
} comm_wire_sender;

/* Starts a stream: its first block gets `first_sequence` and position 0.
 * A stream id that differs from the other streams the receiver may see lets
 * it drop theirs; a random one is a good choice. */
COMM_API void comm_wire_sender_init(comm_wire_sender* sender, uint32_t stream_id, uint32_t first_sequence);

/*
 * comm_wire_send_block: encodes a block of n values with `method` and writes
 * its packets back to back into out.
 *   values: n floats, 1 <= n <= COMM_DECODE_MAX_VALUES, read only.
 *   method: COMM_WIRE_PAIRS, COMM_WIRE_ESCAPED or COMM_WIRE_DELTAS.
 *   out: room for `room` bytes; room >= COMM_WIRE_BLOCK_MAX_BYTES(n) always
 *   suffices, and the whole of it may be used as scratch.
 * Returns the bytes of packets written (each packet's size is 40 plus its
 * length field) and advances the sender to the next block. An n, method or
 * room out of range writes nothing, leaves the sender as it was and returns 0.
 * Needs no heap and a fixed amount of stack.
 */
COMM_API int32_t comm_wire_send_block(comm_wire_sender* sender, uint8_t method, const float* values, int32_t n,
                                      uint8_t* out, int32_t room);

/*
 * comm_wire_send_stream: as comm_wire_send_block, for a block already encoded:
 * `stream` (len bytes, 1 <= len <= 2n) is what the encoder of `method` made of
 * n values. Use it to pick the method after encoding with both. A stream that
 * does not decode to exactly n values is not detected here; the receiver
 * reports that block lost. out must not overlap stream; room as above (len
 * bytes plus 40 per packet is exact).
 */
COMM_API int32_t comm_wire_send_stream(comm_wire_sender* sender, uint8_t method, const uint8_t* stream, int32_t len,
                                       int32_t n, uint8_t* out, int32_t room);

/*
 * comm_wire_send_end: writes the stream's end packet (COMM_WIRE_END_SIZE
 * bytes) into out. Returns its size, or 0 when room < COMM_WIRE_END_SIZE.
 * The sender is left as it was: more blocks may follow, and a later end packet
 * then counts them too.
 */
COMM_API int32_t comm_wire_send_end(const comm_wire_sender* sender, uint8_t* out, int32_t room);

#ifdef __cplusplus
}
#endif

#endif /* COMM_WIRE_H */
