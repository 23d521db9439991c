#include "comm/byte_splats.hpp"

namespace comm::detail {

namespace {

constexpr ByteSplats make_byte_splats()
{
    ByteSplats l{};
    for (int v = 0; v < kByteSplatValues; ++v) {
        for (auto& lane : l.of[v]) {
            lane = static_cast<std::uint8_t>(v);
        }
    }
    return l;
}

}  // namespace

constinit const ByteSplats kByteSplats = make_byte_splats();

}  // namespace comm::detail
