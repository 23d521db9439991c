// Sample files: raw little-endian float32, or text with one number a line.
// Both are read in large pieces; "-" names standard input.
#ifndef COMM_TOOL_INPUT_HPP
#define COMM_TOOL_INPUT_HPP

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/tool.hpp"

namespace comm_tool {

enum class Format { raw, text };

// Refuses, before any is read, the inputs that can be told bad without
// reading them: missing, unreadable, a directory, empty, a raw file whose size
// is not whole values, standard input named twice.
void check_inputs(std::span<const std::string> names, Format format, std::FILE* standard_input);

class Input {
public:
    // Opens `name` ("-": `standard_input`, which stays open). Throws InputError.
    Input(const std::string& name, Format format, std::FILE* standard_input);
    ~Input();
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;
    Input(Input&&) = delete;
    Input& operator=(Input&&) = delete;

    // Reads values into `values` until it is full or the input ends, and
    // returns how many it read: fewer than values.size() only at the end.
    // Throws InputError on input that is not samples.
    size_t read(std::span<float> values);

    [[nodiscard]] const std::string& name() const { return name_; }
    [[nodiscard]] uint64_t bytes_read() const { return bytes_read_; }
    [[nodiscard]] std::optional<uint64_t> size() const { return size_; }  // of a regular file

private:
    size_t read_raw(std::span<float> values);
    size_t read_text(std::span<float> values);
    bool refill_text();
    bool ends_input(size_t next);
    float parse_line(const char* begin, const char* end) const;
    [[noreturn]] void fail_read() const;

    std::string name_;
    Format format_;
    std::FILE* file_;
    bool owned_;
    uint64_t bytes_read_ = 0;
    std::optional<uint64_t> size_;

    // Text: the buffered bytes are text_[begin_, end_); line_ lines parsed.
    std::vector<char> text_;
    size_t begin_ = 0;
    size_t end_ = 0;
    uint64_t line_ = 0;
    bool at_end_ = false;
};

}  // namespace comm_tool

#endif  // COMM_TOOL_INPUT_HPP
