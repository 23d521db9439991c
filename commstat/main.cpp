// commstat [options] FILE...: how small the codec makes your samples, in how
// many packets, how fast, and whether they come back intact.
#include <cstdio>
#include <span>

#include "commstat/commstat.hpp"

int main(int argc, char** argv)
{
    return commstat::run(std::span<const char* const>(argv, static_cast<size_t>(argc)), {stdin, stdout, stderr});
}
