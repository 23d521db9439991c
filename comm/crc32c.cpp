// CRC-32C: the portable implementation, the choice of implementation, and
// comm_crc32c (wire.h).
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "comm/crc32c_paths.hpp"
#include "comm/wire.h"

#if COMM_X86_PATHS
#include <cpuid.h>
#endif
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

const Crc32cPath crc32c_portable = {"portable", portable_update};

namespace {

#if COMM_X86_PATHS
struct X86Crc {
    bool sse42 = false;
    bool pclmul = false;
};

X86Crc detect_x86()
{
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return {};
    }
    return {(ecx & bit_SSE4_2) != 0, (ecx & bit_SSE4_2) != 0 && (ecx & bit_PCLMUL) != 0};
}
#endif

// Every implementation built, slowest first. A CPU runs a prefix of it.
#if COMM_X86_PATHS
constexpr std::array<const Crc32cPath*, 3> kBuilt = {&crc32c_portable, &crc32c_sse42, &crc32c_sse42x3};
#elif COMM_ARM_CRC
constexpr std::array<const Crc32cPath*, 2> kBuilt = {&crc32c_portable, &crc32c_armv8};
#else
constexpr std::array<const Crc32cPath*, 1> kBuilt = {&crc32c_portable};
#endif

// How many of kBuilt this CPU runs.
std::size_t detect_runnable()
{
#if COMM_X86_PATHS
    const X86Crc cpu = detect_x86();
    return cpu.pclmul ? 3 : (cpu.sse42 ? 2 : 1);
#elif COMM_ARM_CRC
    return (getauxval(AT_HWCAP) & HWCAP_CRC32) != 0 ? 2 : 1;
#else
    return 1;
#endif
}

// An atomic, not a function-local static, so C programs need no C++ runtime;
// threads racing at the first call work out the same value.
constinit std::atomic<std::size_t> g_runnable{0};

}  // namespace

std::span<const Crc32cPath* const> runnable_crc32c()
{
    std::size_t runnable = g_runnable.load(std::memory_order_relaxed);
    if (runnable == 0) {
        runnable = detect_runnable();
        g_runnable.store(runnable, std::memory_order_relaxed);
    }
    return {kBuilt.data(), runnable};
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
