/* The public header used from C: the worked example through both directions. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "comm/Comm.h"

int main(void)
{
    /* Levels 7 7 7 40 255 255 0: (b + 0.5) / 255 truncates to b. */
    const float values[7] = {7.5F / 255, 7.5F / 255, 7.5F / 255, 40.5F / 255, 1.0F, 1.0F, 0.0F};
    const uint8_t expected[8] = {0x02, 0x07, 0x00, 0x28, 0x01, 0xFF, 0x00, 0x00};
    uint8_t stream[14];
    float decoded[DECODE_MAX_VALUES];
    packet packets[1];
    uint8_t merged[8];
    int failed = 0;

    failed |= encode(values, stream, 7) != 8 || memcmp(stream, expected, 8) != 0;
    failed |= split(stream, packets, 8) != 1 || packets[0].length != 8 || packets[0].last != 1;
    failed |= merge(packets, merged, 1) != 8 || memcmp(merged, expected, 8) != 0;
    failed |= decode(merged, decoded, 8) != 7 || decoded[4] != 1.0F || decoded[6] != 0.0F;
    failed |= offsetof(packet, length) != 0 || offsetof(packet, data) != sizeof(int32_t) ||
              offsetof(packet, last) != sizeof(int32_t) + PACKET_DATA_SIZE;
    if (failed) {
        fputs("the C interface did not round-trip the worked example\n", stderr);
    }
    return failed;
}
