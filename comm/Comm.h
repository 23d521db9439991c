/*
 * comm: a codec for blocks of normalised samples (floats in [0, 1]).
 *
 * Each value is quantised to an 8-bit sample level, the levels are coded with
 * one of three methods (two run-length methods, and a delta method for noisy
 * signals) into an encoded stream, and a stream is cut
 * into packets of at most PACKET_DATA_SIZE payload bytes for transmission.
 * Every step has its inverse. All functions work on arrays the caller owns,
 * keep no state between calls and are safe to call from many threads at once.
 *
 * Sample levels
 *   A value x becomes the level trunc(x * 255): the product is exact in double
 *   precision and is truncated toward zero, never rounded. Values outside
 *   [0, 1] are clamped: below 0 (and NaN) give 0, above 1 give 255.
 *   A level b becomes the float nearest to b / 255; that float re-quantises to
 *   b, so decoding always restores the levels that were encoded.
 *
 * Pair run-length stream (encode / decode)
 *   A sequence of two-byte pairs, nothing else: no header, length or
 *   terminator (the byte count travels beside the stream).
 *     byte 0: repeat count r, 0..255     byte 1: level v, 0..255
 *   A pair stands for r + 1 values of level v. Longer runs are cut after every
 *   256 values. Worked example: levels 7 7 7 40 255 255 0 give
 *     02 07  00 28  01 FF  00 00
 *   Size: even, between 2 * ceil(n / 256) and 2n bytes for n values.
 *
 * Escaped run-length stream (encode2 / decode2), escape byte 0xFF
 *     v            (v != 0xFF)   one value of level v, 0..254
 *     FF FF                      one value of level 255
 *     FF c v       (c != 0xFF)   c values of level v (the encoder writes c
 *                                in 2..254; the decoder also accepts 0 and 1)
 *   Every run of two or more equal levels becomes a run token; runs are closed
 *   at 254 values. Worked example: levels 7 7 7 40 255 255 0 give
 *     FF 03 07  28  FF 02 FF  00
 *   Size: at most 2n bytes; exactly n when no two neighbours are equal and no
 *   level is 255.
 *
 * Delta stream (encode3 / decode3): the smallest of three forms, told apart
 * by the stream's length and first byte.
 *   even length   a pair run-length stream, exactly as encode writes it
 *   odd length    byte 0 is the form byte F; bit 2 of F (0x04) says that the
 *                 last byte is padding, to make the length odd, and is
 *                 ignored. F & ~0x04:
 *     00  packed deltas: byte 1 the first level L0, byte 2 the number of
 *         deltas in the last group modulo 64 (0..63), then groups of 64
 *         deltas to the end. A delta is a level minus the one before it,
 *         modulo 256, as a zigzag code (0, -1, 1, -2, 2 ... become 0, 1, 2,
 *         3, 4 ...; -128 becomes 255). A group is a width byte w (0..8), then
 *         w bit planes of 8 bytes: bit j of plane b (byte j / 8, bit j % 8)
 *         is bit b of the code of the group's delta j. Codes past the block's
 *         end are 0. The last group holds the byte-2 count of deltas (64 for
 *         0); the stream stands for 1 + the deltas' count values.
 *     01  levels: each byte after F one level.
 *     other values stand for no values.
 *   The encoder writes the pair stream unless a form of odd length is
 *   smaller, then packed deltas unless the levels are smaller. Worked
 *   example: levels 100 99 99 98 97 97 96 95 95 94 93 93 92 91 91 90 (15
 *   deltas of -1 or 0: codes 1 0 1 1 0 1 1 0 1 1 0 1 1 0 1, one group of
 *   width 1) give 13 bytes, where the pair stream takes 22 and the levels 17:
 *     04 64 0F  01 6D 5B 00 00 00 00 00 00  00
 *   Size: at most the pair stream's, so at most 2n bytes; about n / 64 plus
 *   n * w / 8 bytes for deltas of w bits, and at most n + 2 bytes.
 *
 * Decoders are safe on any input: they never read past `count` bytes, never
 * write more than DECODE_MAX_VALUES values or past the count they return, and
 * never fail in any other way.
 *
 * On x86-64 the coders run vector code (AVX2, or AVX-512 F and BW) where the
 * CPU has it, chosen once at the first call; every choice gives the same bytes
 * and values. The environment variable COMM_SIMD=portable|avx2|avx512, read at
 * that call, caps the choice.
 *
 * Buffer sizes: the caller owns every array and no function is told an
 * output array's size, so give each the room below (the macros work in C
 * array sizes too):
 *   encode, encode2, encode3
 *                    COMM_STREAM_MAX_BYTES(n) = 2n bytes for n values
 *   split            COMM_PACKET_COUNT(len) = ceil(len / 650) packets
 *   merge            the sum of the packets' lengths; for packets from
 *                    outside, COMM_MERGE_MAX_BYTES(count) = 650 per packet
 *   decode, decode2, decode3
 *                    n values for a stream that an encoder made from n values;
 *                    DECODE_MAX_VALUES (5700) values for bytes from anywhere
 *                    else. A few bytes can stand for thousands of values, so
 *                    a stream read from a file or the network needs room for
 *                    DECODE_MAX_VALUES whatever its length, or it may
 *                    overflow the array.
 *
 * Longest block: DECODE_MAX_VALUES (5700) values. The encoders take blocks up
 * to ENCODE_MAX_VALUES, but a decoder gives back only the first 5700 values of
 * a longer one, silently; cut longer data into blocks of at most 5700.
 *
 * Pointers: every pointer must point to an array of the size stated for it. A
 * null pointer is allowed only with a count <= 0; the call then returns 0 and
 * touches nothing.
 *
 * Overlap: no output array may overlap an input array of the same call. The
 * functions read their input while they write, so an in-place call gives
 * wrong results (decode2 into its own stream overwrites bytes it has yet to
 * read).
 *
 * C++ callers: comm/comm.hpp (C++20) wraps these functions with checked
 * buffer sizes and typed errors.
 *
 * This header is valid C (C99 or later) and C++.
 */
