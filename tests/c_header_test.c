/* The public header used from C: the worked example through both directions. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "comm/Comm.h"

/* The size macros are constant expressions (this fails to compile otherwise),
 * exact at the edges, and COMM_PACKET_COUNT does not overflow for the longest
 * stream. */
typedef char comm_sizes_hold[COMM_STREAM_MAX_BYTES(7) == 14 && COMM_PACKET_COUNT(0) == 0 &&
                                     COMM_PACKET_COUNT(650) == 1 && COMM_PACKET_COUNT(651) == 2 &&
                                     COMM_PACKET_COUNT(INT32_MAX) == INT32_MAX / PACKET_DATA_SIZE + 1 &&
                                     COMM_MERGE_MAX_BYTES(2) == 1300
                                 ? 1
                                 : -1];

int main(void)
{
    /* Levels 7 7 7 40 255 255 0: (b + 0.5) / 255 truncates to b. */
    const float values[7] = {7.5F / 255, 7.5F / 255, 7.5F / 255, 40.5F / 255, 1.0F, 1.0F, 0.0F};
    const uint8_t expected[8] = {0x02, 0x07, 0x00, 0x28, 0x01, 0xFF, 0x00, 0x00};
    uint8_t stream[COMM_STREAM_MAX_BYTES(7)];
    float decoded[DECODE_MAX_VALUES];
    packet packets[COMM_PACKET_COUNT(8)];
    uint8_t merged[COMM_MERGE_MAX_BYTES(1)];
    int failed = 0;

    failed |= encode(values, stream, 7) != 8 || memcmp(stream, expected, 8) != 0;
    failed |= split(stream, packets, 8) != 1 || packets[0].length != 8 || packets[0].last != 1;
    failed |= merge(packets, merged, 1) != 8 || memcmp(merged, expected, 8) != 0;
    failed |= decode(merged, decoded, 8) != 7 || decoded[4] != 1.0F || decoded[6] != 0.0F;
    failed |= offsetof(packet, length) != 0 || offsetof(packet, data) != sizeof(int32_t) ||
              offsetof(packet, last) != sizeof(int32_t) + PACKET_DATA_SIZE;
    /* Null pointers with counts of zero: nothing is touched. */
    failed |= encode(NULL, NULL, 0) != 0 || encode2(NULL, NULL, 0) != 0 || decode(NULL, NULL, 0) != 0 ||
              decode2(NULL, NULL, 0) != 0 || encode3(NULL, NULL, 0) != 0 || decode3(NULL, NULL, 0) != 0 ||
              split(NULL, NULL, 0) != 0 || merge(NULL, NULL, 0) != 0;
    if (failed) {
        fputs("the C interface did not round-trip the worked example\n", stderr);
    }
    return failed;
}
