// The delta stream's constants (encode3 / decode3; the format is described in
// Comm.h), shared by every path and the tests. Constants only, so the vector
// paths' files may include it before their target regions open.
#ifndef COMM_DELTA_FORMAT_HPP
#define COMM_DELTA_FORMAT_HPP

#include <cstdint>

namespace comm::delta {

// Deltas packed together under one width byte.
inline constexpr std::int32_t kGroup = 64;

// The widest group: a zigzag delta is one byte.
inline constexpr std::uint8_t kMaxWidth = 8;

// The form byte that starts a stream of odd length.
inline constexpr std::uint8_t kPackedForm = 0x00;  // first level, last group's size, groups
inline constexpr std::uint8_t kLevelsForm = 0x01;  // the levels as they are
inline constexpr std::uint8_t kPaddedFlag = 0x04;  // the stream's last byte is padding

// Bytes before the first group of the packed form: form, first level, the
// number of deltas in the last group modulo kGroup.
inline constexpr std::int32_t kPackedHeader = 3;

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

}  // namespace comm::delta

#endif  // COMM_DELTA_FORMAT_HPP