#ifndef COMM_COMM_H
#define COMM_COMM_H

#include <stdint.h> /* NOLINT(modernize-deprecated-headers): this header is C as well */

/* The library's version: MAJOR changes with the interface, MINOR with added
 * features, PATCH with fixes. COMM_VERSION is MAJOR * 10000 + MINOR * 100 + PATCH. */
#define COMM_VERSION_MAJOR 0
#define COMM_VERSION_MINOR 1
#define COMM_VERSION_PATCH 0
#define COMM_VERSION (COMM_VERSION_MAJOR * 10000 + COMM_VERSION_MINOR * 100 + COMM_VERSION_PATCH)

/* Marks the functions a shared build of the library exports; it hides all
 * else. Define COMM_API before including this header to override it. */
#ifndef COMM_API
#if defined(__GNUC__) || defined(__clang__)
#define COMM_API __attribute__((visibility("default")))
#else
#define COMM_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Payload bytes of one packet. */
#define PACKET_DATA_SIZE 650

/* Most values a decoder writes for one stream: the size of its staging area. */
#define DECODE_MAX_VALUES 5700

/* Largest block the encoders take: its stream (at most 2n bytes) must fit the
 * int32_t byte count they return. */
#define ENCODE_MAX_VALUES (INT32_MAX / 2)

/* Room an encoder needs for n values (1 <= n <= ENCODE_MAX_VALUES): the
 * longest stream of any method, 2n bytes. */
#define COMM_STREAM_MAX_BYTES(n) (2 * (n))

/* Packets split fills for a stream of len bytes (len >= 0): ceil(len / 650),
 * without overflow for any len. */
#define COMM_PACKET_COUNT(len) ((len) / PACKET_DATA_SIZE + ((len) % PACKET_DATA_SIZE != 0))

/* Most bytes merge writes for count packets, whatever their lengths say
 * (0 <= count <= INT32_MAX / PACKET_DATA_SIZE). */
#define COMM_MERGE_MAX_BYTES(count) (PACKET_DATA_SIZE * (count))

/* One fragment of an encoded stream. Packets lie in plain contiguous arrays. */
typedef struct packet {
    int32_t length;                 /* bytes of data in use, 1..650 from split */
    uint8_t data[PACKET_DATA_SIZE]; /* bytes 0..length-1 are the fragment */
    uint8_t last;                   /* 1 on the final packet of a stream, else 0 */
} packet;

/*
 * encode: pair run-length coding of n values.
 *   values: n floats, read only.   stream: room for 2n bytes, all of which
 *   the encoder may use: bytes past the returned length are not defined.
 * Returns the stream length in bytes: even, between 2*ceil(n/256) and 2n.
 * n <= 0 or n > ENCODE_MAX_VALUES: writes nothing and returns 0.
 * Needs no heap memory and a fixed amount of stack, whatever n is.
 */
COMM_API int32_t encode(const float* values, uint8_t* stream, int32_t n);

