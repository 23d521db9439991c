#include "driver/round_trip.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "comm/sample_level.hpp"

namespace round_trip {
namespace {

static_assert(RAND_MAX == 2147483647, "the samples assume rand() spans 0..2147483647");

constexpr std::array kMethods{
    Method{"First method:\n", "==============\n", encode, decode, split, merge},
    Method{"Second method:\n", "===============\n", encode2, decode2, split, merge},
};

// All storage of one report, zeroed so that no check can read unset memory.
// The decoded block has room for the most any decoder writes.
struct Storage {
    std::array<float, kBlockValues> original{};
    std::array<float, DECODE_MAX_VALUES> decoded{};
    std::array<uint8_t, kStreamBytes> encoded{};
    std::array<uint8_t, kStreamBytes> merged{};
};

enum class Outcome { ok, value_mismatch, byte_mismatch };

Outcome run_method(const Method& method, Storage& s, packet* packets, std::FILE* out)
{
    std::fputs(method.title, out);
    std::fputs(method.underline, out);

    const int32_t encoded_size = method.encode(s.original.data(), s.encoded.data(), kBlockValues);
    std::fprintf(out, "ENCODE: outputsize=%d bytes\n", encoded_size);
    const int32_t parts = method.split(s.encoded.data(), packets, encoded_size);
    std::fprintf(out, "\tSplit: %d parts\n", parts);
    const int32_t merged_size = method.merge(packets, s.merged.data(), parts);
    std::fprintf(out, "\tMerge: %d bytes\n", merged_size);

    std::fprintf(out, "\tChecking bytes (%d)...", merged_size);
    for (int32_t i = 0; i < merged_size; ++i) {
        if (s.encoded[i] != s.merged[i]) {
            std::fprintf(out, "ERROR in index %d: %d vs %d\n", i, s.encoded[i], s.merged[i]);
            return Outcome::byte_mismatch;
        }
    }
    std::fputs("OK!\n", out);

    // A value the decoder did not give back is a mismatch, never a leftover
    // of the previous run that happens to match.
    s.decoded.fill(0.0F);
    const int32_t decoded_count = method.decode(s.merged.data(), s.decoded.data(), merged_size);
    std::fprintf(out, "DECODE: outputsize=%d floats\n", decoded_count);

    std::fputs("Checking...", out);
    for (int32_t i = 0; i < kBlockValues; ++i) {
        if (i >= decoded_count || comm::quantise(s.original[i]) != comm::quantise(s.decoded[i])) {
            std::fprintf(out, "ERROR in index %d: %f vs %f\n", i, static_cast<double>(s.original[i]),
                         static_cast<double>(s.decoded[i]));
            return Outcome::value_mismatch;
        }
    }
    std::fputs("OK!\n", out);
    return Outcome::ok;
}

}  // namespace

std::span<const Method> library_methods()
{
    return kMethods;
}

float sample_value(int32_t r)
{
    return comm::nearest_float(static_cast<uint32_t>(r), RAND_MAX);
}

int run_report(uint32_t seed, packet* packets, std::FILE* out, std::span<const Method> methods)
{
    Storage storage;

    // The C library's generator on purpose: a seed names the same report on
    // every run of the program.
    std::srand(seed);
    std::generate(storage.original.begin(), storage.original.end(), [] { return sample_value(std::rand()); });

    std::fputs("------------------------------------------------------------------\n", out);
    std::fprintf(out, "Encode/decode test. Original size: %d floats (%d bytes)\n", kBlockValues,
                 kBlockValues * static_cast<int>(sizeof(float)));
    std::fputs("------------------------------------------------------------------\n", out);

    int status = 0;
    for (const Method& method : methods) {
        const Outcome outcome = run_method(method, storage, packets, out);
        if (outcome != Outcome::ok) {
            status = 1;
        }
        if (outcome == Outcome::byte_mismatch) {
            break;
        }
    }
    return status;
}

}  // namespace round_trip
