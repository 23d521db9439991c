#include "cli/commands.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "cli/packets.hpp"
#include "cli/stat.hpp"

namespace comm_tool {
namespace {

struct CommandEntry {
    const char* name;
    const char* summary;
    // cppcheck-suppress unusedStructMember ; called through the entry find_if finds
    int (*run)(std::span<const char* const> argv, const Streams& streams);
};

int stat_with_library_methods(std::span<const char* const> argv, const Streams& streams)
{
    return run_stat(argv, streams);
}

constexpr std::array kCommands{
    CommandEntry{"pack", "code float32 samples as a .comm file of wire packets", run_pack},
    CommandEntry{"unpack", "decode a .comm file back to float32, naming any lost block", run_unpack},
    CommandEntry{"test", "check a .comm file, writing nothing", run_test},
    CommandEntry{"list", "list a .comm file's streams, blocks, methods, sizes and damage", run_list},
    CommandEntry{"info", "the same as list", run_list},
    CommandEntry{"send", "send a .comm file's packets as UDP datagrams", run_send},
    CommandEntry{"recv", "receive UDP datagrams and write the blocks as float32", run_recv},
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
    const auto* command = std::find_if(kCommands.begin(), kCommands.end(),
                                       [first](const CommandEntry& entry) { return first == entry.name; });
    if (command != kCommands.end()) {
        const std::string name = fmt::format("comm {}", command->name);
        std::vector<const char*> rest(argv.begin() + 1, argv.end());
        rest.front() = name.c_str();
        return command->run(rest, streams);
    }
    fmt::print(streams.err, "comm: {} (see comm --help)\n",
               first.empty() ? std::string("a command is required") : fmt::format("no command {}", first));
    return 2;
}

}  // namespace comm_tool
