// comm send and comm recv: a .comm file's packets as UDP datagrams, one
// packet each, and back.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include "cli/numbers.hpp"
#include "cli/packets.hpp"
#include "cli/unpacker.hpp"
#include "comm/wire.hpp"

namespace comm_tool {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A UDP socket, closed with its owner.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Socket& operator=(Socket&&) = delete;
    [[nodiscard]] int fd() const { return fd_; }

private:
    int fd_ = -1;
};

struct Address {
    sockaddr_storage storage{};
    socklen_t size = 0;
    int family = 0;
};

// HOST:PORT (an IPv6 host in brackets) as a UDP address.
Address resolve(const std::string& text)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
        throw InputError(fmt::format("{}: not HOST:PORT", text));
    }
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (!parse_whole(port, 0, 65535)) {
        throw InputError(fmt::format("{}: port {} is not a whole number in 0..65535", text, port));
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (const int error = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); error != 0) {
        throw InputError(fmt::format("{}: {}", text, gai_strerror(error)));
    }
    Address address;
    std::memcpy(&address.storage, found->ai_addr, found->ai_addrlen);
    address.size = found->ai_addrlen;
    address.family = found->ai_family;
    freeaddrinfo(found);
    return address;
}

Socket open_socket(const Address& address, const std::string& text)
{
    Socket socket_(socket(address.family, SOCK_DGRAM, 0));
    if (socket_.fd() < 0) {
        throw InputError(fmt::format("{}: cannot open a UDP socket: {}", text, std::strerror(errno)));
    }
    return socket_;
}

// A seeded, repeatable impairment of the datagrams `comm send` sends, for
// tests: --impair seed=S,drop=P,duplicate=P,reorder=P,delay=N,flip=P,truncate=P
// (P a probability; a reordered datagram goes out after up to N others).
struct Impairment {
    uint32_t seed = 1;
    double drop = 0;
    double duplicate = 0;
    double reorder = 0;
    double flip = 0;
    double truncate = 0;
    int64_t delay = 40;
    bool active = false;
};

Impairment parse_impairment(const std::string& settings)
{
    Impairment impairment;
    impairment.active = !settings.empty();
    size_t at = 0;
    while (at < settings.size()) {
        const size_t comma = std::min(settings.find(',', at), settings.size());
        const std::string item = settings.substr(at, comma - at);
        at = comma + 1;
        const size_t equals = item.find('=');
        const std::string key = item.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
        const std::optional<double> number = parse_double(value);
        const bool probability = number && *number >= 0.0 && *number <= 1.0;
        if (key == "seed" && parse_whole(value, 0, UINT32_MAX)) {
            impairment.seed = static_cast<uint32_t>(*parse_whole(value, 0, UINT32_MAX));
        } else if (key == "delay" && parse_whole(value, 1, 1 << 20)) {
            impairment.delay = *parse_whole(value, 1, 1 << 20);
        } else if (key == "drop" && probability) {
            impairment.drop = *number;
        } else if (key == "duplicate" && probability) {
            impairment.duplicate = *number;
        } else if (key == "reorder" && probability) {
            impairment.reorder = *number;
        } else if (key == "flip" && probability) {
            impairment.flip = *number;
        } else if (key == "truncate" && probability) {
            impairment.truncate = *number;
        } else {
            throw InputError(fmt::format("--impair: {} is not KEY=VALUE with a known key and a value in range", item));
        }
    }
    return impairment;
}

class Sender {
public:
    Sender(const std::string& target, double rate_mb, const Impairment& impairment)
        : address_(resolve(target)),
          socket_(open_socket(address_, target)),
          target_(target),
          bytes_per_second_(rate_mb * 1e6),
          impairment_(impairment),
          random_(impairment.seed)
    {
    }

    void packet(std::span<const uint8_t> bytes)
    {
        if (!impairment_.active) {
            send(bytes);
            return;
        }
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        if (chance(random_) < impairment_.drop) {
            return;
        }
        std::vector<uint8_t> copy(bytes.begin(), bytes.end());
        if (chance(random_) < impairment_.flip) {
            const size_t bit = random_() % (copy.size() * 8);
            copy[bit / 8] = static_cast<uint8_t>(copy[bit / 8] ^ (1U << (bit % 8)));
        }
        if (chance(random_) < impairment_.truncate) {
            copy.resize(random_() % copy.size());
        }
        const int copies = chance(random_) < impairment_.duplicate ? 2 : 1;
        for (int c = 0; c < copies; ++c) {
            if (chance(random_) < impairment_.reorder) {
                held_.push_back({copy, sent_ + 1 + random_() % static_cast<uint64_t>(impairment_.delay)});
            } else {
                send(copy);
            }
        }
        release_held(false);
    }

