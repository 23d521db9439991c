// The blocks the benchmark times: eight kinds of data, each the same on every
// run and every machine (speech: wherever the same espeak-ng wrote it), so
// that figures from different runs compare.
#ifndef BENCH_DATA_SETS_HPP
#define BENCH_DATA_SETS_HPP

#include <array>
#include <cstdint>
#include <vector>

namespace bench {

enum class DataSet {
    uniform,    // the round-trip program's block: rand() / RAND_MAX, rounded once, after a fixed srand
    plateau,    // runs of 30 to 50 equal levels (about 40), each level unlike its neighbours'
    long_runs,  // runs of 257 to 1000 equal levels: every run is cut at least once by either coder
    heavy_255,  // half the values at level 255, alone or in short runs; the rest uniform
    sensor_fine,    // a slow sine with gaussian noise of half a level
    sensor_coarse,  // the same sine with noise of three levels
    speech,         // a synthesised voice (espeak-ng, 16-bit) where the build wrote one, else a voiced signal
    white_noise,    // gaussian noise of 40 levels around mid-range
};

inline constexpr std::array<DataSet, 8> kDataSets = {
    DataSet::uniform,     DataSet::plateau,       DataSet::long_runs, DataSet::heavy_255,
    DataSet::sensor_fine, DataSet::sensor_coarse, DataSet::speech,    DataSet::white_noise};

// Whether the speech set is a recorded voice (the build found espeak-ng) rather
// than the synthetic voiced signal.
bool speech_is_recorded();

// The round-trip program's block size, in which every data set is timed.
inline constexpr std::int32_t kBlockValues = 1900;

// The seed the uniform block is made with, as the round-trip program would be
// seeded.
inline constexpr unsigned kUniformSeed = 20240611U;

const char* data_set_name(DataSet set);

// The first n values of a data set: a shorter block of a set is the start of
// a longer one. The uniform set reseeds the C library's rand (and leaves it
// seeded); the others use generators of their own.
std::vector<float> make_data_set(DataSet set, std::int32_t n);

}  // namespace bench

#endif  // BENCH_DATA_SETS_HPP
