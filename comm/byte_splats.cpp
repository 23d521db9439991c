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
    return l;
}

}  // namespace

constinit const ByteSplats kByteSplats = make_byte_splats();

}  // namespace comm::detail
