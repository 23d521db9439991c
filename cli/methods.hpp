// The coding methods the tool knows, in one list: `comm stat` measures each,
// and `auto` (in `comm stat` and `comm pack`) chooses among all of them.
#ifndef COMM_TOOL_METHODS_HPP
#define COMM_TOOL_METHODS_HPP

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "comm/Comm.h"
#include "comm/wire.h"

namespace comm_tool {

// The functions one method goes through, and its names in the reports.
struct CodecMethod {
    const char* name = nullptr;   // on the command line, e.g. "pairs"
    const char* key = nullptr;    // JSON key, e.g. "pair"
    const char* label = nullptr;  // table row, e.g. "pair (encode)"
    int32_t (*encode)(const float*, uint8_t*, int32_t) = nullptr;
    int32_t (*decode)(const uint8_t*, float*, int32_t) = nullptr;
    int32_t (*split)(const uint8_t*, packet*, int32_t) = nullptr;
    int32_t (*merge)(const packet*, uint8_t*, int32_t) = nullptr;
    uint8_t wire_method = 0;  // its method byte in wire packets (comm/wire.h)
};

// Every method of the library, in the order the reports show them.
std::span<const CodecMethod> library_methods();

// The method whose wire method byte is `wire_method`, if there is one.
const CodecMethod* method_of_wire(std::span<const CodecMethod> methods, uint8_t wire_method);

// The method called `name` in `methods`, if there is one.
std::optional<size_t> find_method(std::span<const CodecMethod> methods, std::string_view name);

// The `auto` choice for one block: the index of the smallest of
// `stream_bytes` (one entry a method; 0 or less for a method that failed to
// encode), the earliest on a tie; none when every method failed.
std::optional<size_t> smallest_stream(std::span<const int32_t> stream_bytes);

}  // namespace comm_tool

#endif  // COMM_TOOL_METHODS_HPP
