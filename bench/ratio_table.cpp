#include "bench/ratio_table.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>
#include <utility>

#include "bench/spread.hpp"

#if COMM_BENCHMARK_LZ4
#include <lz4.h>
#endif

#ifndef COMM_BENCHMARK_BUILD_TYPE
#define COMM_BENCHMARK_BUILD_TYPE "unknown"
#endif

namespace bench {

// The "model name" line of /proc/cpuinfo, or "unknown".
std::string cpu_model()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            const size_t colon = line.find(':');
            const size_t start = line.find_first_not_of(" \t", colon == std::string::npos ? line.size() : colon + 1);
            return start == std::string::npos ? "unknown" : line.substr(start);
        }
    }
    return "unknown";
}

std::string peer_description()
{
#if COMM_BENCHMARK_LZ4
    return std::string("LZ4 ") + LZ4_versionString();
#else
    return "none: built without LZ4 (liblz4 not found), so there is no peer column";
#endif
}

RatioTable::RatioTable(benchmark::BenchmarkReporter* display, bool table_only, const std::deque<Block>& blocks,
                       std::vector<std::string> columns, std::string picked)
    : display_(display),
      table_only_(table_only),
      blocks_(blocks),
      columns_(std::move(columns)),
      picked_(std::move(picked))
{
}

void RatioTable::ReportRuns(const std::vector<Run>& runs)
{
    for (const Run& run : runs) {
        if (run.run_type != Run::RT_Iteration) {
            continue;
        }
        const std::string& name = run.run_name.function_name;
        if (run.error_occurred) {
            errors_[name] = run.error_message;
        } else if (run.iterations > 0) {
            times_[name].push_back(run.GetAdjustedCPUTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit));
        }
    }
    if (!table_only_) {
        display_->ReportRuns(runs);
    }
}

void RatioTable::Finalize()
{
    display_->Finalize();
    // Beside the console report on stdout; on stderr when stdout carries JSON or CSV.
    const bool console = dynamic_cast<benchmark::ConsoleReporter*>(display_) != nullptr;
    print(console ? display_->GetOutputStream() : display_->GetErrorStream());
}

// The cell of one benchmark over a baseline: its ratio, "ERROR", or "-" when not run.
std::string RatioTable::cell(const std::string& name, const std::string& baseline) const
{
    if (errors_.count(name) != 0) {
        return "ERROR";
    }
    return ratio_cell(spread(name), spread(baseline));
}

Spread RatioTable::spread(const std::string& name) const
{
    const auto found = times_.find(name);
    return found == times_.end() ? Spread{} : spread_of(found->second);
}

void RatioTable::print(std::ostream& out) const
{
    if (times_.empty() && errors_.empty()) {
        return;
    }
    size_t reps = 0;
    for (const auto& [name, times] : times_) {
        reps = std::max(reps, times.size());
    }
    out << "\ncomm coders as multiples of a memcpy of the block's n*4 float bytes, timed in the same run\n"
        << "CPU " << cpu_model() << ", " << COMM_BENCHMARK_BUILD_TYPE << " build, peer " << peer_description()
        << "\ncell: median CPU time over " << reps
        << " repetition(s) / median memcpy time [fastest..slowest repetition]; 1.00 is the copy\n";
#if COMM_BENCHMARK_LZ4
    out << "lz4: LZ4_compress_default in the encode rows, LZ4_decompress_safe in the decode rows, on the\n"
        << "block's level bytes (n bytes in, no quantising, no float output)\n";
#endif
    out << '\n';
    print_coders(out);
    out << "\nsplit and merge (one routine on every path) as multiples of a memcpy of the block's float bytes\n"
        << "and of a memcpy of the stream's bytes\n\n";
    print_framing(out);
    print_errors(out);
    out.flush();
}

void RatioTable::print_coders(std::ostream& out) const
{
    std::vector<std::string> heading{"data set / n / function"};
    heading.insert(heading.end(), columns_.begin(), columns_.end());
    out << row(heading);
    for (const Block& block : blocks_) {
        const std::string baseline = bench_name(block, kMemcpy, kFloats);
        if (spread(baseline).count == 0 && errors_.count(baseline) == 0) {
            continue;  // filtered out
        }
        for (const Coder coder : kCoders) {
            std::vector<std::string> cells{block.group + " " + coder_name(coder)};
            for (const std::string& column : columns_) {
                const std::string name =
                    column == kPeer ? bench_name(block, is_encoder(coder) ? "lz4_compress" : "lz4_decompress", kPeer)
                                    : bench_name(block, coder_name(coder), column);
                cells.push_back(cell(name, baseline));
            }
            out << row(cells);
        }
        out << '\n';
    }
    print_picked(out);
    print_sizes(out);
}