    void finish() { release_held(true); }

    [[nodiscard]] uint64_t datagrams() const { return sent_; }
    [[nodiscard]] uint64_t bytes() const { return bytes_; }

private:
    struct Held {
        std::vector<uint8_t> bytes;
        uint64_t after;  // sent once this many datagrams have gone
    };

    void release_held(bool all)
    {
        for (auto it = held_.begin(); it != held_.end();) {
            if (all || sent_ >= it->after) {
                send(it->bytes);
                it = held_.erase(it);
            } else {
                ++it;
            }
        }
    }

    void send(std::span<const uint8_t> bytes)
    {
        if (bytes_per_second_ > 0) {
            pace(bytes.size());
        }
        while (sendto(socket_.fd(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address_.storage),
                      address_.size) < 0) {
            if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR) {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
                continue;
            }
            // ECONNREFUSED: an ICMP reply to an earlier datagram; no one is
            // listening yet, and UDP does not care.
            if (errno == ECONNREFUSED) {
                break;
            }
            throw InputError(fmt::format("{}: cannot send: {}", target_, std::strerror(errno)));
        }
        ++sent_;
        bytes_ += bytes.size();
    }

    // Holds the rate: waits until the bytes sent so far are due.
    void pace(size_t next)
    {
        if (sent_ == 0) {
            start_ = Clock::now();
        }
        const double due = static_cast<double>(bytes_ + next) / bytes_per_second_;
        const double ahead = due - seconds_since(start_);
        if (ahead > 0.0005) {
            std::this_thread::sleep_for(std::chrono::duration<double>(ahead));
        }
    }

    Address address_;
    Socket socket_;
    std::string target_;
    double bytes_per_second_;
    Impairment impairment_;
    std::mt19937 random_;
    std::deque<Held> held_;
    uint64_t sent_ = 0;
    uint64_t bytes_ = 0;
    Clock::time_point start_;
};

struct SendOptions {
    std::string in;
    std::string target;
    std::string rate;
    std::string impair;
};

int send_file(const Command& command, const SendOptions& options)
{
    const double rate = options.rate.empty() ? 0.0 : positive_option("--rate", options.rate);
    const Impairment impairment = parse_impairment(options.impair);
    InputFile input(options.in, command.streams());
    std::vector<uint8_t> piece(kPiece);
    size_t got = input.read(piece);
    const InputKind kind = classify(std::span<const uint8_t>(piece).first(got));
    if (kind != InputKind::packets && kind != InputKind::damaged) {
        throw InputError(fmt::format("{}: not a .comm file", input.name()));
    }
    Sender sender(options.target, rate, impairment);
    const Clock::time_point start = Clock::now();
    comm::wire::reader reader;
    const auto on_packet = [&sender](std::span<const uint8_t> packet) { sender.packet(packet); };
    while (got > 0) {
        reader.feed(std::span<const uint8_t>(piece).first(got), on_packet);
        got = input.read(piece);
    }
    reader.finish(on_packet);
    sender.finish();
    const double seconds = seconds_since(start);
    command.note(fmt::format("{}: {} datagrams, {} bytes, to {} in {:.2f} s ({:.0f} MB/s)", input.name(),
                             grouped(sender.datagrams()), grouped(sender.bytes()), options.target, seconds,
                             seconds > 0 ? static_cast<double>(sender.bytes()) / seconds / 1e6 : 0.0));
    if (reader.damaged_bytes() > 0) {
        command.error(
            fmt::format("{}: {} damaged bytes skipped, not sent", input.name(), grouped(reader.damaged_bytes())));
        return 1;
    }
    return 0;
}

struct RecvOptions {
    std::string source;
    std::string out;
    std::string timeout = "5";
    std::string window = "256";
    std::string fill;
    bool force = false;
};

