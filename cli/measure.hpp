// Puts blocks of samples through each coding method and the packet framing,
// checks that every block comes back intact, and adds up sizes and times.
#ifndef COMM_TOOL_MEASURE_HPP
#define COMM_TOOL_MEASURE_HPP

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/methods.hpp"
#include "comm/Comm.h"

namespace comm_tool {

// The largest block: the most values a decoder gives back for one stream.
inline constexpr int32_t kMaxBlock = DECODE_MAX_VALUES;
inline constexpr int32_t kDefaultBlock = 1900;

// The functions one method goes through, and its names in the reports.
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

// How far the decoded values lie from the originals, over the values in
// [0, 1] (the others are clamped, and their error says nothing about the
// quantiser). The quantiser truncates, so the error is never positive.
struct QuantisationError {
    uint64_t values = 0;
    double largest = 0;         // largest |decoded - original|
    double sum = 0;             // of decoded - original
    double sum_squares = 0;     // of (decoded - original)^2
    double signal_squares = 0;  // of original^2

    void add(const QuantisationError& other);
    [[nodiscard]] double mean_bias() const;
    [[nodiscard]] double rms() const;
    // Signal-to-noise ratio in dB; infinite when no value moved.
    [[nodiscard]] double snr_db() const;
};

// What `auto` gives: each block coded by the method that makes it smallest.
struct AutoStats {
    uint64_t stream_bytes = 0;
    uint64_t packets = 0;
    uint64_t failed_blocks = 0;    // blocks whose chosen method failed
    std::vector<uint64_t> chosen;  // blocks coded by each method

    void add(const AutoStats& other);
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
    AutoStats automatic;
    QuantisationError error;

    explicit Stats(size_t method_count) : methods(method_count) { automatic.chosen.resize(method_count); }
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

    // What one method did with the block in hand.
    struct Outcome {
        int32_t stream_bytes = 0;  // 0: the encoder failed
        int32_t packets = 0;
        bool failed = false;
    };

    std::optional<std::string> run_method(const CodecMethod& method, std::span<const float> block, MethodStats& stats,
                                          Outcome& outcome);
    void measure_error(std::span<const float> block, QuantisationError& error);
    void add_auto_choice(AutoStats& stats);

    std::span<const CodecMethod> methods_;
    std::array<uint8_t, kMaxBlock> levels_{};
    std::array<uint8_t, size_t{2} * kMaxBlock> encoded_{};
    std::array<uint8_t, size_t{kPacketSlots} * PACKET_DATA_SIZE> merged_{};
    std::array<packet, kPacketSlots> packets_{};
    std::array<float, DECODE_MAX_VALUES> decoded_{};
    std::array<float, kMaxBlock> expected_{};  // the values of the block's levels
    std::vector<Outcome> outcomes_;            // of the block in hand, a method each
    std::vector<int32_t> sizes_;
};

}  // namespace comm_tool

#endif  // COMM_TOOL_MEASURE_HPP
