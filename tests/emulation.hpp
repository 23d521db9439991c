// Cross builds run their tests under an emulator (qemu-user), 10 to 50 times
// slower than the CPU itself, where the build defines COMM_TESTS_EMULATED.
// There the longest checks cover one part in kEmulatedThinning of what they
// cover natively, chosen to keep the cases each one is known for.
#ifndef COMM_TESTS_EMULATION_HPP
#define COMM_TESTS_EMULATION_HPP

#include <cstdint>

#ifdef COMM_TESTS_EMULATED
inline constexpr int64_t kEmulatedThinning = 16;
#else
inline constexpr int64_t kEmulatedThinning = 1;
#endif

#endif  // COMM_TESTS_EMULATION_HPP
