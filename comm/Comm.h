/*
 * comm: a codec for blocks of normalised samples (floats in [0, 1]).
 *
 * Each value is quantised to an 8-bit sample level, the levels are coded with
 * one of three methods (two run-length methods, and a delta method for noisy
 * signals such as sensor readings and sound) into an encoded stream, and a stream is cut
 * into packets of at most COMM_PACKET_DATA_SIZE payload bytes for transmission.
 * Every step has its inverse. All functions work on arrays the caller owns,
 * keep no state between calls and are safe to call from many threads at once.
 *
 * The sample levels, the three stream formats and the packet are described
 * byte for byte, with worked examples, in doc/stream_format.md.
 *
 * Decoders are safe on any input: they never read past `count` bytes, never
 * write more than COMM_DECODE_MAX_VALUES values or past the count they return,
 * and never fail in any other way.
 *
 * On x86-64 the coders run vector code (AVX2; AVX-512 F and BW; or those with
 * AVX-512 VBMI and VBMI2) where the CPU has it, chosen once at the first call;
 * every choice gives the same bytes and values. The environment variable
 * COMM_SIMD=portable|avx2|avx2pext|avx512|avx512vbmi2, read at that call, caps the
 * choice.
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
 *                    COMM_DECODE_MAX_VALUES (5700) values for bytes from
 *                    anywhere else. A few bytes can stand for thousands of
 *                    values, so a stream read from a file or the network
 *                    needs room for COMM_DECODE_MAX_VALUES whatever its
 *                    length, or it may overflow the array.
 *
 * Longest block: COMM_DECODE_MAX_VALUES (5700) values. The encoders take
 * blocks up to COMM_ENCODE_MAX_VALUES, but a decoder gives back only the first
 * 5700 values of a longer one, silently; cut longer data into blocks of at
 * most 5700.
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
 * Names: every public name starts with comm_ or COMM_. Each function and the
 * packet type also have a short name (encode, decode, encode2, decode2, encode3,
 * decode3, split, merge, packet; PACKET_DATA_SIZE, DECODE_MAX_VALUES, ENCODE_MAX_VALUES), the
 * same function or type under another name. A program whose own names clash
 * with them defines COMM_NO_SHORT_NAMES before including this header, and links
 * a library built with -DCOMM_SHORT_NAMES=OFF, which leaves them out.
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
#define COMM_PACKET_DATA_SIZE 650

/* Most values a decoder writes for one stream: the size of its staging area. */
#define COMM_DECODE_MAX_VALUES 5700

/* Largest block the encoders take: its stream (at most 2n bytes) must fit the
 * int32_t byte count they return. */
#define COMM_ENCODE_MAX_VALUES (INT32_MAX / 2)

/* Room an encoder needs for n values (1 <= n <= COMM_ENCODE_MAX_VALUES): the
 * longest stream of any method, 2n bytes. */
#define COMM_STREAM_MAX_BYTES(n) (2 * (n))

/* Packets split fills for a stream of len bytes (len >= 0): ceil(len / 650),
 * without overflow for any len. */
#define COMM_PACKET_COUNT(len) ((len) / COMM_PACKET_DATA_SIZE + ((len) % COMM_PACKET_DATA_SIZE != 0))

/* Most bytes merge writes for count packets, whatever their lengths say
 * (0 <= count <= INT32_MAX / COMM_PACKET_DATA_SIZE). */
#define COMM_MERGE_MAX_BYTES(count) (COMM_PACKET_DATA_SIZE * (count))

/* One fragment of an encoded stream. Packets lie in plain contiguous arrays. */
typedef struct comm_packet {
    int32_t length;                      /* bytes of data in use, 1..650 from split */
    uint8_t data[COMM_PACKET_DATA_SIZE]; /* bytes 0..length-1 are the fragment */
    uint8_t last;                        /* 1 on the final packet of a stream, else 0 */
} comm_packet;

/*
 * comm_encode: pair run-length coding of n values.
 *   values: n floats, read only.   stream: room for 2n bytes, all of which
 *   the encoder may use: bytes past the returned length are not defined.
 * Returns the stream length in bytes: even, between 2*ceil(n/256) and 2n.
 * n <= 0 or n > COMM_ENCODE_MAX_VALUES: writes nothing and returns 0.
 * Needs no heap memory and a fixed amount of stack, whatever n is.
 */
COMM_API int32_t comm_encode(const float* values, uint8_t* stream, int32_t n);

/*
 * comm_decode: expands a pair run-length stream of `count` bytes into values.
 *   stream: count bytes, read only.   values: room for every value the
 *   stream stands for, COMM_DECODE_MAX_VALUES at most (n for a stream that
 *   comm_encode made from n values; COMM_DECODE_MAX_VALUES for bytes from outside).
 * Returns how many values it wrote, 0..COMM_DECODE_MAX_VALUES.
 * Bad input: never reads past count bytes (a trailing half pair is ignored),
 * and stops writing after COMM_DECODE_MAX_VALUES values. count <= 0 returns 0.
 */
COMM_API int32_t comm_decode(const uint8_t* stream, float* values, int32_t count);

