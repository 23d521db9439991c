// The two rules every path shares: value -> sample level, and level -> value.
// C++ only; the library, the round-trip program and the tests all use these.
#ifndef COMM_SAMPLE_LEVEL_HPP
#define COMM_SAMPLE_LEVEL_HPP

#if __cplusplus < 202002L
#error "comm's sources are C++20: compile them with -std=c++20 (its header Comm.h is C99 and any C++)"
#endif

#include <array>
#include <bit>
#include <cstdint>

namespace comm {

// The float nearest to num / den, rounded once from the exact quotient (ties to
// even). Needs 0 <= num <= den, den >= 1. Integer arithmetic throughout: a
// quotient first rounded to double and then to float can round twice the
// wrong way.
constexpr float nearest_float(std::uint32_t num, std::uint32_t den)
{
    if (num == 0) {
        return 0.0F;
    }
    // Scale num so that scaled / den lies in [2^23, 2^24): a 24-bit mantissa.
    // scaled < 2^57, so it fits in 64 bits for any 32-bit den.
    int shift = 24 + static_cast<int>(std::bit_width(den)) - static_cast<int>(std::bit_width(num));
    std::uint64_t scaled = std::uint64_t{num} << shift;
    if (scaled >= std::uint64_t{den} << 24) {
        --shift;
        scaled >>= 1;  // exact: shift was at least 24
    }
    std::uint64_t mantissa = scaled / den;
    const std::uint64_t twice_rem = 2 * (scaled % den);
    if (twice_rem > den || (twice_rem == den && (mantissa & 1) != 0)) {
        ++mantissa;  // may reach 2^24; the carry below moves it into the exponent
    }
    // value = mantissa * 2^-shift, always a normal float here (shift <= 56).
    const auto biased_exponent = static_cast<std::uint32_t>(127 + 23 - shift);
    return std::bit_cast<float>((biased_exponent << 23) + static_cast<std::uint32_t>(mantissa - (1U << 23)));
}

// Value -> level: trunc(x * 255). The product of a float and 255 is exact in
// double precision, so truncating it is exact too. Out of range is clamped
// before any conversion, which would otherwise be undefined; NaN fails the
// first comparison and gives 0. Written without branches so that a loop of
// them compiles to vector code.
constexpr std::uint8_t quantise(float x)
{
    const float non_negative = x > 0.0F ? x : 0.0F;
    const float clamped = non_negative < 1.0F ? non_negative : 1.0F;
    return static_cast<std::uint8_t>(static_cast<double>(clamped) * 255.0);
}

// For vector code, which cannot use the double product or the table below
// cheaply, the same two rules in float arithmetic (the tests check both forms
// for every input):
//  - quantise(x) is trunc(clamp(x, 0, 1) * kLevelScale) with the product
//    rounded to float: for every float in [0, 1] it truncates to the same
//    level as the exact product;
//  - level_value(b) is fma(b, kLevelStepHigh, b * kLevelStepLow): 1/255 split
//    into two floats, exact for all 256 levels, where b * (1.0F / 255) is
//    wrong for 126 of them;
//  - level_value(b) is also the 32-bit word with b in each of its four bytes
//    (b * 0x01010101), converted to float rounding up, times kLevelWordScale
//    (2^-32, exact). For b / 255 * 2^32 is that word plus b / 255, and the
//    bits a float drops from the word are b's own bits, at least half a unit:
//    the nearest float to b / 255 * 2^32 is always the word rounded up;
//  - level_value(b) is also, for b > 0, the float b * kLevelProductScale
//    (0x1.0101p-8, exact: b's bits times 0x10101 fit a float's 24) with one
//    added to its bits. That product falls short of b / 255 by b / 255 *
//    2^-24: more than half a unit in its last place and at most one, so the
//    float one up is the nearest. No step rounds: any rounding mode gives it.
inline constexpr float kLevelScale = 255.0F;
inline constexpr float kLevelStepHigh = 1.0F / 255.0F;
inline constexpr float kLevelStepLow = static_cast<float>(1.0 / 255.0 - static_cast<double>(kLevelStepHigh));
inline constexpr float kLevelWordScale = 0x1p-32F;
inline constexpr float kLevelProductScale = 0x1.0101p-8F;

// Level -> value: the float nearest to b / 255, one entry per level.
inline constexpr std::array<float, 256> level_values = [] {
    std::array<float, 256> table{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        table[b] = nearest_float(b, 255);
    }
    return table;
}();

constexpr float level_value(std::uint8_t b)
{
    return level_values[b];
}

}  // namespace comm

#endif  // COMM_SAMPLE_LEVEL_HPP
