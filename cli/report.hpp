// The two forms of the results: tables for people, one JSON document for
// scripts. Both are built whole before anything is printed.
#ifndef COMM_TOOL_REPORT_HPP
#define COMM_TOOL_REPORT_HPP

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "cli/measure.hpp"

namespace comm_tool {

struct InputStats {
    std::string name;  // as given: "-" for standard input
    Stats stats;
};

struct Results {
    int32_t block;
    std::span<const CodecMethod> methods;
    std::vector<InputStats> inputs;
    Stats total;
};

// A table per input and, for more than one, a table of the total.
std::string text_report(const Results& results);

std::string json_report(const Results& results);

}  // namespace comm_tool

#endif  // COMM_TOOL_REPORT_HPP
