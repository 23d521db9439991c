// The codec and the packet framing. Formats and contracts are in Comm.h.
#include "comm/Comm.h"

#include <algorithm>
#include <cstring>

#include "comm/sample_level.hpp"

namespace {

using comm::level_value;
using comm::quantise;

// Blocks are quantised this many values at a time into a buffer on the stack,
// so an encoder needs no heap and a bounded stack whatever the block size.
// Typical blocks fit in one chunk: quantise all, then code all.
constexpr int32_t kQuantiseChunk = 8192;

// Introduces a run token or an escaped 255 in the escaped run-length stream.
constexpr uint8_t kEscape = 0xFF;

// Calls emit(level, length) for each run of equal levels of the block, in
// order, with a run longer than MaxRun cut into pieces of MaxRun values and a
// remainder. The piece after a cut starts a new run even at the same level.
template <int32_t MaxRun, typename Emit>
void for_each_run(const float* values, int32_t n, Emit emit)
{
    uint8_t levels[kQuantiseChunk];
    uint8_t level = 0;
    int32_t run = 0;
    for (int32_t base = 0; base < n; base += kQuantiseChunk) {
        const int32_t size = std::min(kQuantiseChunk, n - base);
        for (int32_t i = 0; i < size; ++i) {
            levels[i] = quantise(values[base + i]);
        }
        for (int32_t i = 0; i < size; ++i) {
            if (levels[i] == level && run > 0 && run < MaxRun) {
                ++run;
                continue;
            }
            if (run > 0) {
                emit(level, run);
            }
            level = levels[i];
            run = 1;
        }
    }
    if (run > 0) {
        emit(level, run);
    }
}

// Appends `run` copies of the value of `level` after the `written` values
// already in `values`, as far as the decoder's capacity allows. Returns the
// new number of values written.
int32_t put_run(float* values, int32_t written, uint8_t level, int32_t run)
{
    const int32_t room = DECODE_MAX_VALUES - written;
    run = std::min(run, room);
    std::fill_n(values + written, run, level_value(level));
    return written + run;
}

}  // namespace

extern "C" {

int32_t encode(const float* values, uint8_t* stream, int32_t n)
{
    if (n <= 0 || n > ENCODE_MAX_VALUES) {
        return 0;
    }
    uint8_t* out = stream;
    for_each_run<256>(values, n, [&out](uint8_t level, int32_t run) {
        out[0] = static_cast<uint8_t>(run - 1);
        out[1] = level;
        out += 2;
    });
    return static_cast<int32_t>(out - stream);
}

int32_t decode(const uint8_t* stream, float* values, int32_t count)
{
    int32_t written = 0;
    for (int32_t p = 0; count - p >= 2 && written < DECODE_MAX_VALUES; p += 2) {
        written = put_run(values, written, stream[p + 1], stream[p] + 1);
    }
    return written;
}

int32_t encode2(const float* values, uint8_t* stream, int32_t n)
{
    if (n <= 0 || n > ENCODE_MAX_VALUES) {
        return 0;
    }
    uint8_t* out = stream;
    for_each_run<254>(values, n, [&out](uint8_t level, int32_t run) {
        if (run == 1) {
            *out++ = level;
            if (level == kEscape) {
                *out++ = kEscape;
            }
        } else {
            out[0] = kEscape;
            out[1] = static_cast<uint8_t>(run);
            out[2] = level;
            out += 3;
        }
    });
    return static_cast<int32_t>(out - stream);
}

int32_t decode2(const uint8_t* stream, float* values, int32_t count)
{
    int32_t written = 0;
    int32_t p = 0;
    while (p < count && written < DECODE_MAX_VALUES) {
        const int32_t left = count - p;
        if (stream[p] != kEscape) {
            values[written++] = level_value(stream[p]);
            p += 1;
        } else if (left >= 2 && stream[p + 1] == kEscape) {
            values[written++] = level_value(kEscape);
            p += 2;
        } else if (left >= 3) {
            written = put_run(values, written, stream[p + 2], stream[p + 1]);
            p += 3;
        } else {
            break;  // the stream ends inside a token
        }
    }
    return written;
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
