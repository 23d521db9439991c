// CRC-32C: every implementation the CPU runs against a bitwise one written
// from the definition, at every length up to past a packet and every offset.
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comm/crc32c_paths.hpp"
#include "comm/wire.h"

namespace {

using comm::detail::Crc32cPath;

// One bit at a time, from the definition: reflected polynomial 0x82F63B78,
// register and result inverted.
std::uint32_t bitwise_crc32c(std::uint32_t crc, const std::uint8_t* data, std::size_t size)
{
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0x82F63B78U & (0U - (crc & 1U)));
        }
    }
    return ~crc;
}

std::vector<std::uint8_t> random_bytes(std::size_t size, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(rng());
    }
    return bytes;
}

std::vector<std::string> crc_names()
{
    std::vector<std::string> names;
    for (const Crc32cPath* path : comm::detail::runnable_crc32c()) {
        names.emplace_back(path->name);
    }
    return names;
}

class EachCrc : public testing::TestWithParam<std::string> {
protected:
    static std::uint32_t crc(std::uint32_t start, const std::uint8_t* data, std::size_t size)
    {
        for (const Crc32cPath* path : comm::detail::runnable_crc32c()) {
            if (GetParam() == path->name) {
                return ~path->update(~start, data, size);
            }
        }
        ADD_FAILURE() << "no path " << GetParam();
        return 0;
    }
};

TEST_P(EachCrc, GivesTheCheckValue)
{
    const char* check = "123456789";
    EXPECT_EQ(crc(0, reinterpret_cast<const std::uint8_t*>(check), 9), 0xE3069283U);
}

// Lengths cross the 8-byte words and every stride of the three-stream rounds
// up to a packet and more; offsets move the data off 8-byte alignment, and
// the start register is not always zero.
TEST_P(EachCrc, MatchesTheBitwiseCrcAtEveryLengthAndOffset)
{
    const std::vector<std::uint8_t> bytes = random_bytes(720, 1);
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t size = 0; size + offset <= 700 + 8 && size <= 700; ++size) {
            const std::uint32_t start = offset % 2 == 0 ? 0 : 0x9A3C15E7U;
            ASSERT_EQ(crc(start, bytes.data() + offset, size), bitwise_crc32c(start, bytes.data() + offset, size))
                << "size " << size << " offset " << offset;
        }
    }
}

// Long enough for several rounds at the longest stride, then a shorter one.
TEST_P(EachCrc, MatchesTheBitwiseCrcOnLongBuffers)
{
    for (const std::size_t size : {6143U, 6144U, 6145U, 20000U, 65536U + 13U}) {
        const std::vector<std::uint8_t> bytes = random_bytes(size, static_cast<unsigned>(size));
        EXPECT_EQ(crc(0, bytes.data(), size), bitwise_crc32c(0, bytes.data(), size)) << size;
    }
}

INSTANTIATE_TEST_SUITE_P(Runnable, EachCrc, testing::ValuesIn(crc_names()),
                         [](const testing::TestParamInfo<std::string>& param) { return param.param; });

TEST(Crc32c, PublicFunctionContinuesAcrossPiecesAndIsTheFastestPath)
{
    const std::vector<std::uint8_t> bytes = random_bytes(1000, 2);
    const std::uint32_t whole = comm_crc32c(0, bytes.data(), bytes.size());
    EXPECT_EQ(whole, bitwise_crc32c(0, bytes.data(), bytes.size()));
    EXPECT_EQ(comm_crc32c(comm_crc32c(0, bytes.data(), 333), bytes.data() + 333, 667), whole);
    EXPECT_EQ(comm_crc32c(0x1234U, nullptr, 0), 0x1234U);
    EXPECT_EQ(&comm::detail::active_crc32c(), comm::detail::runnable_crc32c().back());
}

// Each implementation runs only where the CPU has all it needs.
TEST(Crc32c, ChoosesByTheFeaturesEachImplementationNeeds)
{
    using comm::detail::CpuFeature;
    using comm::detail::CpuFeatures;
    auto names = [](CpuFeatures features) {
        std::string list;
        for (const Crc32cPath* path : comm::detail::runnable_crc32c_for(features)) {
            list += std::string(list.empty() ? "" : " ") + path->name;
        }
        return list;
    };
    EXPECT_EQ(names({}), "portable");
#if COMM_X86_PATHS
    EXPECT_EQ(names({CpuFeature::pclmul}), "portable");
    EXPECT_EQ(names({CpuFeature::sse42}), "portable sse42");
    EXPECT_EQ(names({CpuFeature::sse42, CpuFeature::pclmul, CpuFeature::avx2}), "portable sse42 sse42x3");
    // CPUID leaf 1 ECX bit 1 is PCLMULQDQ, bit 20 SSE4.2.
    const comm::detail::X86CpuidWords words = {.max_leaf = 1,
                                               .vendor = 0,
                                               .leaf1_eax = 0,
                                               .leaf1_ecx = (1U << 1) | (1U << 20),
                                               .leaf7_ebx = 0,
                                               .leaf7_ecx = 0,
                                               .xcr0 = 0};
    EXPECT_EQ(comm::detail::x86_features(words), (CpuFeatures{CpuFeature::sse42, CpuFeature::pclmul}));
#endif
}

TEST(Crc32c, ShiftJoinsTheRegistersOfTwoPieces)
{
    const std::vector<std::uint8_t> bytes = random_bytes(300, 3);
    for (const std::size_t cut : {0U, 1U, 100U, 299U}) {
        const std::uint32_t first = ~bitwise_crc32c(0, bytes.data(), cut);
        const std::uint32_t second = ~bitwise_crc32c(0xFFFFFFFFU, bytes.data() + cut, bytes.size() - cut);
        EXPECT_EQ(~(comm::detail::crc32c_shift(first, bytes.size() - cut) ^ second),
                  bitwise_crc32c(0, bytes.data(), bytes.size()))
            << cut;
    }
}

}  // namespace
