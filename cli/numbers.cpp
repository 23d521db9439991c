#include "cli/numbers.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <system_error>

namespace comm_tool {
namespace {

template <typename Number>
std::optional<Number> parse(std::string_view token)
{
    if (token.starts_with('+') && token.size() > 1 && token[1] != '-') {
        token.remove_prefix(1);
    }
    Number value = 0;
    const auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (end != token.data() + token.size() || token.empty()) {
        return std::nullopt;
    }
    if (error == std::errc::result_out_of_range) {
        const std::string copy(token);
        if constexpr (sizeof(Number) == sizeof(float)) {
            return std::strtof(copy.c_str(), nullptr);
        } else {
            return std::strtod(copy.c_str(), nullptr);
        }
    }
    if (error != std::errc{}) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<float> parse_float(std::string_view token)
{
    return parse<float>(token);
}

std::optional<double> parse_double(std::string_view token)
{
    return parse<double>(token);
}

std::optional<int64_t> parse_whole(std::string_view token, int64_t lowest, int64_t highest)
{
    const std::optional<double> value = parse<double>(token);
    // The comparisons fail for nan; the range check keeps the conversion defined.
    if (!value || !(*value >= static_cast<double>(lowest) && *value <= static_cast<double>(highest)) ||
        std::trunc(*value) != *value) {
        return std::nullopt;
    }
    return static_cast<int64_t>(*value);
}

}  // namespace comm_tool