/*
 * decode: expands a pair run-length stream of `count` bytes into values.
 *   stream: count bytes, read only.   values: room for every value the
 *   stream stands for, DECODE_MAX_VALUES at most (n for a stream that encode
 *   made from n values; DECODE_MAX_VALUES for bytes from outside).
 * Returns how many values it wrote, 0..DECODE_MAX_VALUES.
 * Bad input: never reads past count bytes (a trailing half pair is ignored),
 * and stops writing after DECODE_MAX_VALUES values. count <= 0 returns 0.
 */
COMM_API int32_t decode(const uint8_t* stream, float* values, int32_t count);

/*
 * encode2: escaped run-length coding of n values.
 *   values: n floats, read only.   stream: room for 2n bytes, all of which
 *   the encoder may use: bytes past the returned length are not defined.
 * Returns the stream length in bytes: at most 2n, exactly n when no two
 * neighbouring levels are equal and none is 255.
 * n <= 0 or n > ENCODE_MAX_VALUES: writes nothing and returns 0.
 * Needs no heap memory and a fixed amount of stack, whatever n is.
 */
COMM_API int32_t encode2(const float* values, uint8_t* stream, int32_t n);

/*
 * decode2: expands an escaped run-length stream of `count` bytes into values.
 *   stream: count bytes, read only.   values: room for every value the
 *   stream stands for, DECODE_MAX_VALUES at most (n for a stream that encode2
 *   made from n values; DECODE_MAX_VALUES for bytes from outside).
 * Returns how many values it wrote, 0..DECODE_MAX_VALUES. Run counts 0 and 1,
 * which encode2 never writes, stand for 0 and 1 values.
 * Bad input: never reads past count bytes (a stream ending inside a token, such
 * as a lone trailing 0xFF or a run token missing its count or level, stops at
 * that token), and stops writing after DECODE_MAX_VALUES values. count <= 0
 * returns 0.
 */
COMM_API int32_t decode2(const uint8_t* stream, float* values, int32_t count);

/*
 * encode3: delta coding of n values, for signals whose neighbouring levels
 * are close (sensor readings, sound): the smallest of the pair stream, packed
 * deltas and the plain levels.
 *   values: n floats, read only.   stream: room for 2n bytes, all of which
 *   the encoder may use: bytes past the returned length are not defined.
 * Returns the stream length in bytes: at most encode's for the same values
 * (so at most 2n), and at most n + 2.
 * n <= 0 or n > ENCODE_MAX_VALUES: writes nothing and returns 0.
 * Needs no heap memory and a fixed amount of stack, whatever n is.
 */
COMM_API int32_t encode3(const float* values, uint8_t* stream, int32_t n);

/*
 * decode3: expands a delta stream of `count` bytes into values.
 *   stream: count bytes, read only.   values: room for every value the
 *   stream stands for, DECODE_MAX_VALUES at most (n for a stream that encode3
 *   made from n values; DECODE_MAX_VALUES for bytes from outside).
 * Returns how many values it wrote, 0..DECODE_MAX_VALUES.
 * Bad input: never reads past count bytes and stops writing after
 * DECODE_MAX_VALUES values. An even count is a pair stream, decoded as decode
 * does. An unknown form byte, or a packed form with its last-group count
 * above 63, stands for no values; a group whose width is above 8 or whose
 * planes run past the end ends the stream before it. count <= 0 returns 0.
 */
COMM_API int32_t decode3(const uint8_t* stream, float* values, int32_t count);

/*
 * split: cuts a stream of len bytes into packets.
 *   stream: len bytes, read only.   packets: room for ceil(len / 650) packets.
 * Every packet but the last holds 650 bytes; the last holds the remaining 1..650
 * and has `last` set. Writes no data byte past a packet's length and touches no
 * packet past the ones it returns.
 * Returns the number of packets filled; len <= 0 returns 0 and touches nothing.
 */
COMM_API int32_t split(const uint8_t* stream, packet* packets, int32_t len);

/*
 * merge: joins the used bytes of `count` packets, in array order, into stream.
 *   packets: count packets, read only.   stream: room for the sum of their
 *   lengths.
 * Returns the number of bytes written. Reads only `length` and `data`: a length
 * below 0 counts as 0 and one above 650 as 650, so no packet is read outside
 * its record. Stops before a packet that would take the total past INT32_MAX.
 * count <= 0 returns 0.
 */
COMM_API int32_t merge(const packet* packets, uint8_t* stream, int32_t count);

#ifdef __cplusplus
}
#endif

#endif /* COMM_COMM_H */
