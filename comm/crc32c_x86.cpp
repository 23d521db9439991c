// CRC-32C on SSE4.2's crc32 instruction: one stream, and three streams at
// once joined by carry-less multiplies. Compiled for SSE4.2 and PCLMULQDQ by a
// target region (not by a compiler flag), and run only where the CPU has them.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "comm/crc32c_paths.hpp"

#if COMM_X86_PATHS
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse4.2,pclmul"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse4.2,pclmul")
#endif

namespace comm::detail {
namespace {

std::uint64_t load64(const std::uint8_t* p)
{
    std::uint64_t word = 0;
    std::memcpy(&word, p, sizeof word);
    return word;
}

std::uint32_t sse42_update(std::uint32_t crc, const std::uint8_t* data, std::size_t size)
{
    std::uint64_t wide = crc;
    for (; size >= 8; size -= 8, data += 8) {
        wide = _mm_crc32_u64(wide, load64(data));
    }
    auto narrow = static_cast<std::uint32_t>(wide);
    for (; size > 0; --size, ++data) {
        narrow = _mm_crc32_u8(narrow, *data);
    }
    return narrow;
}

// The instruction's latency is three times its issue interval, so three
// independent streams keep it busy. Each round takes three equal stretches of
// `stride` bytes (a multiple of 8, at most kMaxStride) and joins their
// registers by shifting the earlier ones past the later stretches.
constexpr std::size_t kMaxStride = 2048;
// Below three stretches of this, joining costs more than it saves.
constexpr std::size_t kMinStride = 32;

// kShift[s]: x^(64 s - 33) mod P. A carry-less product of a register with it,
// reduced by the crc32 instruction (which multiplies by x^32, and the product
// brings one more x), is the register after 8 s zero bytes.
using ShiftTable = std::array<std::uint32_t, 2 * kMaxStride / 8 + 1>;

constexpr ShiftTable make_shift_table()
{
    // Each entry from the one before (a single multiply), which keeps the
    // compile-time evaluation short.
    ShiftTable table{};
    const std::uint32_t x64 = crc32c_x_power(64);
    table[1] = crc32c_x_power(64 - 33);
    for (std::size_t s = 2; s < table.size(); ++s) {
        table[s] = crc32c_multiply(table[s - 1], x64);
    }
    return table;
}

constexpr ShiftTable kShift = make_shift_table();

std::uint32_t shift(std::uint32_t crc, std::uint32_t factor)
{
    const __m128i product =
        _mm_clmulepi64_si128(_mm_cvtsi32_si128(static_cast<int>(crc)), _mm_cvtsi32_si128(static_cast<int>(factor)), 0);
    return static_cast<std::uint32_t>(_mm_crc32_u64(0, static_cast<std::uint64_t>(_mm_cvtsi128_si64(product))));
}

std::uint32_t sse42x3_update(std::uint32_t crc, const std::uint8_t* data, std::size_t size)
{
    while (size >= 3 * kMinStride) {
        std::size_t stride = size / 24 * 8;
        stride = stride < kMaxStride ? stride : kMaxStride;
        const std::uint8_t* const second = data + stride;
        const std::uint8_t* const third = second + stride;
        std::uint64_t a = crc;
        std::uint64_t b = 0;
        std::uint64_t c = 0;
        for (std::size_t i = 0; i < stride; i += 8) {
            a = _mm_crc32_u64(a, load64(data + i));
            b = _mm_crc32_u64(b, load64(second + i));
            c = _mm_crc32_u64(c, load64(third + i));
        }
        // Both shifts at once: the first register past two stretches, the
        // second past one.
        crc = shift(static_cast<std::uint32_t>(a), kShift[2 * stride / 8]) ^
              shift(static_cast<std::uint32_t>(b), kShift[stride / 8]) ^ static_cast<std::uint32_t>(c);
        data += 3 * stride;
        size -= 3 * stride;
    }
    return sse42_update(crc, data, size);
}

}  // namespace

const Crc32cPath crc32c_sse42 = {"sse42", {CpuFeature::sse42}, sse42_update};
const Crc32cPath crc32c_sse42x3 = {"sse42x3", {CpuFeature::sse42, CpuFeature::pclmul}, sse42x3_update};

}  // namespace comm::detail

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif  // COMM_X86_PATHS