// Every function and data set on which `path` is slower than one of `others`
// beyond the spread of both, a line each.
std::string RatioTable::slower_cells(const std::string& path, const std::vector<std::string>& others) const
{
    std::string slower;
    for (const Block& block : blocks_) {
        const std::string baseline = bench_name(block, kMemcpy, kFloats);
        for (const Coder coder : kCoders) {
            const std::string timed = bench_name(block, coder_name(coder), path);
            for (const std::string& other_path : others) {
                const std::string other = bench_name(block, coder_name(coder), other_path);
                if (slower_beyond_spread(spread(timed), spread(other))) {
                    slower.append("  ").append(block.group).append(" ").append(coder_name(coder)).append(": ");
                    slower.append(path).append(" ").append(cell(timed, baseline)).append(", ");
                    slower.append(other_path).append(" ").append(cell(other, baseline)).append("\n");
                }
            }
        }
    }
    return slower;
}

// Where the path the dispatch picks is slower than another path, it would pay
// to skip; where a path is slower than one ranked below it (the columns are
// in rank order), the dispatch would pick the slower one on a CPU that has
// nothing higher.
void RatioTable::print_picked(std::ostream& out) const
{
    std::vector<std::string> paths;
    std::copy_if(columns_.begin(), columns_.end(), std::back_inserter(paths),
                 [](const std::string& column) { return column != kBefore && column != kPeer; });
    std::vector<std::string> others;
    std::copy_if(paths.begin(), paths.end(), std::back_inserter(others),
                 [&](const std::string& path) { return path != picked_; });
    const std::string slower = slower_cells(picked_, others);
    out << "the path the dispatch picks (" << picked_
        << ") against the others, slower beyond both spreads:" << (slower.empty() ? " nowhere\n" : "\n" + slower);
    std::string below_rank;
    for (size_t rank = 1; rank < paths.size(); ++rank) {
        below_rank += slower_cells(paths[rank], {paths.begin(), paths.begin() + static_cast<std::ptrdiff_t>(rank)});
    }
    out << "each path against those ranked below it, slower beyond both spreads:"
        << (below_rank.empty() ? " nowhere\n" : "\n" + below_rank) << '\n';
}

namespace {

// Three decimals, where ratios near 1 matter.
std::string three_places(double x)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", x);
    return text;
}

}  // namespace

// The stream sizes, which explain much of the spread between data sets, and
// the delta stream's against LZ4's and the smaller run-length stream's.
void RatioTable::print_sizes(std::ostream& out) const
{
    out << "stream bytes per block:";
    for (const Block& block : blocks_) {
        if (spread(bench_name(block, kMemcpy, kFloats)).count == 0) {
            continue;
        }
        out << "\n  " << block.group << ": floats " << block.values.size() * sizeof(float) << ", pair "
            << block.pair.size() << ", escaped " << block.escaped.size() << ", deltas " << block.deltas.size();
        if (!block.lz4.empty()) {
            const double ratio = static_cast<double>(block.deltas.size()) / static_cast<double>(block.lz4.size());
            const size_t smaller = std::min(block.pair.size(), block.escaped.size());
            const double over_runs = static_cast<double>(block.deltas.size()) / static_cast<double>(smaller);
            out << ", lz4 " << block.lz4.size() << " (deltas " << three_places(ratio) << " x lz4, "
                << three_places(over_runs) << " x the smaller run-length stream)";
        }
        if (!block.followers.empty()) {
            out << "; the first of " << block.followers.size() + 1 << " blocks timed";
        }
    }
    out << '\n';
}

void RatioTable::print_framing(std::ostream& out) const
{
    out << row(
        {"data set / n / stream (bytes)", "split x floats", "split x stream", "merge x floats", "merge x stream"});
    for (const Block& block : blocks_) {
        const std::string floats = bench_name(block, kMemcpy, kFloats);
        for (const std::string_view stream : kStreams) {
            const std::string copy = bench_name(block, kMemcpy, stream);
            const std::string split_name = bench_name(block, kFraming[0], stream);
            const std::string merge_name = bench_name(block, kFraming[1], stream);
            if (spread(split_name).count == 0 && spread(merge_name).count == 0 && errors_.count(split_name) == 0 &&
                errors_.count(merge_name) == 0) {
                continue;  // filtered out
            }
            const std::string label = block.group + " " + std::string(stream) + " (" +
                                      std::to_string(named_stream(block, stream).size()) + ")";
            out << row({label, cell(split_name, floats), cell(split_name, copy), cell(merge_name, floats),
                        cell(merge_name, copy)});
        }
    }
}

// A table line: the label in kLabel columns, then the cells in kCell each
// (a longer one pushes the rest right by what it overflows, and one space).
std::string RatioTable::row(const std::vector<std::string>& cells)
{
    constexpr size_t kLabel = 31;
    constexpr size_t kCell = 20;
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) {
        line += cells[i];
        if (i + 1 < cells.size()) {
            const size_t end = kLabel + kCell * i;
            line.append(std::max(end, line.size() + 1) - line.size(), ' ');
        }
    }
    return line + '\n';
}

void RatioTable::print_errors(std::ostream& out) const
{
    if (errors_.empty()) {
        return;
    }
    out << "\nWRONG OUTPUT (no time taken):\n";
    for (const auto& [name, message] : errors_) {
        out << "  " << name << ": " << message << '\n';
    }
}

}  // namespace bench
