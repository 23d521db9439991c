// comm COMMAND [options] ...: packs samples into packets and back, checks and
// lists packet files, sends and receives them, and measures the codec.
#include <cstdio>
#include <span>

#include "cli/commands.hpp"

int main(int argc, char** argv)
{
    return comm_tool::run(std::span<const char* const>(argv, static_cast<size_t>(argc)), {stdin, stdout, stderr});
}
