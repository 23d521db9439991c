// `comm COMMAND ...`: the table of commands and the entry point that picks one.
#ifndef COMM_TOOL_COMMANDS_HPP
#define COMM_TOOL_COMMANDS_HPP

#include <span>

#include "cli/tool.hpp"

namespace comm_tool {

// Runs `comm` on `argv` (argv[0] being the program's name) and returns its
// exit status: 0 on success, 1 when data was damaged or a round trip failed,
// 2 on bad input or options, with one line on err.
int run(std::span<const char* const> argv, const Streams& streams);

}  // namespace comm_tool

#endif  // COMM_TOOL_COMMANDS_HPP
