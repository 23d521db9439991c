/* Wire packets from C, linked with the C compiler alone (no C++ runtime):
 * a block packed, its packet parsed back and damaged, and the end packet. */
#include <stdio.h>
#include <string.h>

#include "comm/wire.h"

/* The sizes are constant expressions (this fails to compile otherwise). */
typedef char comm_wire_sizes_hold[COMM_WIRE_BLOCK_MAX_BYTES(COMM_DECODE_MAX_VALUES) == 12120 &&
                                          COMM_WIRE_BLOCK_MAX_PACKETS == 18 && COMM_WIRE_PACKET_MAX_SIZE == 690 &&
                                          COMM_WIRE_END_SIZE == 48
                                      ? 1
                                      : -1];

int main(void)
{
    const float values[7] = {7.5F / 255, 7.5F / 255, 7.5F / 255, 40.5F / 255, 1.0F, 1.0F, 0.0F};
    const uint8_t stream[8] = {0x02, 0x07, 0x00, 0x28, 0x01, 0xFF, 0x00, 0x00};
    uint8_t out[COMM_WIRE_BLOCK_MAX_BYTES(7)];
    uint8_t end[COMM_WIRE_END_SIZE];
    comm_wire_sender sender;
    comm_wire_header header;
    int failed = 0;

    failed |= comm_crc32c(0, (const uint8_t*)"123456789", 9) != 0xE3069283U;
    comm_wire_sender_init(&sender, 0x0BADCAFE, 0);
    failed |= comm_wire_send_block(&sender, COMM_WIRE_PAIRS, values, 7, out, (int32_t)sizeof out) != 48;
    failed |= comm_wire_parse(out, 48, &header) != 48 || header.values != 7 || header.count != 1 ||
              memcmp(out + COMM_WIRE_HEADER_SIZE, stream, 8) != 0 || header.block_crc != comm_crc32c(0, stream, 8);
    out[45] ^= 1;
    failed |= comm_wire_parse(out, 48, NULL) != COMM_WIRE_BAD_CRC;
    failed |= comm_wire_send_end(&sender, end, (int32_t)sizeof end) != COMM_WIRE_END_SIZE;
    failed |= comm_wire_parse(end, COMM_WIRE_END_SIZE, &header) != COMM_WIRE_END_SIZE || header.blocks != 1 ||
              header.position != 7 || header.sequence != 1;
    if (failed) {
        fputs("the C wire interface did not build and check its packets\n", stderr);
    }
    return failed;
}
