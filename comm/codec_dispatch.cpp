// Chooses the coder path once: the built paths whose features the CPU offers,
// then the COMM_SIMD cap.
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "comm/codec_paths.hpp"
#include "comm/cpu_features.hpp"

namespace comm::detail {
namespace {

constexpr std::size_t kRows = std::size(kBuiltPaths);
static_assert(kRows < 31, "a set of rows is a 32-bit mask with one flag bit");

// Every subset of the built paths in table order, indexed by its mask of rows
// (bit i for row i). The runnable list is thus picked at run time, not
// written: threads that race at the first call share one atomic and nothing
// else.
constexpr std::size_t kSubsetCount = std::size_t{1} << kRows;
constexpr auto kSubsets = [] {
    std::array<std::array<const CodecPath*, kRows>, kSubsetCount> lists{};
    for (std::size_t rows = 0; rows != kSubsetCount; ++rows) {
        std::size_t n = 0;
        for (std::size_t row = 0; row < kRows; ++row) {
            if (((rows >> row) & 1U) != 0) {
                lists[rows][n++] = kBuiltPaths[row];
            }
        }
    }
    return lists;
}();

std::uint32_t runnable_rows(CpuFeatures features)
{
    std::uint32_t rows = 0;
    for (std::size_t row = 0; row < kRows; ++row) {
        if (features.covers(kBuiltPaths[row]->needs)) {
            rows |= std::uint32_t{1} << row;
        }
    }
    return rows;
}

std::span<const CodecPath* const> list_of(std::uint32_t rows)
{
    return {kSubsets[rows].data(), static_cast<std::size_t>(std::popcount(rows))};
}

// The position of the path called `name` in the table; kRows if none is.
std::size_t rank_of(std::string_view name)
{
    const auto* const found = std::find_if(std::begin(kBuiltPaths), std::end(kBuiltPaths),
                                           [name](const CodecPath* p) { return name == p->name; });
    return static_cast<std::size_t>(found - std::begin(kBuiltPaths));
}

// The choices, made at the first call. Atomics rather than function-local
// statics, so the library needs no C++ runtime support when linked into C
// programs; threads that race at the first call work out the same values.
constexpr std::uint32_t kDetected = std::uint32_t{1} << 31;
constinit std::atomic<std::uint32_t> g_runnable_rows{0};
constinit std::atomic<const CodecPath*> g_active{nullptr};

}  // namespace

std::span<const CodecPath* const> runnable_paths_for(CpuFeatures features)
{
    return list_of(runnable_rows(features));
}

std::span<const CodecPath* const> runnable_paths()
{
    std::uint32_t rows = g_runnable_rows.load(std::memory_order_relaxed);
    if (rows == 0) {
        rows = runnable_rows(detect_cpu_features()) | kDetected;
        g_runnable_rows.store(rows, std::memory_order_relaxed);
    }
    return list_of(rows & ~kDetected);
}

const CodecPath& choose_path(std::span<const CodecPath* const> runnable, const char* requested)
{
    // No cap, or an unknown name, ranks above every path.
    const std::size_t cap = requested == nullptr ? kRows : rank_of(requested);
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
