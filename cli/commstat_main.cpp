// commstat [options] FILE...: the name `comm stat` had before it joined `comm`.
#include <cstdio>
#include <span>

#include "cli/stat.hpp"

int main(int argc, char** argv)
{
    return comm_tool::run_stat(std::span<const char* const>(argv, static_cast<size_t>(argc)), {stdin, stdout, stderr});
}
