#include "cli/measure.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include <fmt/format.h>

#include "comm/codec_paths.hpp"
#include "comm/sample_level.hpp"

namespace comm_tool {
namespace {

using Clock = std::chrono::steady_clock;

// Adds the time since `start` to `total` and restarts the clock.
void lap(Clock::time_point& start, double& total)
{
    const Clock::time_point now = Clock::now();
    total += std::chrono::duration<double>(now - start).count();
    start = now;
}

// The loops over values are plain loops of their own, free of branches, so
// that they compile to vector code.
void count_out_of_range(std::span<const float> values, Stats& stats)
{
    uint32_t below = 0;
    uint32_t above = 0;
    uint32_t nan = 0;
    for (const float x : values) {
        below += x < 0.0F ? 1U : 0U;
        above += x > 1.0F ? 1U : 0U;
        nan += std::isnan(x) ? 1U : 0U;
    }
    stats.below_zero += below;
    stats.above_one += above;
    stats.nan += nan;
}

// The library's own quantiser and level conversion, on the path the codec
// runs: far faster than a value at a time, and tested against the rules
// value by value.
void quantise_block(std::span<const float> values, uint8_t* levels)
{
    comm::detail::active_path().quantise(values.data(), levels, static_cast<int32_t>(values.size()));
}

// The library decodes a level to comm::level_value of it, which quantises back
// to that level; so a block whose values all match those, bit for bit, is
// intact, and only other blocks need their levels compared. `expected` has
// room for n values.
bool all_level_values(const float* decoded, const uint8_t* levels, size_t n, float* expected)
{
    comm::detail::active_path().level_values(levels, expected, static_cast<int32_t>(n));
    return std::memcmp(decoded, expected, n * sizeof(float)) == 0;
}

uint32_t count_level_mismatches(const float* decoded, const uint8_t* levels, size_t n)
{
    uint32_t mismatches = 0;
    for (size_t i = 0; i < n; ++i) {
        mismatches += comm::quantise(decoded[i]) != levels[i] ? 1U : 0U;
    }
    return mismatches;
}

}  // namespace

void MethodStats::add(const MethodStats& other)
{
    stream_bytes += other.stream_bytes;
    packets += other.packets;
    failed_blocks += other.failed_blocks;
    seconds.encode += other.seconds.encode;
    seconds.split += other.seconds.split;
    seconds.merge += other.seconds.merge;
    seconds.byte_check += other.seconds.byte_check;
    seconds.decode += other.seconds.decode;
    seconds.level_check += other.seconds.level_check;
}

void QuantisationError::add(const QuantisationError& other)
{
    values += other.values;
    largest = std::max(largest, other.largest);
    sum += other.sum;
    sum_squares += other.sum_squares;
    signal_squares += other.signal_squares;
}

double QuantisationError::mean_bias() const
{
    return values == 0 ? 0.0 : sum / static_cast<double>(values);
}

double QuantisationError::rms() const
{
    return values == 0 ? 0.0 : std::sqrt(sum_squares / static_cast<double>(values));
}

double QuantisationError::snr_db() const
{
    return sum_squares == 0.0 ? HUGE_VAL : 10.0 * std::log10(signal_squares / sum_squares);
}

void AutoStats::add(const AutoStats& other)
{
    stream_bytes += other.stream_bytes;
    packets += other.packets;
    failed_blocks += other.failed_blocks;
    for (size_t m = 0; m < chosen.size() && m < other.chosen.size(); ++m) {
        chosen[m] += other.chosen[m];
    }
}

void Stats::add(const Stats& other)
{
    values += other.values;
    blocks += other.blocks;
    input_bytes += other.input_bytes;
    below_zero += other.below_zero;
    above_one += other.above_one;
    nan += other.nan;
    read_seconds += other.read_seconds;
    scan_seconds += other.scan_seconds;
    total_seconds += other.total_seconds;
    for (size_t m = 0; m < methods.size() && m < other.methods.size(); ++m) {
        methods[m].add(other.methods[m]);
    }
    automatic.add(other.automatic);
    error.add(other.error);
}

bool Stats::round_trip_ok() const
{
    return std::all_of(methods.begin(), methods.end(), [](const MethodStats& m) { return m.failed_blocks == 0; });
}

void BlockRunner::run(std::span<const float> block, Stats& stats)
{
    Clock::time_point start = Clock::now();
    count_out_of_range(block, stats);
    quantise_block(block, levels_.data());
    measure_error(block, stats.error);
    lap(start, stats.scan_seconds);

    outcomes_.assign(methods_.size(), Outcome{});
    for (size_t m = 0; m < methods_.size(); ++m) {
        MethodStats& method_stats = stats.methods[m];
        if (auto what = run_method(methods_[m], block, method_stats, outcomes_[m])) {
            if (method_stats.failed_blocks == 0) {
                method_stats.first_failure = Failure{stats.blocks, stats.values, std::move(*what)};
            }
            ++method_stats.failed_blocks;
            outcomes_[m].failed = true;
        }
    }
    add_auto_choice(stats.automatic);
    ++stats.blocks;
    stats.values += block.size();
}

// The error of each value in [0, 1] against the value of its level. A plain
// loop of its own, free of branches, so that it vectorises.
void BlockRunner::measure_error(std::span<const float> block, QuantisationError& error)
{
    comm::detail::active_path().level_values(levels_.data(), expected_.data(), static_cast<int32_t>(block.size()));
    uint32_t values = 0;
    double largest = 0;
    double sum = 0;
    double sum_squares = 0;
    double signal_squares = 0;
    for (size_t i = 0; i < block.size(); ++i) {
        const double x = block[i];
        const bool in_range = x >= 0.0 && x <= 1.0;
        const double e = in_range ? static_cast<double>(expected_[i]) - x : 0.0;
        values += in_range ? 1U : 0U;
        largest = std::max(largest, std::abs(e));
        sum += e;
        sum_squares += e * e;
        signal_squares += in_range ? x * x : 0.0;
    }
    error.add({values, largest, sum, sum_squares, signal_squares});
}

void BlockRunner::add_auto_choice(AutoStats& stats)
{
    sizes_.resize(outcomes_.size());
    std::transform(outcomes_.begin(), outcomes_.end(), sizes_.begin(),
                   [](const Outcome& outcome) { return outcome.stream_bytes; });
    const std::optional<size_t> best = smallest_stream(sizes_);
    if (!best) {
        ++stats.failed_blocks;
        return;
    }
    const Outcome& chosen = outcomes_[*best];
    stats.stream_bytes += static_cast<uint64_t>(chosen.stream_bytes);
    stats.packets += static_cast<uint64_t>(chosen.packets);
    stats.failed_blocks += chosen.failed ? 1 : 0;
    ++stats.chosen[*best];
}

// One block through one method. Returns what went wrong, if anything; stops
// at the first fault, since every later step depends on the one before.
std::optional<std::string> BlockRunner::run_method(const CodecMethod& method, std::span<const float> block,
                                                   MethodStats& stats, Outcome& outcome)
{
    const auto n = static_cast<int32_t>(block.size());
    Clock::time_point start = Clock::now();

    const int32_t encoded_size = method.encode(block.data(), encoded_.data(), n);
    lap(start, stats.seconds.encode);
    if (encoded_size < 1 || encoded_size > 2 * n) {
        return fmt::format("encode gave {} bytes for {} values", encoded_size, n);
    }
    stats.stream_bytes += static_cast<uint64_t>(encoded_size);
    outcome.stream_bytes = encoded_size;

    const int32_t parts = method.split(encoded_.data(), packets_.data(), encoded_size);
    lap(start, stats.seconds.split);
    if (parts < 1 || parts > kPacketSlots) {
        return fmt::format("split gave {} packets for {} bytes", parts, encoded_size);
    }
    stats.packets += static_cast<uint64_t>(parts);
    outcome.packets = parts;

    const int32_t merged_size = method.merge(packets_.data(), merged_.data(), parts);
    lap(start, stats.seconds.merge);

    const bool same_bytes = merged_size == encoded_size &&
                            std::memcmp(merged_.data(), encoded_.data(), static_cast<size_t>(encoded_size)) == 0;
    lap(start, stats.seconds.byte_check);
    if (!same_bytes) {
        if (merged_size != encoded_size) {
            return fmt::format("merge gave {} bytes, not the {} encoded", merged_size, encoded_size);
        }
        const auto at = std::mismatch(encoded_.begin(), encoded_.begin() + encoded_size, merged_.begin());
        return fmt::format("merged byte {} is {}, encoded {}", at.first - encoded_.begin(), *at.second, *at.first);
    }

    const int32_t decoded_count = method.decode(merged_.data(), decoded_.data(), merged_size);
    lap(start, stats.seconds.decode);
    if (decoded_count != n) {
        return fmt::format("decode gave {} values, not {}", decoded_count, n);
    }

    const bool same_levels = all_level_values(decoded_.data(), levels_.data(), block.size(), expected_.data()) ||
                             count_level_mismatches(decoded_.data(), levels_.data(), block.size()) == 0;
    lap(start, stats.seconds.level_check);
    if (!same_levels) {
        size_t i = 0;
        while (comm::quantise(decoded_[i]) == levels_[i]) {
            ++i;
        }
        return fmt::format("value {} of the block came back at level {}, not {}", i, comm::quantise(decoded_[i]),
                           levels_[i]);
    }
    return std::nullopt;
}

}  // namespace comm_tool
