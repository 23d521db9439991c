// libFuzzer target: decode (pair run-length stream) on any bytes.
#include <cstddef>
#include <cstdint>

#include "comm/Comm.h"
#include "fuzz/decode_harness.hpp"
#include "reference/reference.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return comm_fuzz::run_decode_target(data, size, {decode, encode, reference::decode_pairs, reference::encode_pairs});
}
