// The round-trip report: a seeded block of random samples through each coding
// method, the packet framing and back, checked byte for byte and level for level.
#ifndef DRIVER_ROUND_TRIP_HPP
#define DRIVER_ROUND_TRIP_HPP

#include <cstdint>
#include <cstdio>
#include <span>

#include "comm/Comm.h"

namespace round_trip {

inline constexpr int32_t kBlockValues = 1900;
inline constexpr int32_t kStreamBytes = 5700;
inline constexpr int32_t kPacketSlots = 10;

// The functions one method run goes through, with the titles of its report.
struct Method {
    const char* title;
    const char* underline;
    int32_t (*encode)(const float*, uint8_t*, int32_t);
    int32_t (*decode)(const uint8_t*, float*, int32_t);
    int32_t (*split)(const uint8_t*, packet*, int32_t);
    int32_t (*merge)(const packet*, uint8_t*, int32_t);
};

// The library's methods, in the order the report runs them.
std::span<const Method> library_methods();

// The float nearest to r / 2147483647 (r a result of rand), rounded once.
float sample_value(int32_t r);

// Seeds rand with `seed`, generates the block, prints the report to `out` and
// runs `methods` in order, using `packets` (kPacketSlots of them) for framing.
// A byte mismatch ends the report at once. Returns the program's exit status:
// 0 when every check printed "OK!", 1 when any printed an error line.
int run_report(uint32_t seed, packet* packets, std::FILE* out, std::span<const Method> methods = library_methods());

}  // namespace round_trip

#endif  // DRIVER_ROUND_TRIP_HPP
