// Chooses the coder path once: CPU detection, then the COMM_SIMD cap.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <span>
#include <string_view>

#include "comm/codec_paths.hpp"

#if COMM_X86_PATHS
#include <cpuid.h>
#endif

namespace comm::detail {
namespace {

#if COMM_X86_PATHS

struct CpuSupport {
    bool avx2 = false;
    bool avx512 = false;
};

// Which vector paths the CPU has and the operating system saves the registers of.
CpuSupport detect_cpu()
{
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid_max(0, nullptr) < 7 || __get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return {};
    }
    const bool osxsave = (ecx & bit_OSXSAVE) != 0;
    const bool fma = (ecx & bit_FMA) != 0;
    if (!osxsave || (ecx & bit_AVX) == 0 || !fma) {
        return {};
    }
    unsigned xcr0_low = 0;
    unsigned xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    constexpr unsigned kSseAvxState = 0x06;         // XMM and YMM registers
    constexpr unsigned kAvx512State = 0xE0 | 0x06;  // opmask, ZMM 0-15 upper halves, ZMM 16-31
    if ((xcr0_low & kSseAvxState) != kSseAvxState) {
        return {};
    }
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    CpuSupport support;
    support.avx2 = (ebx & bit_AVX2) != 0 && (ebx & bit_BMI) != 0 && (ebx & bit_BMI2) != 0;
    support.avx512 = support.avx2 && (ebx & bit_AVX512F) != 0 && (ebx & bit_AVX512BW) != 0 &&
                     (xcr0_low & kAvx512State) == kAvx512State;
    return support;
}

#endif

// Every path built, slowest first. A CPU runs a prefix of it: a CPU with the
// AVX-512 path's instructions has the AVX2 path's as well.
#if COMM_X86_PATHS
constexpr std::array<const CodecPath*, 3> kBuilt = {&portable_path, &avx2_path, &avx512_path};
#else
constexpr std::array<const CodecPath*, 1> kBuilt = {&portable_path};
#endif

// How many of kBuilt this CPU runs.
std::size_t detect_runnable()
{
#if COMM_X86_PATHS
    const CpuSupport cpu = detect_cpu();
    return cpu.avx512 ? 3 : (cpu.avx2 ? 2 : 1);
#else
    return 1;
#endif
}

// The choices, made at the first call. Atomics rather than function-local
// statics, so the library needs no C++ runtime support when linked into C
// programs; threads that race at the first call work out the same values.
constinit std::atomic<std::size_t> g_runnable{0};
constinit std::atomic<const CodecPath*> g_active{nullptr};

// Every path name, slowest first, whether built and runnable or not.
constexpr std::array<std::string_view, 3> kPathNames = {"portable", "avx2", "avx512"};

std::size_t rank_of(std::string_view name)
{
    return static_cast<std::size_t>(std::find(kPathNames.begin(), kPathNames.end(), name) - kPathNames.begin());
}

}  // namespace

std::span<const CodecPath* const> runnable_paths()
{
    std::size_t runnable = g_runnable.load(std::memory_order_relaxed);
    if (runnable == 0) {
        runnable = detect_runnable();
        g_runnable.store(runnable, std::memory_order_relaxed);
    }
    return {kBuilt.data(), runnable};
}

const CodecPath& choose_path(std::span<const CodecPath* const> runnable, const char* requested)
{
    // No cap, or an unknown name, ranks above every path.
    const std::size_t cap = requested == nullptr ? kPathNames.size() : rank_of(requested);
    const CodecPath* chosen = runnable.front();
    for (const CodecPath* path : runnable) {
        if (rank_of(path->name) <= cap) {
            chosen = path;
        }
    }
    return *chosen;
}

const CodecPath& active_path()
{
    const CodecPath* active = g_active.load(std::memory_order_relaxed);
    if (active == nullptr) {
        // getenv is safe here: the library never sets the environment.
        active = &choose_path(runnable_paths(), std::getenv(kPathVariable));  // NOLINT(concurrency-mt-unsafe)
        g_active.store(active, std::memory_order_relaxed);
    }
    return *active;
}

const CodecPath* find_path(std::string_view name)
{
    const auto paths = runnable_paths();
    const auto found = std::find_if(paths.begin(), paths.end(), [name](const CodecPath* p) { return name == p->name; });
    return found == paths.end() ? nullptr : *found;
}

}  // namespace comm::detail
