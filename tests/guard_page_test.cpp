// Every coder of every runnable path with its input ending exactly where a
// readable page ends and an inaccessible one begins, and its output likewise
// wherever the contract sizes it exactly: a read or write even one byte past
// either faults. AddressSanitizer cannot see this for the vector paths, whose
// masked loads and stores it does not instrument.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "comm/codec_paths.hpp"
#include "reference/reference.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#define COMM_GUARD_PAGES 1
#else
#define COMM_GUARD_PAGES 0
#endif

namespace {

using comm::detail::CodecPath;

#if COMM_GUARD_PAGES

// `count` objects of T ending where a PROT_NONE page begins.
template <class T>
class Guarded {
public:
    explicit Guarded(std::size_t count) : count_(count)
    {
        const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t readable = (count * sizeof(T) + page - 1) / page * page;
        size_ = readable + page;
        void* mapping = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED) {
            throw std::runtime_error("mmap failed");
        }
        base_ = static_cast<std::byte*>(mapping);
        if (mprotect(base_ + readable, page, PROT_NONE) != 0) {
            munmap(base_, size_);
            throw std::runtime_error("mprotect failed");
        }
        data_ = reinterpret_cast<T*>(base_ + readable - count * sizeof(T));
    }
    explicit Guarded(const std::vector<T>& contents) : Guarded(contents.size())
    {
        std::copy(contents.begin(), contents.end(), data_);
    }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;
    ~Guarded() { munmap(base_, size_); }

    T* data() { return data_; }
    [[nodiscard]] std::vector<T> first(std::size_t n) const { return {data_, data_ + std::min(n, count_)}; }

private:
    std::size_t count_ = 0;
    std::size_t size_ = 0;
    std::byte* base_ = nullptr;
    T* data_ = nullptr;
};

#endif

enum class Coder { quantise, level_values, encode, decode, encode2, decode2, encode3, decode3, split, merge };

constexpr const char* kCoderNames[] = {"quantise", "level_values", "encode",  "decode", "encode2",
                                       "decode2",  "encode3",      "decode3", "split",  "merge"};

// Runs of one to four values with an occasional long one, levels drifting by
// small steps with jumps and many at 255: every token kind of the three
// methods, and tails of every length in a vector window.
reference::Levels mixed_levels(std::size_t n)
{
    std::mt19937 rng(static_cast<std::uint32_t>(n));
    reference::Levels levels;
    std::uint8_t level = 128;
    while (levels.size() < n) {
        const std::uint32_t pick = rng() % 16;
        std::size_t run = pick == 0 ? 200 + rng() % 400 : 1 + rng() % 4;
        if (pick < 3) {
            level = 255;
        } else if (pick < 5) {
            level = static_cast<std::uint8_t>(rng());
        } else {
            level = static_cast<std::uint8_t>(level + rng() % 5 - 2);
        }
        run = std::min(run, n - levels.size());
        levels.insert(levels.end(), run, level);
    }
    return levels;
}

// No value equal to its neighbour, every other one 255: the pair stream takes
// all 2n bytes, the last token right up to them.
reference::Levels lone_levels(std::size_t n)
{
    reference::Levels levels(n);
    for (std::size_t i = 0; i < n; ++i) {
        levels[i] = i % 2 == 0 ? 255 : static_cast<std::uint8_t>(i % 7);
    }
    return levels;
}

// Runs of one value but for a run of two ending at value `end` of each 64:
// with end 62 and n = 70, no literal follows the run, and the pair stream's
// empty last gap, still written eight literals at a time, ends at its last
// byte; with end 61, one literal follows it.
reference::Levels paired_levels(std::size_t n, std::size_t end)
{
    reference::Levels levels(n);
    for (std::size_t i = 0; i < n; ++i) {
        levels[i] = i % 64 == end ? levels[i - 1] : static_cast<std::uint8_t>(i % 251);
    }
    return levels;
}

// No value equal to its neighbour and none 255: the escaped stream is the
// levels themselves, which decoders read several bytes at a time up to its
// last byte.
reference::Levels literal_levels(std::size_t n)
{
    reference::Levels levels(n);
    for (std::size_t i = 0; i < n; ++i) {
        levels[i] = static_cast<std::uint8_t>(i % 251);
    }
    return levels;
}

// An escaped stream whose first window (64 bytes) is lone 255s between
// literals and whose second has one lone 255, ending at its byte 64, among
// literals: at n = 169 the stream is 191 bytes, 127 after the first window,
// one short of a second window read in place.
reference::Levels lone_then_few_levels(std::size_t n)
{
    reference::Levels levels(n);
    for (std::size_t i = 0; i < n; ++i) {
        const bool lone = (i < 42 && i % 2 == 0) || i == 105;
        levels[i] = lone ? 255 : static_cast<std::uint8_t>(i < 42 ? 1 : i % 200 + 2);
    }
    return levels;
}

using Encoder = std::int32_t (*)(const float*, std::uint8_t*, std::int32_t);
using Decoder = std::int32_t (*)(const std::uint8_t*, float*, std::int32_t);