int receive(const Command& command, const RecvOptions& options)
{
    const double timeout = positive_option("--timeout", options.timeout);
    const auto window = static_cast<size_t>(whole_option("--window", options.window, 1, 1024));
    const bool fill_nan = fill_with_nan(options.fill);
    const Address address = resolve(options.source);
    const Socket socket_ = open_socket(address, options.source);
    // A large receive buffer: the sender's bursts wait here while blocks are written.
    const int buffer = 32 << 20;
    setsockopt(socket_.fd(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    if (bind(socket_.fd(), reinterpret_cast<const sockaddr*>(&address.storage), address.size) != 0) {
        throw InputError(fmt::format("{}: cannot listen: {}", options.source, std::strerror(errno)));
    }
    sockaddr_storage bound{};
    socklen_t bound_size = sizeof bound;
    getsockname(socket_.fd(), reinterpret_cast<sockaddr*>(&bound), &bound_size);
    char port[16] = {};
    getnameinfo(reinterpret_cast<const sockaddr*>(&bound), bound_size, nullptr, 0, port, sizeof port, NI_NUMERICSERV);
    command.detail(fmt::format("listening on {} (port {}), for {} s of quiet", options.source, port, timeout));

    Output output(options.out, options.force, command.streams());
    UnpackOptions unpack_options;
    unpack_options.fill_nan = fill_nan;
    unpack_options.window = window;
    unpack_options.new_stream_on_id = false;
    Unpacker unpacker(command, options.source, &output, unpack_options);
    std::vector<uint8_t> datagram(2048);
    Clock::time_point last = Clock::now();
    uint64_t datagrams = 0;
    bool quiet = false;
    while (!unpacker.ended()) {
        const double left = timeout - seconds_since(last);
        if (left <= 0) {
            quiet = true;
            break;
        }
        pollfd ready{socket_.fd(), POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(left * 1000) + 1);
        if (polled < 0 && errno != EINTR) {
            throw InputError(fmt::format("{}: cannot receive: {}", options.source, std::strerror(errno)));
        }
        if (polled <= 0) {
            continue;
        }
        // Take what is queued before looking at the clock again.
        for (;;) {
            const ssize_t got = recv(socket_.fd(), datagram.data(), datagram.size(), MSG_DONTWAIT);
            if (got < 0) {
                break;
            }
            ++datagrams;
            unpacker.push(std::span<const uint8_t>(datagram.data(), static_cast<size_t>(got)));
            if (unpacker.ended()) {
                break;
            }
        }
        last = Clock::now();
    }
    if (quiet) {
        command.detail(fmt::format("{}: {} s without a datagram; stopping", options.source, timeout));
    }
    if (datagrams == 0) {
        command.error(fmt::format("{}: nothing came in {} s", options.source, timeout));
        output.finish();
        return 1;
    }
    unpacker.finish();
    output.finish();
    const comm::wire::counters& counts = unpacker.totals();
    const std::string summary =
        fmt::format("{} datagrams: {} blocks, {} values; dropped {} bad, {} duplicate, {} of another stream, {} stale",
                    grouped(datagrams), grouped(unpacker.blocks()), grouped(unpacker.values()), grouped(counts.bad),
                    grouped(counts.duplicates), grouped(counts.foreign), grouped(counts.stale));
    if (unpacker.damaged()) {
        command.error(fmt::format("{}: DAMAGED, {} block{} lost; {} -> {}", options.source,
                                  grouped(unpacker.lost_blocks()), unpacker.lost_blocks() == 1 ? "" : "s", summary,
                                  output.name()));
        return 1;
    }
    command.note(fmt::format("{}: ok, {} -> {}", options.source, summary, output.name()));
    return 0;
}

}  // namespace

int run_send(std::span<const char* const> argv, const Streams& streams)
{
    Command command(argv.empty() ? "comm send" : argv[0], streams);
    SendOptions options;
    CLI::App app("Sends a .comm file's packets as UDP datagrams, one packet each.", command.name());
    app.add_option("IN", options.in, ".comm file; - reads standard input")->required();
    app.add_option("HOST:PORT", options.target, "where to send")->required();
    app.add_option("--rate", options.rate, "megabytes (10^6 bytes) of datagrams a second; unlimited if not given");
    // For tests: a seeded impairment of what is sent; not for users.
    app.add_option("--impair", options.impair)->group("");
    command.add_verbosity(app);
    if (const std::optional<int> status = command.parse(app, argv)) {
        return *status;
    }
    return guarded(command, [&] { return send_file(command, options); });
}

int run_recv(std::span<const char* const> argv, const Streams& streams)
{
    Command command(argv.empty() ? "comm recv" : argv[0], streams);
    RecvOptions options;
    CLI::App app(
        "Receives wire packets as UDP datagrams, reassembles the blocks in order and writes them as float32; "
        "stops at the end of the stream or after --timeout seconds without a datagram.",
        command.name());
    app.add_option("HOST:PORT", options.source, "where to listen, e.g. 127.0.0.1:7400")->required();
    app.add_option("OUT", options.out, "float32 file, little-endian; - writes standard output")->required();
    app.add_option("--timeout", options.timeout, "seconds without a datagram before giving up")->capture_default_str();
    app.add_option("--window", options.window, "blocks held for reordering, 1 to 1024")->capture_default_str();
    add_fill_option(app, options.fill);
    Command::add_force(app, options.force);
    command.add_verbosity(app);
    if (const std::optional<int> status = command.parse(app, argv)) {
        return *status;
    }
    return guarded(command, [&] { return receive(command, options); });
}

}  // namespace comm_tool
