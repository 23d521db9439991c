// The short names of the public functions (Comm.h), in an object of their own
// so that a static library leaves them behind for a program that calls only the
// comm_ names, and a build without short names leaves this file out.
#include "comm/Comm.h"

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
    return comm::detail::active_path().split(stream, packets, len);
}

int32_t merge(const packet* packets, uint8_t* stream, int32_t count)
{
    return comm::detail::active_path().merge(packets, stream, count);
}

}  // extern "C"
