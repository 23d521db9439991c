// The CRC-32C implementations built into the library and the choice among
// them. Internal to the library and its tests, fuzzers and benchmark:
// comm_crc32c (wire.h) always runs the active one.
#ifndef COMM_CRC32C_PATHS_HPP
#define COMM_CRC32C_PATHS_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "comm/codec_paths.hpp"
#include "comm/cpu_features.hpp"

#if !defined(COMM_NO_DISPATCH) && defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__)) && \
    defined(__linux__)
#define COMM_ARM_CRC 1
#else
#define COMM_ARM_CRC 0
#endif

namespace comm::detail {

// The reflected CRC-32C polynomial.
inline constexpr std::uint32_t kCrc32cPolynomial = 0x82F63B78U;

struct Crc32cPath {
    const char* name = nullptr;
    CpuFeatures needs;  // what the CPU must offer to run it
    // The CRC register after `size` more bytes, from register `crc`: no
    // inversion on the way in or out (comm_crc32c does that).
    std::uint32_t (*update)(std::uint32_t crc, const std::uint8_t* data, std::size_t size) = nullptr;
};

// Slicing by 8 over tables built at compile time; every CPU.
extern const Crc32cPath crc32c_portable;
#if COMM_X86_PATHS
// SSE4.2's crc32 instruction, one stream.
extern const Crc32cPath crc32c_sse42;
// Three streams of the crc32 instruction at once, joined with carry-less
// multiplies (SSE4.2 and PCLMULQDQ).
extern const Crc32cPath crc32c_sse42x3;
#endif
#if COMM_ARM_CRC
// ARMv8's CRC32C instructions.
extern const Crc32cPath crc32c_armv8;
#endif

// Every implementation built, slowest first; each needs what the one before
// it needs and more, so a CPU runs a prefix of the table.
inline constexpr const Crc32cPath* kBuiltCrc32c[] = {
    &crc32c_portable,
#if COMM_X86_PATHS
    &crc32c_sse42,
    &crc32c_sse42x3,
#endif
#if COMM_ARM_CRC
    &crc32c_armv8,
#endif
};

// The implementations this CPU runs, slowest first. Detected once, by the
// same detection as the coder paths (and, on AArch64, the kernel's hardware
// capabilities).
std::span<const Crc32cPath* const> runnable_crc32c();

// The implementations a CPU with `features` runs.
std::span<const Crc32cPath* const> runnable_crc32c_for(CpuFeatures features);

// The fastest runnable implementation: what comm_crc32c uses.
const Crc32cPath& active_crc32c();

// The register for `crc` multiplied by x^(8 * bytes) modulo the polynomial:
// the register after `bytes` zero bytes. Joins CRCs of pieces: the register
// over A then B is shift(register over A, |B|) ^ (register over B from 0).
constexpr std::uint32_t crc32c_multiply(std::uint32_t a, std::uint32_t b)
{
    // Reflected: bit 31 is x^0. Shift-and-add, reducing as a moves up.
    std::uint32_t product = 0;
    for (int i = 0; i < 32; ++i) {
        if ((b & (0x80000000U >> i)) != 0) {
            product ^= a;
        }
        a = (a & 1U) != 0 ? (a >> 1) ^ kCrc32cPolynomial : a >> 1;
    }
    return product;
}

// x^n modulo the polynomial, reflected.
constexpr std::uint32_t crc32c_x_power(std::uint64_t n)
{
    std::uint32_t result = 0x80000000U;  // 1
    std::uint32_t square = 0x40000000U;  // x
    for (; n != 0; n >>= 1) {
        if ((n & 1U) != 0) {
            result = crc32c_multiply(result, square);
        }
        square = crc32c_multiply(square, square);
    }
    return result;
}

constexpr std::uint32_t crc32c_shift(std::uint32_t crc, std::uint64_t bytes)
{
    return crc32c_multiply(crc, crc32c_x_power(8 * bytes));
}

}  // namespace comm::detail

#endif  // COMM_CRC32C_PATHS_HPP
