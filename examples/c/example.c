/* comm from C: a block through the escaped run-length method, packets and
 * back, with every buffer sized by the header's macros. Build against an
 * installed comm with
 *   cc -std=c99 example.c $(pkg-config --cflags --libs comm) -o example
 */
#include <stdint.h>
#include <stdio.h>

#include <comm/Comm.h>

#define BLOCK 1900

int main(void)
{
    static float values[BLOCK];
    static uint8_t stream[COMM_STREAM_MAX_BYTES(BLOCK)];
    static comm_packet packets[COMM_PACKET_COUNT(COMM_STREAM_MAX_BYTES(BLOCK))];
    static uint8_t received[COMM_STREAM_MAX_BYTES(BLOCK)];
    /* Bytes from outside can stand for up to COMM_DECODE_MAX_VALUES values,
     * whatever their length: that is the room to decode them into. */
    static float decoded[COMM_DECODE_MAX_VALUES];

    for (int i = 0; i < BLOCK; ++i) {
        values[i] = (float)(i / 100) / 18.0F; /* 19 plateaus from 0 to 1 */
    }
    const int32_t bytes = comm_encode2(values, stream, BLOCK);
    const int32_t count = comm_split(stream, packets, bytes);
    /* ... the packets travel ... */
    const int32_t merged = comm_merge(packets, received, count);
    const int32_t n = comm_decode2(received, decoded, merged);

    printf("comm %d.%d.%d: %d values -> %d bytes in %d packets -> %d values\n", COMM_VERSION_MAJOR, COMM_VERSION_MINOR,
           COMM_VERSION_PATCH, BLOCK, bytes, count, n);
    if (n != BLOCK) {
        return 1;
    }
    /* A value x has the level trunc(x * 255), in double precision. */
    for (int i = 0; i < BLOCK; ++i) {
        if ((int)((double)decoded[i] * 255.0) != (int)((double)values[i] * 255.0)) {
            printf("value %d decoded to another level\n", i);
            return 1;
        }
    }
    return 0;
}
