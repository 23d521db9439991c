// The stream formats' constants, named once for the library's coders and the
// C++ interface (comm.hpp, which installs this header beside it). Not an
// interface of its own. The formats themselves are described in Comm.h; the
// block capacity and the packet payload are Comm.h's COMM_DECODE_MAX_VALUES
// and COMM_PACKET_DATA_SIZE.
#ifndef COMM_FORMAT_CONSTANTS_HPP
#define COMM_FORMAT_CONSTANTS_HPP

#include <cstdint>

namespace comm::format {

// Pair stream: a token (length - 1, level) holds a run of up to 256 values.
inline constexpr std::int32_t kPairMaxRun = 256;

// Escaped stream: this byte starts a run token (FF length level) or, doubled,
// stands for a literal 255; a token holds a run of up to 254 values.
inline constexpr std::uint8_t kEscape = 0xFF;
inline constexpr std::int32_t kEscapedMaxRun = 254;

// Encoders quantise a block this many values at a time into a buffer on the
// stack, so they need no heap and a bounded stack whatever the block size.
inline constexpr std::int32_t kQuantiseChunk = 8192;

// Delta stream: the pair stream when its length is even; otherwise a form
// byte, then packed deltas (the first level, the last group's count of
// deltas modulo kDeltaGroup, then groups: a width byte and that many 8-byte
// bit planes of zigzag codes) or the levels as they are.
inline constexpr std::int32_t kDeltaGroup = 64;    // deltas under one width byte
inline constexpr std::uint8_t kDeltaMaxWidth = 8;  // a code is one byte
inline constexpr std::uint8_t kPackedForm = 0x00;  // form byte: packed deltas
inline constexpr std::uint8_t kLevelsForm = 0x01;  // form byte: the levels
inline constexpr std::uint8_t kPaddedFlag = 0x04;  // in the form byte: the last byte is padding
inline constexpr std::int32_t kPackedHeader = 3;   // form, first level, last group's count

// Neighbour difference modulo 256 -> small code: 0, -1, 1, -2, 2 ... -> 0, 1, 2, 3, 4 ...
constexpr std::uint8_t zigzag(std::uint8_t level, std::uint8_t before)
{
    const auto d = static_cast<std::uint8_t>(level - before);
    return static_cast<std::uint8_t>((d << 1) ^ ((d & 0x80) != 0 ? 0xFF : 0x00));
}

// The inverse: the level after `before` for a code.
constexpr std::uint8_t unzigzag(std::uint8_t code, std::uint8_t before)
{
    const auto d = static_cast<std::uint8_t>((code >> 1) ^ ((code & 1) != 0 ? 0xFF : 0x00));
    return static_cast<std::uint8_t>(before + d);
}

}  // namespace comm::format

#endif  // COMM_FORMAT_CONSTANTS_HPP
