// The summary the benchmark's table gives of a benchmark's repeated times, and
// how it prints them as multiples of a baseline.
#ifndef BENCH_SPREAD_HPP
#define BENCH_SPREAD_HPP

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

struct Spread {
    double median = 0.0;
    double min = 0.0;
    double max = 0.0;
    std::size_t count = 0;
};

// The median (the mean of the middle two for an even count), least and
// greatest of `times`; all zero for none.
inline Spread spread_of(std::vector<double> times)
{
    if (times.empty()) {
        return {};
    }
    std::sort(times.begin(), times.end());
    const std::size_t mid = times.size() / 2;
    const double median = times.size() % 2 == 1 ? times[mid] : (times[mid - 1] + times[mid]) / 2.0;
    return {median, times.front(), times.back(), times.size()};
}

// Three significant digits or more, and never an exponent: 0.823, 3.41, 68.1, 123.
inline std::string figure(double x)
{
    char text[32];
    const char* format = x >= 100.0 ? "%.0f" : x >= 10.0 ? "%.1f" : "%.2f";
    std::snprintf(text, sizeof text, format, x);
    return text;
}

// "median [min..max]" of `times`, each divided by the baseline's median, as in
// "3.41 [3.30..3.90]"; "-" without a positive baseline.
inline std::string ratio_cell(const Spread& times, const Spread& baseline)
{
    if (times.count == 0 || baseline.count == 0 || baseline.median <= 0.0) {
        return "-";
    }
    const double base = baseline.median;
    return figure(times.median / base) + " [" + figure(times.min / base) + ".." + figure(times.max / base) + "]";
}

// Whether `a` is slower than `b` beyond the machine's noise: a's fastest
// repetition slower than b's slowest. Two runs of one code rarely pass this.
inline bool slower_beyond_spread(const Spread& a, const Spread& b)
{
    return a.count != 0 && b.count != 0 && a.min > b.max;
}

}  // namespace bench

#endif  // BENCH_SPREAD_HPP
