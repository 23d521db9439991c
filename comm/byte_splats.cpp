#include "comm/byte_splats.hpp"

#include <algorithm>
#include <iterator>

namespace comm::detail {

namespace {

constexpr ByteSplats make_byte_splats()
{
    ByteSplats l{};
    for (int v = 0; v < kByteSplatValues; ++v) {
        std::fill(std::begin(l.of[v]), std::end(l.of[v]), static_cast<std::uint8_t>(v));
    }
    std::fill(std::begin(l.escape), std::end(l.escape), std::uint8_t{0xFF});
    for (int i = 0; i < 64; i += 2) {  // little-endian 16-bit lanes: the count byte first
        l.pair_count[i] = 0xFF;
        l.pair_count_from16[i] = 0xF0;
        l.pair_count_from64[i] = 0xC0;
    }
    std::fill(std::begin(l.count_from4), std::end(l.count_from4), std::uint8_t{0xFC});
    std::fill(std::begin(l.count_from8), std::end(l.count_from8), std::uint8_t{0xF8});
    std::fill(std::begin(l.count_from16), std::end(l.count_from16), std::uint8_t{0xF0});
    return l;
}

}  // namespace

constinit const ByteSplats kByteSplats = make_byte_splats();

}  // namespace comm::detail
