/* A C program with names of its own that the header's short names would take:
 * with COMM_NO_SHORT_NAMES the header declares none of them (each definition
 * below fails to compile otherwise), and the program links the static library
 * and runs the worked example through the comm_ names. */
#ifndef COMM_NO_SHORT_NAMES
#define COMM_NO_SHORT_NAMES
#endif
#include <string.h>

#include "comm/Comm.h"

#if defined(PACKET_DATA_SIZE) || defined(DECODE_MAX_VALUES) || defined(ENCODE_MAX_VALUES)
#error "a short constant is defined under COMM_NO_SHORT_NAMES"
#endif

typedef struct packet {
    const char* text;
} packet;

int encode(packet p);
int decode(packet p);
int encode2(packet p);
int decode2(packet p);
int merge(packet p);
int split(packet p);
int encode(packet p)
{
    return (int)strlen(p.text);
}
int decode(packet p)
{
    return encode(p);
}
int encode2(packet p)
{
    return encode(p);
}
int decode2(packet p)
{
    return encode(p);
}
int merge(packet p)
{
    return encode(p);
}
int split(packet p)
{
    return encode(p) + decode(p) + encode2(p) + decode2(p) + merge(p);
}

int main(void)
{
    const float values[7] = {7.5F / 255, 7.5F / 255, 7.5F / 255, 40.5F / 255, 1.0F, 1.0F, 0.0F};
    const uint8_t expected[8] = {0xFF, 0x03, 0x07, 0x28, 0xFF, 0x02, 0xFF, 0x00};
    uint8_t stream[COMM_STREAM_MAX_BYTES(7)];
    comm_packet packets[COMM_PACKET_COUNT(8)];
    uint8_t merged[COMM_MERGE_MAX_BYTES(1)];
    float decoded[COMM_DECODE_MAX_VALUES];
    const packet own = {"own"};
    int failed = split(own) != 15;
    failed |= comm_encode2(values, stream, 7) != 8 || memcmp(stream, expected, 8) != 0;
    failed |= comm_split(stream, packets, 8) != 1 || comm_merge(packets, merged, 1) != 8;
    failed |= comm_decode2(merged, decoded, 8) != 7 || decoded[4] != 1.0F;
    failed |= comm_encode(values, stream, 7) != 8 || comm_decode(stream, decoded, 8) != 7;
    return failed;
}
