#include "cli/methods.hpp"

#include <algorithm>
#include <array>
#include <memory>

namespace comm_tool {
namespace {

constexpr std::array kLibraryMethods{
    CodecMethod{"pairs", "pair", "pair (encode)", encode, decode, split, merge, COMM_WIRE_PAIRS},
    CodecMethod{"escaped", "escaped", "escaped (encode2)", encode2, decode2, split, merge, COMM_WIRE_ESCAPED},
    CodecMethod{"deltas", "deltas", "deltas (encode3)", encode3, decode3, split, merge, COMM_WIRE_DELTAS},
};

}  // namespace

std::span<const CodecMethod> library_methods()
{
    return kLibraryMethods;
}

std::optional<size_t> find_method(std::span<const CodecMethod> methods, std::string_view name)
{
    for (size_t m = 0; m < methods.size(); ++m) {
        if (name == methods[m].name) {
            return m;
        }
    }
    return std::nullopt;
}

const CodecMethod* method_of_wire(std::span<const CodecMethod> methods, uint8_t wire_method)
{
    const auto found = std::find_if(methods.begin(), methods.end(), [wire_method](const CodecMethod& method) {
        return method.wire_method == wire_method;
    });
    return found != methods.end() ? std::addressof(*found) : nullptr;
}

std::optional<size_t> smallest_stream(std::span<const int32_t> stream_bytes)
{
    std::optional<size_t> best;
    for (size_t m = 0; m < stream_bytes.size(); ++m) {
        if (stream_bytes[m] > 0 && (!best || stream_bytes[m] < stream_bytes[*best])) {
            best = m;
        }
    }
    return best;
}

}  // namespace comm_tool
