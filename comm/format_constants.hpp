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

}  // namespace comm::format

#endif  // COMM_FORMAT_CONSTANTS_HPP
