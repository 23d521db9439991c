// One rule for every number the tool reads, in option values and in text
// sample files alike: decimal, as from_chars reads it (an exponent, nan and
// inf included), with an optional leading '+'; no hexadecimal, no spaces, no
// trailing characters.
#ifndef COMM_TOOL_NUMBERS_HPP
#define COMM_TOOL_NUMBERS_HPP

#include <cstdint>
#include <optional>
#include <string_view>

namespace comm_tool {

// A number as a float. Beyond the float range it gives what strtof gives: an
// infinity, or zero or a subnormal.
std::optional<float> parse_float(std::string_view token);

// A number as a double, under the same rule.
std::optional<double> parse_double(std::string_view token);

// A whole number in [lowest, highest] under the same rule, so "1e3" is 1000;
// none for a fraction, a value out of range, nan or inf.
std::optional<int64_t> parse_whole(std::string_view token, int64_t lowest, int64_t highest);

}  // namespace comm_tool

#endif  // COMM_TOOL_NUMBERS_HPP
