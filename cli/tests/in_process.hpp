// A command of the comm tool run in-process, on temporary files for its
// streams, and what it returned and printed.
#ifndef COMM_TOOL_TESTS_IN_PROCESS_HPP
#define COMM_TOOL_TESTS_IN_PROCESS_HPP

#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli/tool.hpp"

namespace in_process {

struct Result {
    int status = 0;
    std::string out;
    std::string err;
};

// All of `file` from its start; closes it.
inline std::string slurp(std::FILE* file)
{
    std::string text(static_cast<size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    EXPECT_EQ(std::fread(text.data(), 1, text.size(), file), text.size());
    std::fclose(file);
    return text;
}

// Runs `command(argv, streams)` with argv[0] `name` and then `args`; `in`
// (an empty file when null, closed afterwards) is its standard input.
template <class Command>
Result run(const Command& command, const char* name, const std::vector<std::string>& args, std::FILE* in = nullptr)
{
    std::vector<const char*> argv{name};
    argv.reserve(args.size() + 1);
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    in = in != nullptr ? in : std::tmpfile();
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int status = command(std::span<const char* const>(argv), comm_tool::Streams{in, out, err});
    std::fclose(in);
    return {status, slurp(out), slurp(err)};
}

}  // namespace in_process

#endif  // COMM_TOOL_TESTS_IN_PROCESS_HPP
