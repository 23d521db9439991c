// x86 feature detection: CPUID for what the CPU has, XCR0 for the register
// state the operating system saves.
#include <cstdint>

#include "comm/cpu_features.hpp"

#if (defined(__x86_64__) || defined(__amd64__)) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#define COMM_READ_X86_CPUID 1
#endif

namespace comm::detail {
namespace {

constexpr bool has_bit(std::uint32_t word, unsigned bit)
{
    return ((word >> bit) & 1U) != 0;
}

// CPUID leaf 1, ECX.
constexpr unsigned kPclmulBit = 1;
constexpr unsigned kSse42Bit = 20;
constexpr unsigned kPopcntBit = 23;
constexpr unsigned kFmaBit = 12;
constexpr unsigned kOsxsaveBit = 27;
constexpr unsigned kAvxBit = 28;
// CPUID leaf 7, EBX.
constexpr unsigned kBmi1Bit = 3;
constexpr unsigned kAvx2Bit = 5;
constexpr unsigned kBmi2Bit = 8;
constexpr unsigned kAvx512fBit = 16;
constexpr unsigned kAvx512bwBit = 30;
// CPUID leaf 7, ECX.
constexpr unsigned kAvx512VbmiBit = 1;
constexpr unsigned kAvx512Vbmi2Bit = 6;

// CPUID leaf 0, EBX: "Genu" of "GenuineIntel", "Auth" of "AuthenticAMD".
constexpr std::uint32_t kIntelVendor = 0x756E6547;
constexpr std::uint32_t kAmdVendor = 0x68747541;
// AMD's family 19h: Zen 3 and 4; 1Ah Zen 5.
constexpr std::uint32_t kAmdZen3Family = 0x19;

// The family of CPUID leaf 1's EAX: the base family, plus the extended
// family where the base is 0xF.
constexpr std::uint32_t cpu_family(std::uint32_t leaf1_eax)
{
    const std::uint32_t base = (leaf1_eax >> 8) & 0xF;
    return base == 0xF ? base + ((leaf1_eax >> 20) & 0xFF) : base;
}

// XCR0: the XMM and YMM registers; then the opmask registers, the upper
// halves of ZMM 0-15 and ZMM 16-31.
constexpr std::uint64_t kYmmState = 0x06;
constexpr std::uint64_t kZmmState = 0xE0 | kYmmState;

}  // namespace

CpuFeatures x86_features(const X86CpuidWords& words)
{
    CpuFeatures features;
    if (has_bit(words.leaf1_ecx, kSse42Bit)) {
        features.add(CpuFeature::sse42);
    }
    if (has_bit(words.leaf1_ecx, kPclmulBit)) {
        features.add(CpuFeature::pclmul);
    }
    if (has_bit(words.leaf1_ecx, kPopcntBit)) {
        features.add(CpuFeature::popcnt);
    }
    // A CPU whose highest leaf is below 7 answers leaf 7 with another leaf's words.
    const std::uint32_t leaf7_ebx = words.max_leaf >= 7 ? words.leaf7_ebx : 0;
    const std::uint32_t leaf7_ecx = words.max_leaf >= 7 ? words.leaf7_ecx : 0;
    if (has_bit(leaf7_ebx, kBmi1Bit)) {
        features.add(CpuFeature::bmi1);
    }
    if (has_bit(leaf7_ebx, kBmi2Bit)) {
        features.add(CpuFeature::bmi2);
        if (words.vendor == kIntelVendor ||
            (words.vendor == kAmdVendor && cpu_family(words.leaf1_eax) >= kAmdZen3Family)) {
            features.add(CpuFeature::fast_pext);
        }
    }
    // XCR0 means something only where the OS has enabled XSAVE.
    const std::uint64_t os_state = has_bit(words.leaf1_ecx, kOsxsaveBit) ? words.xcr0 : 0;
    if (!has_bit(words.leaf1_ecx, kAvxBit) || (os_state & kYmmState) != kYmmState) {
        return features;
    }
    if (has_bit(leaf7_ebx, kAvx2Bit)) {
        features.add(CpuFeature::avx2);
    }
    if (has_bit(words.leaf1_ecx, kFmaBit)) {
        features.add(CpuFeature::fma);
    }
    if ((os_state & kZmmState) != kZmmState) {
        return features;
    }
    if (has_bit(leaf7_ebx, kAvx512fBit)) {
        features.add(CpuFeature::avx512f);
    }
    if (has_bit(leaf7_ebx, kAvx512bwBit)) {
        features.add(CpuFeature::avx512bw);
    }
    if (has_bit(leaf7_ecx, kAvx512VbmiBit)) {
        features.add(CpuFeature::avx512vbmi);
    }
    if (has_bit(leaf7_ecx, kAvx512Vbmi2Bit)) {
        features.add(CpuFeature::avx512vbmi2);
    }
    return features;
}

#if COMM_READ_X86_CPUID

CpuFeatures detect_cpu_features()
{
    X86CpuidWords words{};
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    __cpuid(0, eax, ebx, ecx, edx);
    words.max_leaf = eax;
    words.vendor = ebx;
    if (words.max_leaf < 1) {
        return {};
    }
    __cpuid(1, eax, ebx, ecx, edx);
    words.leaf1_eax = eax;
    words.leaf1_ecx = ecx;
    if (words.max_leaf >= 7) {
        __cpuid_count(7, 0, eax, ebx, ecx, edx);
        words.leaf7_ebx = ebx;
        words.leaf7_ecx = ecx;
    }
    if (has_bit(words.leaf1_ecx, kOsxsaveBit)) {  // XGETBV faults without it
        unsigned low = 0;
        unsigned high = 0;
        __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
        words.xcr0 = (std::uint64_t{high} << 32) | low;
    }
    return x86_features(words);
}

#else

// No detection for this architecture yet: only paths that need no feature run.
CpuFeatures detect_cpu_features()
{
    return {};
}

#endif

}  // namespace comm::detail