/*
 * comm_encode2: escaped run-length coding of n values.
 *   values: n floats, read only.   stream: room for 2n bytes, all of which
 *   the encoder may use: bytes past the returned length are not defined.
 * Returns the stream length in bytes: at most 2n, exactly n when no two
 * neighbouring levels are equal and none is 255.
 * n <= 0 or n > COMM_ENCODE_MAX_VALUES: writes nothing and returns 0.
 * Needs no heap memory and a fixed amount of stack, whatever n is.
 */
COMM_API int32_t comm_encode2(const float* values, uint8_t* stream, int32_t n);

/*
 * comm_decode2: expands an escaped run-length stream of `count` bytes into values.
 *   stream: count bytes, read only.   values: room for every value the
 *   stream stands for, COMM_DECODE_MAX_VALUES at most (n for a stream that
 *   comm_encode2 made from n values; COMM_DECODE_MAX_VALUES for bytes from outside).
 * Returns how many values it wrote, 0..COMM_DECODE_MAX_VALUES. Run counts 0 and 1,
 * which comm_encode2 never writes, stand for 0 and 1 values.
 * Bad input: never reads past count bytes (a stream ending inside a token, such
 * as a lone trailing 0xFF or a run token missing its count or level, stops at
 * that token), and stops writing after COMM_DECODE_MAX_VALUES values. count <= 0
 * returns 0.
 */
COMM_API int32_t comm_decode2(const uint8_t* stream, float* values, int32_t count);

/*
 * comm_encode3: delta coding of n values, for signals whose neighbouring
 * levels are close: the smallest of three forms, the pair stream of
 * comm_encode (even length), packed deltas or the plain levels (odd length,
 * after a form byte).
 *   values: n floats, read only.   stream: room for 2n bytes, all of which
 *   the encoder may use: bytes past the returned length are not defined.
 * Returns the stream length in bytes: at most comm_encode's for the same
 * values (so at most 2n), and at most n + 2.
 * n <= 0 or n > COMM_ENCODE_MAX_VALUES: writes nothing and returns 0.
 * Needs no heap memory and a fixed amount of stack, whatever n is.
 */
COMM_API int32_t comm_encode3(const float* values, uint8_t* stream, int32_t n);

/*
 * comm_decode3: expands a delta stream of `count` bytes into values.
 *   stream: count bytes, read only.   values: room for every value the
 *   stream stands for, COMM_DECODE_MAX_VALUES at most (n for a stream that
 *   comm_encode3 made from n values; COMM_DECODE_MAX_VALUES for bytes from outside).
 * Returns how many values it wrote, 0..COMM_DECODE_MAX_VALUES. An even count
 * is a pair stream, decoded as comm_decode does.
 * Bad input: never reads past count bytes, and stops writing after
 * COMM_DECODE_MAX_VALUES values. An unknown form byte, or packed deltas whose
 * last-group count is above 63, stand for no values; a group whose width is
 * above 8 or whose bit planes run past the end ends the stream before it.
 * count <= 0 returns 0.
 */
COMM_API int32_t comm_decode3(const uint8_t* stream, float* values, int32_t count);

/*
 * comm_split: cuts a stream of len bytes into packets.
 *   stream: len bytes, read only.   packets: room for ceil(len / 650) packets.
 * Every packet but the last holds 650 bytes; the last holds the remaining 1..650
 * and has `last` set. Writes no data byte past a packet's length and touches no
 * packet past the ones it returns.
 * Returns the number of packets filled; len <= 0 returns 0 and touches nothing.
 */
COMM_API int32_t comm_split(const uint8_t* stream, comm_packet* packets, int32_t len);

/*
 * comm_merge: joins the used bytes of `count` packets, in array order, into stream.
 *   packets: count packets, read only.   stream: room for the sum of their
 *   lengths.
 * Returns the number of bytes written. Reads only `length` and `data`: a length
 * below 0 counts as 0 and one above 650 as 650, so no packet is read outside
 * its record. Stops before a packet that would take the total past INT32_MAX.
 * count <= 0 returns 0.
 */
COMM_API int32_t comm_merge(const comm_packet* packets, uint8_t* stream, int32_t count);

/*
 * The short names: the same functions, type and constants. A shared library
 * exports both sets; a static library keeps the short functions in their own
 * object, which a program that calls only comm_ names never pulls in.
 */
#ifndef COMM_NO_SHORT_NAMES
#define PACKET_DATA_SIZE COMM_PACKET_DATA_SIZE
#define DECODE_MAX_VALUES COMM_DECODE_MAX_VALUES
#define ENCODE_MAX_VALUES COMM_ENCODE_MAX_VALUES
typedef comm_packet packet;
COMM_API int32_t encode(const float* values, uint8_t* stream, int32_t n);
COMM_API int32_t decode(const uint8_t* stream, float* values, int32_t count);
COMM_API int32_t encode2(const float* values, uint8_t* stream, int32_t n);
COMM_API int32_t decode2(const uint8_t* stream, float* values, int32_t count);
COMM_API int32_t encode3(const float* values, uint8_t* stream, int32_t n);
COMM_API int32_t decode3(const uint8_t* stream, float* values, int32_t count);
COMM_API int32_t split(const uint8_t* stream, packet* packets, int32_t len);
COMM_API int32_t merge(const packet* packets, uint8_t* stream, int32_t count);
#endif

#ifdef __cplusplus
}
#endif

#endif /* COMM_COMM_H */
