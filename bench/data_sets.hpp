// The blocks the benchmark times: four kinds of data, each the same on every
// run and every machine, so that figures from different runs compare.
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
};

inline constexpr std::array<DataSet, 4> kDataSets = {DataSet::uniform, DataSet::plateau, DataSet::long_runs,
                                                     DataSet::heavy_255};

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
