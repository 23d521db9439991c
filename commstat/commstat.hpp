// commstat: measures the codec on the user's own sample files. The whole
// program but main lives here, so that the tests can run it in-process.
#ifndef COMMSTAT_COMMSTAT_HPP
#define COMMSTAT_COMMSTAT_HPP

#include <cstdio>
#include <span>

#include "commstat/measure.hpp"

namespace commstat {

struct Streams {
    std::FILE* in;   // read for the input "-"
    std::FILE* out;  // the report
    std::FILE* err;  // error lines and, on a terminal, progress
};

// Runs the program on `argv` (argv[0] being its name) with `methods` and
// returns its exit status: 0 when every block came back intact, 1 when one
// did not, 2 on bad input or options (one line on err, nothing on out).
int run(std::span<const char* const> argv, const Streams& streams,
        std::span<const CodecMethod> methods = library_methods());

}  // namespace commstat

#endif  // COMMSTAT_COMMSTAT_HPP
