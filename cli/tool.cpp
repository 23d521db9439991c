#include "cli/tool.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli/numbers.hpp"
#include "comm/Comm.h"

namespace comm_tool {

std::string version_line()
{
    return fmt::format("comm {}.{}.{}", COMM_VERSION_MAJOR, COMM_VERSION_MINOR, COMM_VERSION_PATCH);
}

void Command::add_verbosity(CLI::App& app)
{
    app.add_flag("-q,--quiet", quiet_count_, "say nothing but errors and damage");
    app.add_flag("-v,--verbose", verbose_count_, "say more");
}

void Command::add_force(CLI::App& app, bool& force)
{
    app.add_flag("-f,--force", force, "overwrite OUT if it exists");
}

std::optional<int> Command::parse(CLI::App& app, std::span<const char* const> argv)
{
    bool version = false;
    app.add_flag("--version", version, "print the version and exit");
    try {
        app.parse(static_cast<int>(argv.size()), argv.data());
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
            fmt::print(streams_.out, "{}", app.help());
            return 0;
        }
        // A required argument missing is no error when the version was asked for.
        if (!version) {
            error(fmt::format("{} (see --help)", e.what()));
            return 2;
        }
    }
    if (version) {
        fmt::print(streams_.out, "{}\n", version_line());
        return 0;
    }
    verbosity_ = verbose_count_ - quiet_count_;
    return std::nullopt;
}

void Command::error(const std::string& message) const
{
    fmt::print(streams_.err, "{}: {}\n", name_, message);
    std::fflush(streams_.err);
}

void Command::note(const std::string& message) const
{
    if (!quiet()) {
        error(message);
    }
}

void Command::detail(const std::string& message) const
{
    if (verbose()) {
        error(message);
    }
}

int64_t whole_option(const std::string& option, const std::string& text, int64_t lowest, int64_t highest)
{
    if (const std::optional<int64_t> value = parse_whole(text, lowest, highest)) {
        return *value;
    }
    throw InputError(fmt::format("{} {} is not a whole number in {}..{}", option, text, lowest, highest));
}

double positive_option(const std::string& option, const std::string& text)
{
    const std::optional<double> value = parse_double(text);
    if (!value || !(*value > 0.0) || std::isinf(*value)) {
        throw InputError(fmt::format("{} {} is not a number above 0", option, text));
    }
    return *value;
}

std::string grouped(uint64_t n)
{
    std::string digits = fmt::format("{}", n);
    for (size_t at = digits.size(); at > 3; at -= 3) {
        digits.insert(at - 3, 1, ',');
    }
    return digits;
}

std::string display_name(const std::string& name, bool output)
{
    if (name != "-") {
        return name;
    }
    return output ? "standard output" : "standard input";
}

InputFile::InputFile(const std::string& name, const Streams& streams)
    : name_(display_name(name)), file_(name == "-" ? streams.in : std::fopen(name.c_str(), "rb")), owned_(name != "-")
{
    if (file_ == nullptr) {
        throw InputError(fmt::format("{}: cannot open: {}", name_, std::strerror(errno)));
    }
    struct stat info {};
    if (fstat(fileno(file_), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            if (owned_) {
                std::fclose(file_);
            }
            throw InputError(fmt::format("{}: is a directory", name_));
        }
        size_ = S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0;
    }
}

InputFile::~InputFile()
{
    if (owned_) {
        std::fclose(file_);
    }
}

size_t InputFile::read(std::span<std::uint8_t> bytes)
{
    const size_t got = std::fread(bytes.data(), 1, bytes.size(), file_);
    if (got < bytes.size() && std::ferror(file_) != 0) {
        throw InputError(fmt::format("{}: cannot read: {}", name_, std::strerror(errno)));
    }
    bytes_read_ += got;
    return got;
}

Output::Output(const std::string& name, bool force, const Streams& streams)
    : name_(display_name(name, true)), owned_(name != "-")
{
    if (!owned_) {
        if (isatty(fileno(streams.out)) != 0) {
            throw InputError("will not write binary output to a terminal; name a file or redirect it");
        }
        file_ = streams.out;
        return;
    }
    struct stat info {};
    if (!force && stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        throw InputError(fmt::format("{}: already exists; -f overwrites it", name));
    }
    file_ = std::fopen(name.c_str(), "wb");
    if (file_ == nullptr) {
        throw InputError(fmt::format("{}: cannot create: {}", name, std::strerror(errno)));
    }
    if (isatty(fileno(file_)) != 0) {
        std::fclose(file_);
        file_ = nullptr;
        throw InputError(fmt::format("{}: is a terminal; will not write binary output to it", name));
    }
}

Output::~Output()
{
    if (owned_ && file_ != nullptr) {
        std::fclose(file_);
    }
}

void Output::fail() const
{
    throw InputError(fmt::format("{}: cannot write: {}", name_, std::strerror(errno)));
}

void Output::write(const void* bytes, size_t size)
{
    if (size > 0 && std::fwrite(bytes, 1, size, file_) != size) {
        fail();
    }
    written_ += size;
}

void Output::finish()
{
    if (std::fflush(file_) != 0) {
        fail();
    }
    if (owned_) {
        std::FILE* file = file_;
        file_ = nullptr;
        if (std::fclose(file) != 0) {
            fail();
        }
    }
}

Progress::Progress(const Command& command)
    : command_(command), enabled_(!command.quiet() && isatty(fileno(command.streams().err)) != 0)
{
}

void Progress::start()
{
    started_ = last_ = Clock::now();
}

void Progress::update(const std::string& what, uint64_t done, uint64_t total)
{
    const Clock::time_point now = Clock::now();
    if (!enabled_ || now - started_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(200)) {
        return;
    }
    last_ = now;
    std::FILE* err = command_.streams().err;
    const double mb = static_cast<double>(done) / 1e6;
    if (total > 0) {
        fmt::print(err, "\r{}: {}: {:.0f} of {:.0f} MB ({:.0f}%)\x1b[K", command_.name(), what, mb,
                   static_cast<double>(total) / 1e6, 100.0 * static_cast<double>(done) / static_cast<double>(total));
    } else {
        fmt::print(err, "\r{}: {}: {:.0f} MB\x1b[K", command_.name(), what, mb);
    }
    std::fflush(err);
    shown_ = true;
}

void Progress::clear()
{
    if (shown_) {
        std::fputs("\r\x1b[K", command_.streams().err);
        std::fflush(command_.streams().err);
        shown_ = false;
    }
}

}  // namespace comm_tool
