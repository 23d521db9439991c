#include "cli/input.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fmt/format.h>

#include "cli/numbers.hpp"

namespace comm_tool {
namespace {

// Text is read in pieces of this size; a longer line is no number.
constexpr size_t kTextPiece = size_t{1} << 20;

std::string quoted(std::string_view text)
{
    constexpr size_t kShown = 40;
    std::string shown(text.substr(0, kShown));
    std::replace_if(
        shown.begin(), shown.end(), [](char c) { return c < ' ' || c == '\x7F'; }, '?');
    return fmt::format("\"{}{}\"", shown, text.size() > kShown ? "..." : "");
}

std::string_view trimmed(std::string_view line)
{
    constexpr std::string_view kBlank = " \t\r";
    const size_t first = line.find_first_not_of(kBlank);
    if (first == std::string_view::npos) {
        return {};
    }
    return line.substr(first, line.find_last_not_of(kBlank) - first + 1);
}

}  // namespace

void check_inputs(std::span<const std::string> names, Format format, std::FILE* standard_input)
{
    if (std::count(names.begin(), names.end(), "-") > 1) {
        throw InputError("standard input (-) can be read only once");
    }
    for (const std::string& name : names) {
        std::FILE* file = name == "-" ? standard_input : std::fopen(name.c_str(), "rb");
        if (file == nullptr) {
            throw InputError(fmt::format("{}: cannot open: {}", name, std::strerror(errno)));
        }
        struct stat info {};
        const bool known = fstat(fileno(file), &info) == 0;
        if (file != standard_input) {
            std::fclose(file);
        }
        if (known && S_ISDIR(info.st_mode)) {
            throw InputError(fmt::format("{}: is a directory, not a file of samples", name));
        }
        if (!known || !S_ISREG(info.st_mode)) {
            continue;  // a pipe or a device: checked as it is read
        }
        if (info.st_size == 0) {
            throw InputError(fmt::format("{}: empty input, no values", display_name(name)));
        }
        if (format == Format::raw && info.st_size % 4 != 0) {
            throw InputError(fmt::format("{}: {} bytes is not a whole number of 4-byte float32 values",
                                         display_name(name), info.st_size));
        }
    }
}

Input::Input(const std::string& name, Format format, std::FILE* standard_input)
    : name_(display_name(name)),
      format_(format),
      file_(name == "-" ? standard_input : std::fopen(name.c_str(), "rb")),
      owned_(name != "-")
{
    if (file_ == nullptr) {
        throw InputError(fmt::format("{}: cannot open: {}", name_, std::strerror(errno)));
    }
    struct stat info {};
    if (fstat(fileno(file_), &info) == 0 && S_ISREG(info.st_mode)) {
        size_ = static_cast<uint64_t>(info.st_size);
    }
    if (format_ == Format::text) {
        text_.resize(kTextPiece);
    }
}

Input::~Input()
{
    if (owned_) {
        std::fclose(file_);
    }
}

size_t Input::read(std::span<float> values)
{
    return format_ == Format::raw ? read_raw(values) : read_text(values);
}

void Input::fail_read() const
{
    throw InputError(fmt::format("{}: cannot read: {}", name_, std::strerror(errno)));
}

// The bytes go straight into the values: a float32 file is the values' own
// representation on a little-endian machine.
size_t Input::read_raw(std::span<float> values)
{
    const size_t got = std::fread(values.data(), 1, values.size_bytes(), file_);
    if (got < values.size_bytes() && std::ferror(file_) != 0) {
        fail_read();
    }
    bytes_read_ += got;
    if (got % sizeof(float) != 0) {
        throw InputError(
            fmt::format("{}: {} bytes is not a whole number of 4-byte float32 values", name_, bytes_read_));
    }
    const size_t count = got / sizeof(float);
    if constexpr (std::endian::native == std::endian::big) {
        for (float& value : values.first(count)) {
            value = std::bit_cast<float>(__builtin_bswap32(std::bit_cast<uint32_t>(value)));
        }
    }
    return count;
}

size_t Input::read_text(std::span<float> values)
{
    size_t count = 0;
    while (count < values.size()) {
        const char* begin = text_.data() + begin_;
        const char* end = text_.data() + end_;
        const auto* newline = static_cast<const char*>(std::memchr(begin, '\n', end_ - begin_));
        if (newline == nullptr) {
            if (refill_text()) {
                continue;
            }
            if (begin == end) {
                break;  // the input ended with its last line
            }
            newline = end;  // a last line without a newline
        }
        ++line_;
        const size_t next = std::min(end_, static_cast<size_t>(newline - text_.data()) + 1);
        if (trimmed(std::string_view(begin, static_cast<size_t>(newline - begin))).empty()) {
            if (ends_input(next)) {
                break;  // most text files end with a blank line
            }
            throw InputError(fmt::format("{}: line {} is empty, not a number", name_, line_));
        }
        values[count++] = parse_line(begin, newline);
        begin_ = next;
    }
    return count;
}

// Tells whether the input ends at `next`; may consume the buffered text, so
// the line before it is no longer at hand.
bool Input::ends_input(size_t next)
{
    if (next < end_) {
        return false;
    }
    begin_ = end_;
    return !refill_text() || begin_ == end_;
}

// Moves the unparsed bytes to the front and reads more after them. Returns
// false at the end of the input.
bool Input::refill_text()
{
    if (at_end_) {
        return false;
    }
    std::memmove(text_.data(), text_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
    if (end_ == text_.size()) {
        throw InputError(
            fmt::format("{}: line {} is longer than {} bytes, not a number", name_, line_ + 1, text_.size()));
    }
    const size_t got = std::fread(text_.data() + end_, 1, text_.size() - end_, file_);
    if (got < text_.size() - end_) {
        if (std::ferror(file_) != 0) {
            fail_read();
        }
        at_end_ = true;
    }
    end_ += got;
    bytes_read_ += got;
    return true;
}

float Input::parse_line(const char* begin, const char* end) const
{
    const std::string_view line(begin, static_cast<size_t>(end - begin));
    if (const std::optional<float> value = parse_float(trimmed(line))) {
        return *value;
    }
    throw InputError(fmt::format("{}: line {} is not a number: {}", name_, line_, quoted(line)));
}

}  // namespace comm_tool
