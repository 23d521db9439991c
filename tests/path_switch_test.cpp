// The public functions run the path COMM_SIMD names (capped to what the CPU
// runs); CTest runs this program once per value of the variable.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comm/Comm.h"
#include "comm/codec_paths.hpp"
#include "reference/reference.hpp"

namespace {

TEST(PathSwitch, PublicFunctionsRunTheChosenPath)
{
    const char* requested = std::getenv(comm::detail::kPathVariable);  // NOLINT(concurrency-mt-unsafe)
    const comm::detail::CodecPath& active = comm::detail::active_path();
    EXPECT_EQ(&active, &comm::detail::choose_path(comm::detail::runnable_paths(), requested));
    if (requested != nullptr && comm::detail::find_path(requested) != nullptr) {
        EXPECT_EQ(std::string(active.name), requested);
    }
    // The result is the library's either way.
    const std::vector<float> values = reference::values_of({7, 7, 7, 40, 255, 255, 0});
    uint8_t stream[14];
    ASSERT_EQ(encode2(values.data(), stream, 7), 8);
    EXPECT_EQ(reference::Bytes(stream, stream + 8), reference::encode_escaped(reference::levels_of(values)));
}

}  // namespace
