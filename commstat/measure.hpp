// Puts blocks of samples through each coding method and the packet framing,
// checks that every block comes back intact, and adds up sizes and times.
#ifndef COMMSTAT_MEASURE_HPP
#define COMMSTAT_MEASURE_HPP

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "comm/Comm.h"

namespace commstat {

// The largest block: the most values a decoder gives back for one stream.
inline constexpr int32_t kMaxBlock = DECODE_MAX_VALUES;
inline constexpr int32_t kDefaultBlock = 1900;

// The functions one method goes through, and its names in the reports.
struct CodecMethod {
    const char* key;    // JSON key, e.g. "pair"
    const char* label;  // table row, e.g. "pair (encode)"
    int32_t (*encode)(const float*, uint8_t*, int32_t);
    int32_t (*decode)(const uint8_t*, float*, int32_t);
    int32_t (*split)(const uint8_t*, packet*, int32_t);
    int32_t (*merge)(const packet*, uint8_t*, int32_t);
};

// The library's two methods, pair coding first.
std::span<const CodecMethod> library_methods();

// Where a method first failed to give a block back intact.
struct Failure {
    uint64_t block;        // index of the block in its input
    uint64_t first_value;  // index of the block's first value in its input
    std::string what;
};

// Time spent in each step of a method, in seconds.
struct MethodTimes {
    double encode = 0;
    double split = 0;
    double merge = 0;
    double byte_check = 0;
    double decode = 0;
    double level_check = 0;
};

struct MethodStats {
    uint64_t stream_bytes = 0;
    uint64_t packets = 0;
    uint64_t failed_blocks = 0;
    std::optional<Failure> first_failure;  // kept for one input, not in totals
    MethodTimes seconds;

    void add(const MethodStats& other);
};

// What one input gave, or several added up.
struct Stats {
    uint64_t values = 0;
    uint64_t blocks = 0;
    uint64_t input_bytes = 0;  // as read: float32 bytes or text
    uint64_t below_zero = 0;   // -inf included
    uint64_t above_one = 0;    // +inf included
    uint64_t nan = 0;
    double read_seconds = 0;   // reading and parsing
    double scan_seconds = 0;   // range counts and the original levels
    double total_seconds = 0;  // everything, from opening the input on
    std::vector<MethodStats> methods;

    explicit Stats(size_t method_count) : methods(method_count) {}
    void add(const Stats& other);
    [[nodiscard]] uint64_t out_of_range() const { return below_zero + above_one + nan; }
    [[nodiscard]] bool round_trip_ok() const;
};

// Runs blocks through every method, with the buffers for the largest block.
class BlockRunner {
public:
    explicit BlockRunner(std::span<const CodecMethod> methods) : methods_(methods) {}

    // Puts one block of 1 to kMaxBlock values through every method and adds
    // the results to `stats`, whose methods match the runner's.
    void run(std::span<const float> block, Stats& stats);

private:
    // Packets for the longest stream an encoder may write (2 bytes a value).
    static constexpr int32_t kPacketSlots = (2 * kMaxBlock + PACKET_DATA_SIZE - 1) / PACKET_DATA_SIZE;

    std::optional<std::string> run_method(const CodecMethod& method, std::span<const float> block, MethodStats& stats);

    std::span<const CodecMethod> methods_;
    std::array<uint8_t, kMaxBlock> levels_{};
    std::array<uint8_t, size_t{2} * kMaxBlock> encoded_{};
    std::array<uint8_t, size_t{kPacketSlots} * PACKET_DATA_SIZE> merged_{};
    std::array<packet, kPacketSlots> packets_{};
    std::array<float, DECODE_MAX_VALUES> decoded_{};
    std::array<float, kMaxBlock> expected_{};  // the values of the block's levels
};

}  // namespace commstat

#endif  // COMMSTAT_MEASURE_HPP
