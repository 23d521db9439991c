// The benchmark's tables: every coder and the framing as multiples of a memcpy
// timed in the same run. Each cell is the median over the repetitions and, in
// brackets, the fastest and slowest repetition over the same median memcpy, so
// the machine's noise shows.
#ifndef BENCH_RATIO_TABLE_HPP
#define BENCH_RATIO_TABLE_HPP

#include <benchmark/benchmark.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "bench/spread.hpp"
#include "bench/timed_blocks.hpp"

namespace bench {

// The "model name" line of /proc/cpuinfo, or "unknown".
std::string cpu_model();

// The peer the coders are timed against, with its version, or why there is none.
std::string peer_description();

// Passes the runs to the display reporter chosen on the command line (unless
// only the table is wanted), keeps each benchmark's CPU time per iteration for
// every repetition, and at the end prints the tables. `columns` are the
// implementations of the coders, then the peer; `picked` is the path the
// library's dispatch runs; `blocks` must outlive it.
class RatioTable final : public benchmark::BenchmarkReporter {
public:
    RatioTable(benchmark::BenchmarkReporter* display, bool table_only, const std::deque<Block>& blocks,
               std::vector<std::string> columns, std::string picked);

    bool ReportContext(const Context& context) override { return display_->ReportContext(context); }
    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;

    // True when a benchmark reported wrong output instead of a time.
    [[nodiscard]] bool failed() const { return !errors_.empty(); }

private:
    [[nodiscard]] std::string cell(const std::string& name, const std::string& baseline) const;
    [[nodiscard]] Spread spread(const std::string& name) const;
    void print(std::ostream& out) const;
    void print_coders(std::ostream& out) const;
    void print_sizes(std::ostream& out) const;
    [[nodiscard]] std::string slower_cells(const std::string& path, const std::vector<std::string>& others) const;
    void print_picked(std::ostream& out) const;
    void print_framing(std::ostream& out) const;
    static std::string row(const std::vector<std::string>& cells);
    void print_errors(std::ostream& out) const;

    benchmark::BenchmarkReporter* display_;
    bool table_only_;
    const std::deque<Block>& blocks_;
    std::vector<std::string> columns_;
    std::string picked_;
    std::map<std::string, std::vector<double>> times_;  // CPU ns per iteration, one per repetition
    std::map<std::string, std::string> errors_;
};

}  // namespace bench

#endif  // BENCH_RATIO_TABLE_HPP
