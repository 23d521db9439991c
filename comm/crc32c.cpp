// CRC-32C: the portable implementation, the choice of implementation, and
// comm_crc32c (wire.h).
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "comm/cpu_features.hpp"
#include "comm/crc32c_paths.hpp"
#include "comm/wire.h"

#if COMM_ARM_CRC
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace comm::detail {
namespace {

// table[k][b]: the register contribution of byte b followed by k zero bytes.
using SliceTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr SliceTables make_slice_tables()
{
    SliceTables tables{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t crc = b;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1U) != 0 ? (crc >> 1) ^ kCrc32cPolynomial : crc >> 1;
        }
        tables[0][b] = crc;
    }
    for (std::size_t k = 1; k < tables.size(); ++k) {
        for (std::size_t b = 0; b < 256; ++b) {
            const std::uint32_t previous = tables[k - 1][b];
            tables[k][b] = (previous >> 8) ^ tables[0][previous & 0xFFU];
        }
    }
    return tables;
}

constexpr SliceTables kSlices = make_slice_tables();

std::uint32_t portable_update(std::uint32_t crc, const std::uint8_t* data, std::size_t size)
{
    for (; size >= 8; size -= 8, data += 8) {
        // Little-endian word order whatever the CPU's.
        const std::uint32_t low =
            crc ^ (data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24);
        crc = kSlices[7][low & 0xFFU] ^ kSlices[6][(low >> 8) & 0xFFU] ^ kSlices[5][(low >> 16) & 0xFFU] ^
              kSlices[4][low >> 24] ^ kSlices[3][data[4]] ^ kSlices[2][data[5]] ^ kSlices[1][data[6]] ^
              kSlices[0][data[7]];
    }
    for (; size > 0; --size, ++data) {
        crc = (crc >> 8) ^ kSlices[0][(crc ^ *data) & 0xFFU];
    }
    return crc;
}

}  // namespace

const Crc32cPath crc32c_portable = {"portable", {}, portable_update};

namespace {

// The features the CRC choice tests: the coder paths' detection, and on
// AArch64 the kernel's word on the CRC32 instructions.
CpuFeatures crc_features()
{
    CpuFeatures features = detect_cpu_features();
#if COMM_ARM_CRC
    if ((getauxval(AT_HWCAP) & HWCAP_CRC32) != 0) {
        features.add(CpuFeature::arm_crc32);
    }
#endif
    return features;
}

// An atomic, not a function-local static, so C programs need no C++ runtime;
// threads racing at the first call work out the same value. 0: not yet detected.
constinit std::atomic<std::size_t> g_runnable{0};

}  // namespace

std::span<const Crc32cPath* const> runnable_crc32c_for(CpuFeatures features)
{
    std::size_t runnable = 0;
    for (const Crc32cPath* path : kBuiltCrc32c) {
        if (!features.covers(path->needs)) {
            break;
        }
        ++runnable;
    }
    return {std::begin(kBuiltCrc32c), runnable};
}

std::span<const Crc32cPath* const> runnable_crc32c()
{
    std::size_t runnable = g_runnable.load(std::memory_order_relaxed);
    if (runnable == 0) {
        runnable = runnable_crc32c_for(crc_features()).size();
        g_runnable.store(runnable, std::memory_order_relaxed);
    }
    return {std::begin(kBuiltCrc32c), runnable};
}

const Crc32cPath& active_crc32c()
{
    return *runnable_crc32c().back();
}

}  // namespace comm::detail

extern "C" uint32_t comm_crc32c(uint32_t crc, const uint8_t* data, size_t size)
{
    if (size == 0) {
        return crc;
    }
    return ~comm::detail::active_crc32c().update(~crc, data, size);
}
