// The checks every benchmark makes once before it times anything: output equal
// to the reference's, and nothing written past the bounds the contracts give.
// Each returns nullptr when all is right, else what is wrong.
#ifndef BENCH_OUTPUT_CHECKS_HPP
#define BENCH_OUTPUT_CHECKS_HPP

#include <cstddef>
#include <cstdint>
#include <vector>

#include "comm/Comm.h"

namespace bench {

using Bytes = std::vector<uint8_t>;
using Encoder = int32_t (*)(const float*, uint8_t*, int32_t);
using Decoder = int32_t (*)(const uint8_t*, float*, int32_t);
using Splitter = int32_t (*)(const uint8_t*, packet*, int32_t);
using Merger = int32_t (*)(const packet*, uint8_t*, int32_t);

// The encoder gives `expected` for `values` and writes nothing past 2n bytes.
const char* encoder_fault(Encoder encoder, const std::vector<float>& values, const Bytes& expected);

// The decoder gives exactly `expected` (bit for bit) for `stream` and writes
// nothing past it in a buffer of DECODE_MAX_VALUES values.
const char* decoder_fault(Decoder decoder, const Bytes& stream, const std::vector<float>& expected);

// The splitter fills the packets of a non-empty `stream` as split must:
// lengths, bytes and `last`, no byte past a packet's length, no packet past them.
const char* split_fault(Splitter splitter, const Bytes& stream);

// The merger joins packets_of(stream) into exactly `stream`, nothing past it.
const char* merge_fault(Merger merger, const Bytes& stream);

// How many packets a stream takes, and those packets, built here rather than
// by split.
std::size_t packets_for(const Bytes& stream);
std::vector<packet> packets_of(const Bytes& stream);

}  // namespace bench

#endif  // BENCH_OUTPUT_CHECKS_HPP
