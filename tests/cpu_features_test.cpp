// Feature detection from given CPUID and XCR0 words, and the path each CPU
// and operating system gets.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "comm/codec_paths.hpp"
#include "comm/cpu_features.hpp"

namespace {

using comm::detail::CpuFeature;
using comm::detail::CpuFeatures;
using comm::detail::X86CpuidWords;

// The words as the Intel and AMD manuals number their bits.
constexpr std::uint32_t kPclmul = 1U << 1;  // leaf 1 ECX
constexpr std::uint32_t kSse42 = 1U << 20;
constexpr std::uint32_t kPopcnt = 1U << 23;
constexpr std::uint32_t kFma = 1U << 12;
constexpr std::uint32_t kOsxsave = 1U << 27;
constexpr std::uint32_t kAvx = 1U << 28;
constexpr std::uint32_t kBmi1 = 1U << 3;  // leaf 7 EBX
constexpr std::uint32_t kAvx2 = 1U << 5;
constexpr std::uint32_t kBmi2 = 1U << 8;
constexpr std::uint32_t kAvx512f = 1U << 16;
constexpr std::uint32_t kAvx512bw = 1U << 30;
constexpr std::uint32_t kVbmi = 1U << 1;  // leaf 7 ECX
constexpr std::uint32_t kVbmi2 = 1U << 6;
constexpr std::uint64_t kXmmYmm = 0x07;  // x87, XMM, YMM
constexpr std::uint64_t kAllVectorState = 0xE7;
// Leaf 0 EBX, the vendor string's first four bytes.
constexpr std::uint32_t kIntel = 0x756E6547;  // "Genu"ineIntel
constexpr std::uint32_t kAmd = 0x68747541;    // "Auth"enticAMD
constexpr std::uint32_t kHygon = 0x6F677948;  // "Hygo"nGenuine
constexpr std::uint32_t kVia = 0x746E6543;    // "Cent"aurHauls

// An Intel CPU (Sapphire Rapids) with PCLMULQDQ, POPCNT, AVX-512 F, BW, VBMI
// and VBMI2 whose OS saves every vector register.
constexpr X86CpuidWords kAvx512Machine = {
    .max_leaf = 0x1B,
    .vendor = kIntel,
    .leaf1_eax = 0x000806F8,
    .leaf1_ecx = kPclmul | kSse42 | kPopcnt | kFma | kOsxsave | kAvx,
    .leaf7_ebx = kBmi1 | kAvx2 | kBmi2 | kAvx512f | kAvx512bw,
    .leaf7_ecx = kVbmi | kVbmi2,
    .xcr0 = kAllVectorState,
};

// The path chosen without a cap where the words describe the CPU.
std::string chosen_path(const X86CpuidWords& words)
{
    const auto runnable = comm::detail::runnable_paths_for(comm::detail::x86_features(words));
    return comm::detail::choose_path(runnable, nullptr).name;
}

// `name` if this build has that path, else the portable one.
std::string if_built(const std::string& name)
{
    const auto& built = comm::detail::kBuiltPaths;
    const bool found = std::any_of(std::begin(built), std::end(built),
                                   [&](const comm::detail::CodecPath* p) { return name == p->name; });
    return found ? name : "portable";
}

TEST(CpuFeatures, FullySupportedCpuHasEveryFeatureAndRunsAvx512Vbmi2)
{
    EXPECT_EQ(comm::detail::x86_features(kAvx512Machine),
              (CpuFeatures{CpuFeature::sse42, CpuFeature::pclmul, CpuFeature::popcnt, CpuFeature::avx2, CpuFeature::fma,
                           CpuFeature::bmi1, CpuFeature::bmi2, CpuFeature::fast_pext, CpuFeature::avx512f,
                           CpuFeature::avx512bw, CpuFeature::avx512vbmi, CpuFeature::avx512vbmi2}));
    EXPECT_EQ(chosen_path(kAvx512Machine), if_built("avx512vbmi2"));
}

TEST(CpuFeatures, VectorFeaturesNeedTheirRegisterStateSavedByTheOs)
{
    // AVX-512 in the CPU, but the OS saves only up to YMM: the AVX2 path.
    X86CpuidWords ymm_only = kAvx512Machine;
    ymm_only.xcr0 = kXmmYmm;
    const CpuFeatures no_zmm = comm::detail::x86_features(ymm_only);
    EXPECT_TRUE(no_zmm.has(CpuFeature::avx2));
    EXPECT_FALSE(no_zmm.has(CpuFeature::avx512f));
    EXPECT_FALSE(no_zmm.has(CpuFeature::avx512bw));
    EXPECT_FALSE(no_zmm.has(CpuFeature::avx512vbmi2));
    EXPECT_EQ(chosen_path(ymm_only), if_built("avx2pext"));

    // Each part of the AVX-512 state missing alone is as bad as all of it.
    for (const std::uint64_t part : {0x20U, 0x40U, 0x80U}) {
        X86CpuidWords partial = kAvx512Machine;
        partial.xcr0 = kAllVectorState & ~part;
        EXPECT_EQ(chosen_path(partial), if_built("avx2pext")) << "XCR0 " << partial.xcr0;
    }

    // No YMM state, or XSAVE not enabled (XCR0 then means nothing): no AVX
    // feature, the portable path, but the scalar and SSE features stay.
    X86CpuidWords no_ymm = kAvx512Machine;
    no_ymm.xcr0 = 0x03;
    X86CpuidWords no_osxsave = kAvx512Machine;
    no_osxsave.leaf1_ecx &= ~kOsxsave;
    for (const X86CpuidWords& words : {no_ymm, no_osxsave}) {
        EXPECT_EQ(comm::detail::x86_features(words),
                  (CpuFeatures{CpuFeature::sse42, CpuFeature::pclmul, CpuFeature::popcnt, CpuFeature::bmi1,
                               CpuFeature::bmi2, CpuFeature::fast_pext}));
        EXPECT_EQ(chosen_path(words), "portable");
    }
}

TEST(CpuFeatures, EachPathNeedsAllOfItsFeatures)
{
    // One of the AVX2 path's features missing leaves the portable path, even
    // with every AVX-512 feature present.
    for (const auto& [leaf1_off, leaf7_off] :
         {std::pair{kAvx, 0U}, std::pair{kFma, 0U}, std::pair{0U, kAvx2}, std::pair{0U, kBmi1}, std::pair{0U, kBmi2}}) {
        X86CpuidWords words = kAvx512Machine;
        words.leaf1_ecx &= ~leaf1_off;
        words.leaf7_ebx &= ~leaf7_off;
        EXPECT_EQ(chosen_path(words), "portable") << std::hex << leaf1_off << " " << leaf7_off;
    }
    // AVX-512 F or BW missing leaves the AVX2 path (this CPU's PEXT is fast).
    for (const std::uint32_t off : {kAvx512f, kAvx512bw}) {
        X86CpuidWords words = kAvx512Machine;
        words.leaf7_ebx &= ~off;
        EXPECT_EQ(chosen_path(words), if_built("avx2pext")) << std::hex << off;
    }
    // VBMI, VBMI2, POPCNT or PCLMULQDQ missing, each detected on its own bit,
    // leaves the AVX-512 path.
    for (const auto& [leaf1_off, leaf7_off] :
         {std::pair{0U, kVbmi}, std::pair{0U, kVbmi2}, std::pair{kPopcnt, 0U}, std::pair{kPclmul, 0U}}) {
        X86CpuidWords words = kAvx512Machine;
        words.leaf1_ecx &= ~leaf1_off;
        words.leaf7_ecx &= ~leaf7_off;
        const CpuFeatures features = comm::detail::x86_features(words);
        EXPECT_EQ(features.has(CpuFeature::avx512vbmi), leaf7_off != kVbmi);
        EXPECT_EQ(features.has(CpuFeature::avx512vbmi2), leaf7_off != kVbmi2);
        EXPECT_EQ(features.has(CpuFeature::popcnt), leaf1_off != kPopcnt);
        EXPECT_EQ(features.has(CpuFeature::pclmul), leaf1_off != kPclmul);
        EXPECT_EQ(chosen_path(words), if_built("avx512")) << std::hex << leaf1_off << " " << leaf7_off;
    }
}

TEST(CpuFeatures, PextCountsAsFastOnIntelAndOnAmdFromZen3)
{
    struct Cpu {
        std::uint32_t vendor;
        std::uint32_t leaf1_eax;
        bool fast_pext;
    };
    for (const Cpu& cpu : {Cpu{kIntel, 0x000306C3, true},    // Haswell, family 6
                           Cpu{kAmd, 0x00870F10, false},     // Zen 2, family 17h (0xF + 8)
                           Cpu{kHygon, 0x00900F01, false},   // family 18h, a Zen 1
                           Cpu{kAmd, 0x00A20F10, true},      // Zen 3, family 19h
                           Cpu{kAmd, 0x00B40F00, true},      // Zen 5, family 1Ah
                           Cpu{kVia, 0x00A00F00, false}}) {  // another vendor's, whatever its family
        // The OS saves no ZMM state: the AVX2 rows.
        X86CpuidWords words = kAvx512Machine;
        words.vendor = cpu.vendor;
        words.leaf1_eax = cpu.leaf1_eax;
        words.xcr0 = kXmmYmm;
        EXPECT_EQ(comm::detail::x86_features(words).has(CpuFeature::fast_pext), cpu.fast_pext)
            << std::hex << cpu.leaf1_eax;
        EXPECT_EQ(chosen_path(words), if_built(cpu.fast_pext ? "avx2pext" : "avx2")) << std::hex << cpu.leaf1_eax;
        // Without BMI2 there is no PEXT at all.
        words.leaf7_ebx &= ~kBmi2;
        EXPECT_FALSE(comm::detail::x86_features(words).has(CpuFeature::fast_pext)) << std::hex << cpu.leaf1_eax;
    }
}

TEST(CpuFeatures, LeafSevenIsIgnoredOnCpusWithoutIt)
{
    // Such a CPU answers leaf 7 with the words of another leaf.
    X86CpuidWords old_cpu = kAvx512Machine;
    old_cpu.max_leaf = 6;
    EXPECT_EQ(comm::detail::x86_features(old_cpu),
              (CpuFeatures{CpuFeature::sse42, CpuFeature::pclmul, CpuFeature::popcnt, CpuFeature::fma}));
    EXPECT_EQ(chosen_path(old_cpu), "portable");
    X86CpuidWords leaf7_cpu = kAvx512Machine;
    leaf7_cpu.max_leaf = 7;
    EXPECT_EQ(chosen_path(leaf7_cpu), if_built("avx512vbmi2"));
}

TEST(CpuFeatures, RunnablePathsAreTheBuiltOnesWhoseFeaturesArePresent)
{
    const auto& built = comm::detail::kBuiltPaths;
    const auto all = comm::detail::runnable_paths_for(comm::detail::x86_features(kAvx512Machine));
#if COMM_X86_PATHS
    ASSERT_EQ(all.size(), std::size(built));
    EXPECT_TRUE(std::equal(all.begin(), all.end(), std::begin(built)));
#endif
    const auto none = comm::detail::runnable_paths_for(CpuFeatures{});
    ASSERT_EQ(none.size(), 1U);
    EXPECT_EQ(none.front(), built[0]);
    // This machine runs the paths its own detected features allow.
    const auto here = comm::detail::runnable_paths();
    const auto expected = comm::detail::runnable_paths_for(comm::detail::detect_cpu_features());
    EXPECT_TRUE(std::equal(here.begin(), here.end(), expected.begin(), expected.end()));
}

}  // namespace
