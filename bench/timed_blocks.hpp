// A block the benchmark times, made with everything its benchmarks compare
// with before any timing, and the names of those benchmarks:
// "<data set>/<n>/<function>/<implementation>". The registry and the table
// printer both spell them from here.
#ifndef BENCH_TIMED_BLOCKS_HPP
#define BENCH_TIMED_BLOCKS_HPP

#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "bench/output_checks.hpp"

namespace bench {

enum class Coder { encode, decode, encode2, decode2, encode3, decode3 };
inline constexpr std::array<Coder, 6> kCoders = {Coder::encode,  Coder::decode,  Coder::encode2,
                                                 Coder::decode2, Coder::encode3, Coder::decode3};

inline const char* coder_name(Coder coder)
{
    switch (coder) {
        case Coder::encode:
            return "encode";
        case Coder::decode:
            return "decode";
        case Coder::encode2:
            return "encode2";
        case Coder::decode2:
            return "decode2";
        case Coder::encode3:
            return "encode3";
        case Coder::decode3:
            return "decode3";
    }
    return "?";
}

inline bool is_encoder(Coder coder)
{
    return coder == Coder::encode || coder == Coder::encode2 || coder == Coder::encode3;
}

// A block of one data set and everything its benchmarks compare with, made
// before any timing.
struct Block {
    int32_t n;
    std::string group;  // "<data set>/<n>", the start of every benchmark name
    std::vector<float> values;
    Bytes levels;
    std::vector<float> decoded;  // each level's value: what a decoder must write
    Bytes pair;                  // the reference encoders' streams
    Bytes escaped;
    Bytes deltas;
    Bytes lz4;  // LZ4's compression of the levels; empty without LZ4
    // With --comm_blocks=K, the data set's next K - 1 stretches of n values,
    // each made like this block: the timed calls take all K in turn.
    std::vector<Block> followers;
};

// A block and its followers, in the order the timed calls take them.
inline std::vector<const Block*> turns_of(const Block& block)
{
    std::vector<const Block*> turns{&block};
    std::transform(block.followers.begin(), block.followers.end(), std::back_inserter(turns),
                   [](const Block& follower) { return &follower; });
    return turns;
}

inline const Bytes& stream_of(Coder coder, const Block& block)
{
    switch (coder) {
        case Coder::encode:
        case Coder::decode:
            return block.pair;
        case Coder::encode2:
        case Coder::decode2:
            return block.escaped;
        case Coder::encode3:
        case Coder::decode3:
            break;
    }
    return block.deltas;
}

// The parts of the benchmark names.
inline constexpr std::string_view kMemcpy = "memcpy";
inline constexpr std::string_view kFloats = "floats";
inline constexpr std::array<std::string_view, 2> kStreams = {"pair", "escaped"};
inline constexpr std::array<std::string_view, 2> kFraming = {"split", "merge"};
inline constexpr std::string_view kPeer = "lz4";
inline constexpr std::string_view kBefore = "before";  // the reference coders' column

inline std::string bench_name(const Block& block, std::string_view function, std::string_view implementation)
{
    return block.group + "/" + std::string(function) + "/" + std::string(implementation);
}

inline const Bytes& named_stream(const Block& block, std::string_view stream)
{
    return stream == kStreams[0] ? block.pair : block.escaped;
}

}  // namespace bench

#endif  // BENCH_TIMED_BLOCKS_HPP
