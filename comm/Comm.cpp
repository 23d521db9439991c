// The public functions: the coders run the active path (codec_dispatch.cpp),
// and the packet framing, which is a plain copy on every CPU. Formats and
// contracts are in Comm.h.
#include "comm/Comm.h"

#include <algorithm>
#include <cstring>

#include "comm/codec_paths.hpp"

extern "C" {

int32_t encode(const float* values, uint8_t* stream, int32_t n)
{
    return comm::detail::active_path().encode(values, stream, n);
}

int32_t decode(const uint8_t* stream, float* values, int32_t count)
{
    return comm::detail::active_path().decode(stream, values, count);
}

int32_t encode2(const float* values, uint8_t* stream, int32_t n)
{
    return comm::detail::active_path().encode2(values, stream, n);
}

int32_t decode2(const uint8_t* stream, float* values, int32_t count)
{
    return comm::detail::active_path().decode2(stream, values, count);
}

int32_t split(const uint8_t* stream, packet* packets, int32_t len)
{
    int32_t count = 0;
    for (int32_t remaining = len; remaining > 0; ++count) {
        const int32_t size = std::min(remaining, int32_t{PACKET_DATA_SIZE});
        packet& p = packets[count];
        p.length = size;
        std::memcpy(p.data, stream + (len - remaining), static_cast<size_t>(size));
        remaining -= size;
        p.last = remaining == 0 ? 1 : 0;
    }
    return count;
}

int32_t merge(const packet* packets, uint8_t* stream, int32_t count)
{
    int32_t total = 0;
    for (int32_t j = 0; j < count; ++j) {
        const int32_t length = std::clamp(packets[j].length, int32_t{0}, int32_t{PACKET_DATA_SIZE});
        if (length > INT32_MAX - total) {
            break;
        }
        if (length > 0) {
            std::memcpy(stream + total, packets[j].data, static_cast<size_t>(length));
            total += length;
        }
    }
    return total;
}

}  // extern "C"
