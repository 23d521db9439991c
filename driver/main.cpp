// comm_roundtrip: checks the codec end to end on a random block and prints a
// report. Exit status 0 when every check passed, 1 when one failed, 2 when it
// could not start (no packet storage, no seed).
#include <cstdio>
#include <cstdlib>

#include "driver/round_trip.hpp"

int main()
{
    auto* packets = static_cast<packet*>(std::calloc(round_trip::kPacketSlots, sizeof(packet)));
    if (packets == nullptr) {
        std::fputs("comm_roundtrip: cannot allocate packet storage\n", stderr);
        return 2;
    }

    uint32_t seed = 0;
    std::FILE* random = std::fopen("/dev/urandom", "r");
    const bool seeded = random != nullptr && std::fread(&seed, sizeof seed, 1, random) == 1;
    if (random != nullptr) {
        std::fclose(random);
    }
    if (!seeded) {
        std::fputs("comm_roundtrip: cannot read a seed from /dev/urandom\n", stderr);
        std::free(packets);
        return 2;
    }

    const int status = round_trip::run_report(seed, packets, stdout);
    std::free(packets);
    return status;
}
