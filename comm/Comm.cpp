// The public functions run the active path (codec_dispatch.cpp). Formats and
// contracts are in Comm.h.
#include "comm/Comm.h"

#include "comm/codec_paths.hpp"

extern "C" {

int32_t comm_encode(const float* values, uint8_t* stream, int32_t n)
{
    return comm::detail::active_path().encode(values, stream, n);
}

int32_t comm_decode(const uint8_t* stream, float* values, int32_t count)
{
    return comm::detail::active_path().decode(stream, values, count);
}

int32_t comm_encode2(const float* values, uint8_t* stream, int32_t n)
{
    return comm::detail::active_path().encode2(values, stream, n);
}

int32_t comm_decode2(const uint8_t* stream, float* values, int32_t count)
{
    return comm::detail::active_path().decode2(stream, values, count);
}

int32_t comm_split(const uint8_t* stream, comm_packet* packets, int32_t len)
{
    return comm::detail::active_path().split(stream, packets, len);
}

int32_t comm_merge(const comm_packet* packets, uint8_t* stream, int32_t count)
{
    return comm::detail::active_path().merge(packets, stream, count);
}

}  // extern "C"
