// libFuzzer target: every coder path this CPU runs must give the same results
// on the same input, bit for bit. The input is decoded as a stream of each
// method and, read as floats (host byte order), quantised and encoded with each
// method; every path's results, and what it left untouched in its output, are
// compared with the portable path's. The first difference stops the run and
// names the path. Outputs are exact-size heap arrays (2n bytes for an encoder,
// DECODE_MAX_VALUES floats for a decoder), so AddressSanitizer sees any access
// outside them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <span>

#include "comm/Comm.h"
#include "comm/codec_paths.hpp"
#include "fuzz/fuzz_support.hpp"

namespace {

using comm::detail::CodecPath;
using comm_fuzz::ExactArray;

void check(bool same, const CodecPath& path, const char* what)
{
    if (!same) {
        std::fprintf(stderr, "path %s differs from the portable path: %s\n", path.name, what);
        comm_fuzz::fail(what, __FILE__, __LINE__);
    }
}

using Decoder = int32_t (*)(const uint8_t*, float*, int32_t);
using Encoder = int32_t (*)(const float*, uint8_t*, int32_t);

void compare_decoders(std::span<const CodecPath* const> paths, Decoder CodecPath::*decoder, const uint8_t* stream,
                      int32_t count)
{
    const ExactArray<float> first(DECODE_MAX_VALUES);
    const ExactArray<float> other(DECODE_MAX_VALUES);
    comm_fuzz::fill_untouched(first.get(), DECODE_MAX_VALUES);
    const int32_t written = (paths.front()->*decoder)(stream, first.get(), count);
    for (const CodecPath* path : paths.subspan(1)) {
        comm_fuzz::fill_untouched(other.get(), DECODE_MAX_VALUES);
        check((path->*decoder)(stream, other.get(), count) == written, *path, "decoder's count");
        bool same = true;
        for (std::size_t i = 0; i < DECODE_MAX_VALUES; ++i) {
            same = same && comm_fuzz::same_bits(first[i], other[i]);
        }
        check(same, *path, "decoded values or untouched slots");
    }
}

void compare_encoders(std::span<const CodecPath* const> paths, Encoder CodecPath::*encoder, const float* values,
                      int32_t n)
{
    const auto room = 2 * static_cast<std::size_t>(n);
    const ExactArray<uint8_t> first(room);
    const ExactArray<uint8_t> other(room);
    const int32_t length = (paths.front()->*encoder)(values, first.get(), n);
    for (const CodecPath* path : paths.subspan(1)) {
        check((path->*encoder)(values, other.get(), n) == length, *path, "stream length");
        check(length == 0 || std::memcmp(first.get(), other.get(), static_cast<std::size_t>(length)) == 0, *path,
              "stream bytes");
    }
}

void compare_quantisers(std::span<const CodecPath* const> paths, const float* values, int32_t n)
{
    const ExactArray<uint8_t> first(static_cast<std::size_t>(n));
    const ExactArray<uint8_t> other(static_cast<std::size_t>(n));
    paths.front()->quantise(values, first.get(), n);
    for (const CodecPath* path : paths.subspan(1)) {
        path->quantise(values, other.get(), n);
        check(n == 0 || std::memcmp(first.get(), other.get(), static_cast<std::size_t>(n)) == 0, *path, "levels");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > static_cast<std::size_t>(std::numeric_limits<int32_t>::max())) {
        return 0;
    }
    const std::span<const CodecPath* const> paths = comm::detail::runnable_paths();

    const ExactArray<uint8_t> stream(size);
    if (size > 0) {
        std::memcpy(stream.get(), data, size);
    }
    const auto count = static_cast<int32_t>(size);
    compare_decoders(paths, &CodecPath::decode, stream.get(), count);
    compare_decoders(paths, &CodecPath::decode2, stream.get(), count);
    compare_decoders(paths, &CodecPath::decode3, stream.get(), count);

    const std::size_t n = size / sizeof(float);
    const ExactArray<float> values(n);
    if (n > 0) {
        std::memcpy(values.get(), data, n * sizeof(float));
    }
    compare_quantisers(paths, values.get(), static_cast<int32_t>(n));
    compare_encoders(paths, &CodecPath::encode, values.get(), static_cast<int32_t>(n));
    compare_encoders(paths, &CodecPath::encode2, values.get(), static_cast<int32_t>(n));
    compare_encoders(paths, &CodecPath::encode3, values.get(), static_cast<int32_t>(n));
    return 0;
}