struct Method {
    Encoder encode;
    Decoder decode;
    Encoder reference_encode;
};

Method method_of(const CodecPath& path, Coder coder)
{
    switch (coder) {
        case Coder::encode:
        case Coder::decode:
            return {path.encode, path.decode, reference::encode_pairs};
        case Coder::encode2:
        case Coder::decode2:
            return {path.encode2, path.decode2, reference::encode_escaped};
        default:
            return {path.encode3, path.decode3, reference::encode_deltas};
    }
}

class GuardPage : public testing::TestWithParam<std::tuple<std::string, Coder>> {
protected:
    static const CodecPath& path() { return *comm::detail::find_path(std::get<0>(GetParam())); }
    static Coder coder() { return std::get<1>(GetParam()); }
};

TEST_P(GuardPage, ReadsAndWritesNothingPastItsBuffers)
{
#if !COMM_GUARD_PAGES
    GTEST_SKIP() << "guard pages need mmap and mprotect";
#else
    std::vector<std::size_t> lengths(201);
    for (std::size_t n = 0; n < lengths.size(); ++n) {
        lengths[n] = n;
    }
    lengths.insert(lengths.end(), {255, 256, 257, 650, 651, 1300, 1901, 5700});

    const Coder c = coder();
    for (const std::size_t n : lengths) {
        SCOPED_TRACE(n);
        const auto count = static_cast<std::int32_t>(n);
        const reference::Levels levels = mixed_levels(n);
        const std::vector<float> values = reference::values_of(levels);
        const Method method = method_of(path(), c);
        switch (c) {
            case Coder::quantise: {
                Guarded<float> in(values);
                Guarded<std::uint8_t> out(n);
                path().quantise(in.data(), out.data(), count);
                ASSERT_EQ(out.first(n), levels);
                break;
            }
            case Coder::level_values: {
                Guarded<std::uint8_t> in(levels);
                Guarded<float> out(n);
                path().level_values(in.data(), out.data(), count);
                ASSERT_EQ(out.first(n), values);
                break;
            }
            case Coder::encode:
            case Coder::encode2:
            case Coder::encode3: {
                for (const reference::Levels& block :
                     {levels, lone_levels(n), paired_levels(n, 61), paired_levels(n, 62)}) {
                    Guarded<float> in(reference::values_of(block));
                    Guarded<std::uint8_t> out(2 * n);
                    const std::int32_t length = method.encode(in.data(), out.data(), count);
                    ASSERT_EQ(out.first(static_cast<std::size_t>(length)),
                              reference::stream_of(method.reference_encode, block));
                }
                break;
            }
            case Coder::decode:
            case Coder::decode2:
            case Coder::decode3: {
                for (const reference::Levels& block : {levels, literal_levels(n), lone_then_few_levels(n)}) {
                    const reference::Bytes stream = reference::stream_of(method.reference_encode, block);
                    Guarded<std::uint8_t> in(stream);
                    Guarded<float> out(n);
                    ASSERT_EQ(method.decode(in.data(), out.data(), static_cast<std::int32_t>(stream.size())), count);
                    ASSERT_EQ(out.first(n), reference::values_of(block));
                }
                break;
            }
            case Coder::split:
            case Coder::merge: {
                // A stream of n bytes, whatever its contents.
                const reference::Bytes stream(levels.begin(), levels.end());
                const auto packets = static_cast<std::size_t>(COMM_PACKET_COUNT(count));
                if (c == Coder::split) {
                    Guarded<std::uint8_t> in(stream);
                    Guarded<comm_packet> out(packets);
                    ASSERT_EQ(path().split(in.data(), out.data(), count), static_cast<std::int32_t>(packets));
                } else {
                    std::vector<comm_packet> split_packets(packets);
                    path().split(stream.data(), split_packets.data(), count);
                    Guarded<comm_packet> in(split_packets);
                    Guarded<std::uint8_t> out(n);
                    ASSERT_EQ(path().merge(in.data(), out.data(), static_cast<std::int32_t>(packets)), count);
                    ASSERT_EQ(out.first(n), stream);
                }
                break;
            }
        }
    }
#endif
}

std::vector<std::string> path_names()
{
    std::vector<std::string> names;
    for (const CodecPath* path : comm::detail::runnable_paths()) {
        names.emplace_back(path->name);
    }
    return names;
}

INSTANTIATE_TEST_SUITE_P(Runnable, GuardPage,
                         testing::Combine(testing::ValuesIn(path_names()),
                                          testing::Values(Coder::quantise, Coder::level_values, Coder::encode,
                                                          Coder::decode, Coder::encode2, Coder::decode2, Coder::encode3,
                                                          Coder::decode3, Coder::split, Coder::merge)),
                         [](const auto& param) {
                             return std::get<0>(param.param) + "_" +
                                    kCoderNames[static_cast<int>(std::get<1>(param.param))];
                         });

}  // namespace
