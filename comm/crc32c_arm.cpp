// CRC-32C on ARMv8's CRC32C instructions (an optional extension before
// ARMv8.1). Compiled for it by a target region, run only where the kernel
// reports it.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "comm/crc32c_paths.hpp"

#if COMM_ARM_CRC
#include <arm_acle.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("crc"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("+crc")
#endif

namespace comm::detail {
namespace {

std::uint32_t armv8_update(std::uint32_t crc, const std::uint8_t* data, std::size_t size)
{
    for (; size >= 8; size -= 8, data += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, data, sizeof word);
        crc = __crc32cd(crc, word);
    }
    for (; size > 0; --size, ++data) {
        crc = __crc32cb(crc, *data);
    }
    return crc;
}

}  // namespace

const Crc32cPath crc32c_armv8 = {"armv8", {CpuFeature::arm_crc32}, armv8_update};

}  // namespace comm::detail

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif  // COMM_ARM_CRC
