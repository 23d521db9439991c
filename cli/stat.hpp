// `comm stat` (also installed as `commstat`): measures the codec on the
// user's own sample files.
#ifndef COMM_TOOL_STAT_HPP
#define COMM_TOOL_STAT_HPP

#include <span>

#include "cli/measure.hpp"
#include "cli/tool.hpp"

namespace comm_tool {

// Runs the command on `argv` (argv[0] being its name, as in its messages)
// with `methods` and returns its exit status: 0 when every block came back
// intact, 1 when one did not, 2 on bad input or options (one line on err,
// nothing on out).
int run_stat(std::span<const char* const> argv, const Streams& streams,
             std::span<const CodecMethod> methods = library_methods());

}  // namespace comm_tool

#endif  // COMM_TOOL_STAT_HPP
