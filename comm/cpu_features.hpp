// The instruction-set features a CPU offers and its operating system enables,
// as a set: what the run-time choices among the library's code paths test
// against. Internal to the library and its tests.
//
// A feature counts as present only when the program can use it: vector
// features whose registers the operating system does not save on a context
// switch are absent, whatever the CPU says.
#ifndef COMM_CPU_FEATURES_HPP
#define COMM_CPU_FEATURES_HPP

#include <cstdint>
#include <initializer_list>
#include <numeric>

namespace comm::detail {

enum class CpuFeature : std::uint8_t {
    // x86-64
    sse42,        // SSE4.2, with its CRC-32C instruction
    pclmul,       // PCLMULQDQ: carry-less multiplication
    popcnt,       // POPCNT
    avx2,         // AVX2 (and AVX)
    fma,          // FMA3
    bmi1,         // BMI1
    bmi2,         // BMI2
    avx512f,      // AVX-512 Foundation
    avx512bw,     // AVX-512 byte and word instructions
    avx512vbmi,   // AVX-512 VBMI: byte permutes across the register
    avx512vbmi2,  // AVX-512 VBMI2: byte and word compress and expand
    fast_pext,    // BMI2's PEXT and PDEP in a few cycles, not microcoded (see x86_features)
    // AArch64
    arm_crc32,  // the CRC32 and CRC32C instructions (optional before ARMv8.1)
};

class CpuFeatures {
public:
    constexpr CpuFeatures() = default;
    constexpr CpuFeatures(std::initializer_list<CpuFeature> features) noexcept
        : bits_(std::accumulate(features.begin(), features.end(), std::uint32_t{0},
                                [](std::uint32_t bits, CpuFeature f) { return bits | bit(f); }))
    {
    }

    [[nodiscard]] constexpr bool has(CpuFeature f) const { return (bits_ & bit(f)) != 0; }
    // Whether every feature of `needed` is here.
    [[nodiscard]] constexpr bool covers(CpuFeatures needed) const { return (needed.bits_ & ~bits_) == 0; }
    constexpr CpuFeatures& add(CpuFeature f)
    {
        bits_ |= bit(f);
        return *this;
    }
    friend constexpr bool operator==(CpuFeatures, CpuFeatures) = default;

private:
    static constexpr std::uint32_t bit(CpuFeature f) { return std::uint32_t{1} << static_cast<unsigned>(f); }
    std::uint32_t bits_ = 0;
};

// The features of the CPU this runs on, read once per call (callers keep the
// result). Empty on an architecture the library has no detection for.
CpuFeatures detect_cpu_features();

// What x86 CPUID and XGETBV report, as detection reads them.
struct X86CpuidWords {
    std::uint32_t max_leaf;   // CPUID leaf 0, EAX: the highest basic leaf
    std::uint32_t vendor;     // CPUID leaf 0, EBX: the vendor string's first four bytes
    std::uint32_t leaf1_eax;  // CPUID leaf 1, EAX: family, model and stepping
    std::uint32_t leaf1_ecx;  // CPUID leaf 1, ECX
    std::uint32_t leaf7_ebx;  // CPUID leaf 7 subleaf 0, EBX
    std::uint32_t leaf7_ecx;  // CPUID leaf 7 subleaf 0, ECX
    std::uint64_t xcr0;       // XGETBV(0): register state the OS saves; read only where leaf 1 has OSXSAVE
};

// The features those words grant. Pure, so that tests can give any CPU and
// operating system. `fast_pext` needs BMI2 from Intel, or from AMD's family
// 19h on (Zen 3): Zen 1 and 2 run PEXT and PDEP in microcode, tens of cycles
// each; other vendors' CPUs are not assumed to be fast.
CpuFeatures x86_features(const X86CpuidWords& words);

}  // namespace comm::detail

#endif  // COMM_CPU_FEATURES_HPP
