// What every `comm` command shares: its streams, its messages, the options
// -q, -v, -f and --version, numbers in options, output files, and the
// progress line.
#ifndef COMM_TOOL_TOOL_HPP
#define COMM_TOOL_TOOL_HPP

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

namespace CLI {
class App;
}

namespace comm_tool {

struct Streams {
    std::FILE* in;   // read for the input "-"
    std::FILE* out;  // the output "-", or the report
    std::FILE* err;  // messages and, on a terminal, progress
};

// Bad input or options: the command prints the message as its one line on
// standard error and exits with status 2.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "comm 0.1.0": the program and the library's version.
std::string version_line();

// A command's name for its messages, its streams and how much it says.
class Command {
public:
    Command(std::string name, const Streams& streams) : name_(std::move(name)), streams_(streams) {}

    [[nodiscard]] const std::string& name() const { return name_; }
    [[nodiscard]] const Streams& streams() const { return streams_; }
    [[nodiscard]] bool quiet() const { return verbosity_ < 0; }
    [[nodiscard]] bool verbose() const { return verbosity_ > 0; }

    // Adds -q and -v to `app`.
    void add_verbosity(CLI::App& app);
    // Adds -f,--force to `app`, for commands that write OUT.
    static void add_force(CLI::App& app, bool& force);

    // Parses `argv` (argv[0] being the command's name), with --help and
    // --version answered on out. Returns the exit status when the command
    // is to stop: 0 after help or version, 2 after a line on err.
    std::optional<int> parse(CLI::App& app, std::span<const char* const> argv);

    // "NAME: message" on err, for errors and damage; printed even with -q.
    void error(const std::string& message) const;
    // The same, unless -q.
    void note(const std::string& message) const;
    // The same, only with -v.
    void detail(const std::string& message) const;

private:
    std::string name_;
    Streams streams_;
    int verbosity_ = 0;
    int quiet_count_ = 0;
    int verbose_count_ = 0;
};

// The value of a numeric option, under the rule of cli/numbers.hpp; throws
// InputError naming `option` when `text` is no whole number in
// [lowest, highest] (both within 2^53).
int64_t whole_option(const std::string& option, const std::string& text, int64_t lowest, int64_t highest);
// The same for a number above 0 that need not be whole.
double positive_option(const std::string& option, const std::string& text);

// A file read as bytes, or standard input for "-".
class InputFile {
public:
    // Throws InputError when the file cannot be opened or is a directory.
    InputFile(const std::string& name, const Streams& streams);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Reads up to bytes.size() bytes; fewer only at the end. Throws
    // InputError when reading fails.
    size_t read(std::span<std::uint8_t> bytes);

    [[nodiscard]] const std::string& name() const { return name_; }
    [[nodiscard]] uint64_t bytes_read() const { return bytes_read_; }
    [[nodiscard]] uint64_t size() const { return size_; }  // of a regular file, else 0

private:
    std::string name_;
    std::FILE* file_;
    bool owned_;
    uint64_t bytes_read_ = 0;
    uint64_t size_ = 0;
};

// Where a command writes its output: standard output for "-", else a file
// created or, with `force`, replaced. Binary output is refused on a terminal.
class Output {
public:
    // Throws InputError for a terminal, an existing file without `force`,
    // or a file that cannot be created.
    Output(const std::string& name, bool force, const Streams& streams);
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Throws InputError when the write fails (a full disk, a closed pipe).
    void write(const void* bytes, size_t size);
    // Flushes and closes; throws InputError when that fails.
    void finish();

    [[nodiscard]] const std::string& name() const { return name_; }
    [[nodiscard]] uint64_t bytes_written() const { return written_; }

private:
    [[noreturn]] void fail() const;

    std::string name_;
    std::FILE* file_ = nullptr;
    bool owned_;
    uint64_t written_ = 0;
};

// "standard input" or "standard output" for "-", else the name itself.
std::string display_name(const std::string& name, bool output = false);

// 1234567 -> "1,234,567": counts in messages and reports.
std::string grouped(uint64_t n);

// Bytes a command reads or writes at a time.
inline constexpr size_t kPiece = size_t{4} << 20;

// Runs `body` and turns an InputError into its line and status 2.
template <class Body>
int guarded(const Command& command, Body&& body)
{
    try {
        return body();
    } catch (const InputError& e) {
        command.error(e.what());
        return 2;
    }
}

// A line on standard error, redrawn in place, for long work; only when err
// is a terminal, not with -q, and once the work has taken a second.
class Progress {
public:
    explicit Progress(const Command& command);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress() { clear(); }

    void start();
    // `done` of `total` bytes (total unknown: 0) of `what`.
    void update(const std::string& what, uint64_t done, uint64_t total);
    void clear();

private:
    using Clock = std::chrono::steady_clock;

    const Command& command_;
    bool enabled_;
    bool shown_ = false;
    Clock::time_point started_;
    Clock::time_point last_;
};

}  // namespace comm_tool

#endif  // COMM_TOOL_TOOL_HPP
