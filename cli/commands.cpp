#include "cli/commands.hpp"

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "cli/stat.hpp"

namespace comm_tool {
namespace {

struct CommandEntry {
    const char* name;
    const char* summary;
    int (*run)(std::span<const char* const> argv, const Streams& streams);
};

int stat_with_library_methods(std::span<const char* const> argv, const Streams& streams)
{
    return run_stat(argv, streams);
}

constexpr std::array kCommands{
    CommandEntry{"stat", "measure the codec on sample files (also installed as commstat)", stat_with_library_methods},
};

std::string usage()
{
    std::string text = "Usage: comm COMMAND [options] ...\n\nCommands:\n";
    for (const CommandEntry& command : kCommands) {
        text += fmt::format("  {:<8}  {}\n", command.name, command.summary);
    }
    text += "\n`comm COMMAND --help` describes a command; `comm --version` prints the version.\n";
    return text;
}

}  // namespace

int run(std::span<const char* const> argv, const Streams& streams)
{
    const std::string_view first = argv.size() > 1 ? argv[1] : "";
    if (first == "--help" || first == "-h") {
        fmt::print(streams.out, "{}", usage());
        return 0;
    }
    if (first == "--version") {
        fmt::print(streams.out, "{}\n", version_line());
        return 0;
    }
    for (const CommandEntry& command : kCommands) {
        if (first == command.name) {
            const std::string name = fmt::format("comm {}", command.name);
            std::vector<const char*> rest(argv.begin() + 1, argv.end());
            rest.front() = name.c_str();
            return command.run(rest, streams);
        }
    }
    fmt::print(streams.err, "comm: {} (see comm --help)\n",
               first.empty() ? std::string("a command is required") : fmt::format("no command {}", first));
    return 2;
}

}  // namespace comm_tool
