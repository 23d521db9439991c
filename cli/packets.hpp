// The commands on .comm files: `comm pack`, `unpack`, `test` and `list`
// (`info`), and on datagrams: `comm send` and `recv`. Each takes argv with
// argv[0] its name, as in its messages, and returns its exit status: 0, 1
// when data was lost or damaged (each loss named on err), 2 on bad input or
// options (one line on err).
#ifndef COMM_TOOL_PACKETS_HPP
#define COMM_TOOL_PACKETS_HPP

#include <span>

#include "cli/tool.hpp"

namespace comm_tool {

int run_pack(std::span<const char* const> argv, const Streams& streams);
int run_unpack(std::span<const char* const> argv, const Streams& streams);
int run_test(std::span<const char* const> argv, const Streams& streams);
int run_list(std::span<const char* const> argv, const Streams& streams);
int run_send(std::span<const char* const> argv, const Streams& streams);
int run_recv(std::span<const char* const> argv, const Streams& streams);

}  // namespace comm_tool

#endif  // COMM_TOOL_PACKETS_HPP
