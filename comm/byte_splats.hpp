// 64-byte vectors of one byte value each, for vector code that would rather
// load a splat than build it.
#ifndef COMM_BYTE_SPLATS_HPP
#define COMM_BYTE_SPLATS_HPP

#include <cstdint>

namespace comm::detail {

inline constexpr int kByteSplatValues = 17;

struct ByteSplats {
    alignas(64) std::uint8_t of[kByteSplatValues][64];  // of[v]: 64 bytes v
    alignas(64) std::uint8_t escape[64];                // 64 bytes FF
    // The pair decoder's tests on a window's count bytes: each 16-bit lane
    // (a pair) 00FF, 00F0 and 00C0, and each byte FC, F8 and F0.
    alignas(64) std::uint8_t pair_count[64];
    alignas(64) std::uint8_t pair_count_from16[64];
    alignas(64) std::uint8_t pair_count_from64[64];
    alignas(64) std::uint8_t count_from4[64];
    alignas(64) std::uint8_t count_from8[64];
    alignas(64) std::uint8_t count_from16[64];
};

// Defined in byte_splats.cpp, where the coders cannot see its contents: a
// compiler that sees them makes each load a broadcast again.
extern const ByteSplats kByteSplats;

}  // namespace comm::detail

#endif  // COMM_BYTE_SPLATS_HPP
