/* Part of a project that builds comm as a subproject; its own asserts must
 * stay on when it sets no build type. */
#include <assert.h>
#include <stdio.h>

#include "comm/Comm.h"

int main(void)
{
#ifdef NDEBUG
    fputs("NDEBUG is defined: the parent project's asserts are gone\n", stderr);
    return 1;
#else
    const float values[3] = {0.0F, 0.5F, 1.0F};
    uint8_t stream[COMM_STREAM_MAX_BYTES(3)];
    const int32_t bytes = encode(values, stream, 3);
    assert(bytes == 6);
    printf("subproject: %d values -> %d bytes, asserts on\n", 3, bytes);
    return 0;
#endif
}
