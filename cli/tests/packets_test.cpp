// comm pack, unpack, test, list, send and recv run in-process on generated
// files: every level back on clean input, every loss named with status 1 on
// damaged input, status 2 for what is no .comm file, and the same guarantee
// through UDP on 127.0.0.1 with a seeded impairment on the sending side.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "cli/commands.hpp"
#include "comm/sample_level.hpp"
#include "comm/wire.h"
#include "driver/round_trip.hpp"
#include "in_process.hpp"

namespace {

namespace fs = std::filesystem;

using in_process::Result;

// Runs `comm` with `args`.
Result comm_tool_run(const std::vector<std::string>& args)
{
    return in_process::run([](auto argv, const comm_tool::Streams& streams) { return comm_tool::run(argv, streams); },
                           "comm", args);
}

std::vector<uint8_t> read_bytes(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void write_bytes(const fs::path& path, const void* bytes, size_t size)
{
    std::ofstream(path, std::ios::binary).write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
}

// Float files are little-endian on every CPU.
std::vector<float> read_floats(const fs::path& path)
{
    const std::vector<uint8_t> bytes = read_bytes(path);
    std::vector<float> values(bytes.size() / 4);
    for (size_t i = 0; i < values.size(); ++i) {
        uint32_t bits = 0;
        for (size_t k = 0; k < 4; ++k) {
            bits |= uint32_t{bytes[4 * i + k]} << (8 * k);
        }
        values[i] = std::bit_cast<float>(bits);
    }
    return values;
}

// The round-trip program's kind of data: rand() scaled to [0, 1].
std::vector<float> random_samples(size_t count, unsigned seed)
{
    std::srand(seed);
    std::vector<float> values(count);
    for (float& v : values) {
        v = round_trip::sample_value(std::rand());
    }
    return values;
}

// `decoded` holds, at each place, the value of the original's level, or NaN
// for a lost value; returns how many are NaN.
size_t expect_levels(const std::vector<float>& original, const std::vector<float>& decoded)
{
    EXPECT_EQ(decoded.size(), original.size());
    size_t lost = 0;
    for (size_t i = 0; i < std::min(original.size(), decoded.size()); ++i) {
        if (std::isnan(decoded[i])) {
            ++lost;
            continue;
        }
        if (decoded[i] != comm::level_value(comm::quantise(original[i]))) {
            ADD_FAILURE() << "value " << i << " is " << decoded[i] << ", not of level "
                          << int{comm::quantise(original[i])};
            break;
        }
    }
    return lost;
}

std::vector<size_t> packet_starts(const std::vector<uint8_t>& bytes)
{
    std::vector<size_t> starts;
    size_t at = 0;
    while (at < bytes.size()) {
        starts.push_back(at);
        const int32_t size = comm_wire_parse(bytes.data() + at, static_cast<int32_t>(bytes.size() - at), nullptr);
        EXPECT_GT(size, 0);
        at += static_cast<size_t>(std::max(size, 1));
    }
    return starts;
}

// The blocks `err` names lost: "block N lost (" or "blocks N to M lost (".
size_t count_losses(const std::string& err)
{
    static const std::regex named(R"(blocks? (\d+)(?: to (\d+))? lost \()");
    size_t count = 0;
    for (auto it = std::sregex_iterator(err.begin(), err.end(), named); it != std::sregex_iterator(); ++it) {
        const auto& m = *it;
        count += m[2].matched ? std::stoul(m[2].str()) - std::stoul(m[1].str()) + 1 : 1;
    }
    return count;
}

class Packets : public testing::Test {
protected:
    Packets() { fs::create_directories(dir_); }
    ~Packets() override { fs::remove_all(dir_); }

    [[nodiscard]] std::string path(const std::string& name) const { return (dir_ / name).string(); }

    [[nodiscard]] std::string write(const std::string& name, const std::vector<float>& values) const
    {
        std::vector<uint8_t> bytes(4 * values.size());
        for (size_t i = 0; i < values.size(); ++i) {
            const auto bits = std::bit_cast<uint32_t>(values[i]);
            for (size_t k = 0; k < 4; ++k) {
                bytes[4 * i + k] = static_cast<uint8_t>(bits >> (8 * k));
            }
        }
        write_bytes(dir_ / name, bytes.data(), bytes.size());
        return path(name);
    }

    // Packs `values` into "in.comm" with `options`; returns its bytes.
    [[nodiscard]] std::vector<uint8_t> pack(const std::vector<float>& values,
                                            std::vector<std::string> options = {}) const
    {
        options.insert(options.begin(), "pack");
        options.push_back(write("in.raw", values));
        options.push_back(path("in.comm"));
        options.emplace_back("-f");
        const Result r = comm_tool_run(options);
        EXPECT_EQ(r.status, 0) << r.err;
        return read_bytes(dir_ / "in.comm");
    }

    fs::path dir_ =
        fs::path(testing::TempDir()) /
        fmt::format("comm-packets-{}-{}", testing::UnitTest::GetInstance()->current_test_info()->name(), getpid());
};

struct Shape {
    const char* name;
    size_t values;
    const char* block;
    const char* method;
};

class RoundTrip : public Packets, public testing::WithParamInterface<Shape> {};

TEST_P(RoundTrip, EveryLevelBack)
{
    const Shape shape = GetParam();
    const std::vector<float> original = random_samples(shape.values, static_cast<unsigned>(shape.values));
    ASSERT_FALSE(pack(original, {"--block", shape.block, "--method", shape.method}).empty());
    const Result r = comm_tool_run({"unpack", path("in.comm"), path("out.raw")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(expect_levels(original, read_floats(dir_ / "out.raw")), 0U);
    EXPECT_EQ(comm_tool_run({"test", path("in.comm")}).status, 0);
}

INSTANTIATE_TEST_SUITE_P(Shapes, RoundTrip,
                         testing::Values(Shape{"DriverBlockAuto", 1900, "1900", "auto"},
                                         Shape{"ShortLastBlockPairs", 3 * 1900 + 7, "1900", "pairs"},
                                         Shape{"ShortLastBlockEscaped", 3 * 1900 + 7, "1900", "escaped"},
                                         Shape{"Block5700", 5700, "5700", "auto"},
                                         Shape{"Blocks5700AndOne", 5701, "5700", "pairs"},
                                         Shape{"OneValue", 1, "1900", "auto"}, Shape{"Empty", 0, "1900", "auto"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(Packets, AutoPicksTheSmallerMethodPerBlock)
{
    // A plateau block (pairs are smallest), noise broken by long runs (escaped
    // is), then a slow wave with a level of jitter (deltas are).
    std::vector<float> values(1900, 0.5F);
    const std::vector<float> noise = random_samples(1900, 7);
    for (size_t i = 0; i < 1900; ++i) {
        values.push_back(i % 60 < 10 ? noise[i] : 0.25F);
    }
    for (size_t i = 0; i < 1900; ++i) {
        const double jitter = static_cast<double>(i * 7919 % 3) / 255.0;
        values.push_back(static_cast<float>(0.5 + 0.3 * std::sin(static_cast<double>(i) / 50.0) + jitter));
    }
    const size_t auto_size = pack(values).size();
    const size_t pairs_size = pack(values, {"--method", "pairs"}).size();
    const size_t escaped_size = pack(values, {"--method", "escaped"}).size();
    const size_t deltas_size = pack(values, {"--method", "deltas"}).size();
    EXPECT_LT(auto_size, std::min({pairs_size, escaped_size, deltas_size}));
    ASSERT_FALSE(pack(values).empty());
    const Result list = comm_tool_run({"list", path("in.comm")});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find(": 3 blocks (pairs 1, escaped 1, deltas 1), 5,700 values, "), std::string::npos)
        << list.out;
    EXPECT_NE(list.out.find(", intact\n"), std::string::npos) << list.out;
}

TEST_F(Packets, ConcatenatedStreamsOneAfterAnother)
{
    // The same stream twice (same stream id), then another.
    const std::vector<float> a = random_samples(2000, 1);
    const std::vector<uint8_t> first = pack(a);
    const std::vector<float> b = random_samples(10, 2);
    std::vector<uint8_t> bytes = pack(b);
    bytes.insert(bytes.begin(), first.begin(), first.end());
    bytes.insert(bytes.begin(), first.begin(), first.end());
    write_bytes(dir_ / "three.comm", bytes.data(), bytes.size());
    const Result r = comm_tool_run({"unpack", path("three.comm"), path("out.raw")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("ok, 5 blocks, 4,010 values, 3 streams"), std::string::npos) << r.err;
    std::vector<float> expected = a;
    expected.insert(expected.end(), a.begin(), a.end());
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(expect_levels(expected, read_floats(dir_ / "out.raw")), 0U);
}

// Damage to a file of 6 blocks of 1900 noisy values, 3 packets each: packets
// 0 to 17, then the end packet, 18.
enum class Harm { flip, cut, truncate };

struct Damage {
    const char* name;
    Harm harm;
    size_t packet;     // flip: the byte at `offset` in this packet; truncate: the
    size_t offset;     // file ends there; cut: bytes from there up to offset
    size_t to_packet;  // `to_offset` in `to_packet` are cut out
    size_t to_offset;
    std::vector<const char*> named;  // what stderr must say
    size_t lost_values;              // NaN in the --fill nan output
};

class Damaged : public Packets, public testing::WithParamInterface<Damage> {};

TEST_P(Damaged, NamesTheLostBlocksWithStatus1)
{
    const Damage d = GetParam();
    const std::vector<float> original = random_samples(size_t{6} * 1900, 11);
    std::vector<uint8_t> bytes = pack(original, {"--method", "escaped"});
    const std::vector<size_t> starts = packet_starts(bytes);
    ASSERT_EQ(starts.size(), 19U);
    const size_t at = starts[d.packet] + d.offset;
    if (d.harm == Harm::flip) {
        bytes[at] = static_cast<uint8_t>(bytes[at] ^ 0x10);
    } else {
        const size_t to = d.harm == Harm::cut ? starts[d.to_packet] + d.to_offset : bytes.size();
        bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(to));
    }
    write_bytes(dir_ / "bad.comm", bytes.data(), bytes.size());

    const Result test = comm_tool_run({"test", path("bad.comm")});
    const Result filled = comm_tool_run({"unpack", path("bad.comm"), path("filled.raw"), "--fill", "nan"});
    for (const Result& r : {test, filled}) {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        for (const char* line : d.named) {
            EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
        }
    }
    // With --fill nan every value keeps its place, up to the last block that came.
    std::vector<float> values = read_floats(dir_ / "filled.raw");
    const std::vector<float> sent(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(values.size()));
    EXPECT_EQ(expect_levels(sent, values), d.lost_values);
    // Without it nothing of a lost block is written.
    const Result plain = comm_tool_run({"unpack", path("bad.comm"), path("plain.raw")});
    EXPECT_EQ(plain.status, 1);
    std::erase_if(values, [](float v) { return std::isnan(v); });
    EXPECT_EQ(read_floats(dir_ / "plain.raw"), values);
}

INSTANTIATE_TEST_SUITE_P(
    Files, Damaged,
    testing::Values(
        Damage{"FlippedPayloadByte", Harm::flip, 4, 100, 0, 0, {"block 1 lost (1,900 values from 1,900"}, 1900},
        Damage{"FlippedMagicOfTheFirstPacket", Harm::flip, 0, 3, 0, 0, {"block 0 lost (1,900 values from 0"}, 1900},
        Damage{"FlippedEndPacket", Harm::flip, 18, 45, 0, 0, {"no end packet after block 5"}, 0},
        Damage{"CutOutStretch",
               Harm::cut,
               4,
               300,
               10,
               200,
               {"block 1 lost", "block 2 lost", "block 3 lost", "damaged bytes skipped"},
               size_t{3} * 1900},
        Damage{"TruncatedBeforeTheEnd", Harm::truncate, 18, 0, 0, 0, {"no end packet after block 5"}, 0},
        Damage{"TruncatedInTheLastBlock",
               Harm::truncate,
               17,
               300,
               0,
               0,
               {"block 5 lost (1,900 values from 9,500", "no end packet"},
               1900}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(Packets, NamesTwentyLossesThenCountsTheRest)
{
    // 60 blocks of one packet each; the payloads of blocks 2, 4, ... 50 flipped.
    std::vector<uint8_t> bytes = pack(random_samples(600, 3), {"--block", "10"});
    const std::vector<size_t> starts = packet_starts(bytes);
    ASSERT_EQ(starts.size(), 61U);
    for (size_t block = 2; block <= 50; block += 2) {
        bytes[starts[block] + COMM_WIRE_HEADER_SIZE] ^= 1;
    }
    write_bytes(dir_ / "bad.comm", bytes.data(), bytes.size());
    // 25 lost blocks and the end packet's mismatch: 26 losses, 20 named.
    const Result r = comm_tool_run({"test", path("bad.comm")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count_losses(r.err), 20U) << r.err;
    EXPECT_NE(r.err.find("block 40 lost"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(": 6 more losses not named (-v names them all)\n"), std::string::npos) << r.err;
    const Result all = comm_tool_run({"test", "-v", path("bad.comm")});
    EXPECT_EQ(count_losses(all.err), 25U) << all.err;
    EXPECT_EQ(all.err.find("not named"), std::string::npos) << all.err;
}

struct Refusal {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* message;
};

class NotACommFile : public Packets, public testing::WithParamInterface<Refusal> {};

TEST_P(NotACommFile, Status2BeforeWritingAnything)
{
    const std::vector<uint8_t>& bytes = GetParam().bytes;
    write_bytes(dir_ / "in.bin", bytes.data(), bytes.size());
    for (const char* command : {"unpack", "test", "list"}) {
        std::vector<std::string> args = {command, path("in.bin")};
        if (std::string(command) == "unpack") {
            args.push_back(path("out.raw"));
        }
        const Result r = comm_tool_run(args);
        EXPECT_EQ(r.status, 2) << command;
        EXPECT_EQ(r.err, fmt::format("comm {}: {}: {}\n", command, path("in.bin"), GetParam().message));
    }
    EXPECT_FALSE(fs::exists(dir_ / "out.raw"));
}

std::vector<uint8_t> header_with_version(uint8_t version)
{
    std::vector<uint8_t> bytes(COMM_WIRE_END_SIZE);
    bytes[0] = 0x89;
    bytes[1] = 'C';
    bytes[2] = 'M';
    bytes[3] = 'W';
    bytes[4] = version;
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(Inputs, NotACommFile,
                         testing::Values(Refusal{"Empty", {}, "empty, not a .comm file"},
                                         Refusal{"FloatSamples", std::vector<uint8_t>(4000, 0x3F),
                                                 "not a .comm file (no packet magic)"},
                                         Refusal{"LaterVersion", header_with_version(2),
                                                 ".comm version 2 is not supported (this build reads version 1)"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(Packets, ConventionsForOutputAndOptions)
{
    const std::string in = write("in.raw", random_samples(100, 1));
    ASSERT_EQ(comm_tool_run({"pack", in, path("a.comm")}).status, 0);
    const std::vector<uint8_t> first = read_bytes(dir_ / "a.comm");
    const Result again = comm_tool_run({"pack", in, path("a.comm")});
    EXPECT_EQ(again.status, 2);
    EXPECT_EQ(again.err, fmt::format("comm pack: {}: already exists; -f overwrites it\n", path("a.comm")));
    EXPECT_EQ(read_bytes(dir_ / "a.comm"), first);
    EXPECT_EQ(comm_tool_run({"pack", "-f", "-q", in, path("a.comm")}).err, "");

    for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"pack", "--method", "best", in, path("b.comm")},
              "comm pack: --method best is not one of pairs|escaped|deltas|auto\n"},
             {{"pack", "--block", "0x10", in, path("b.comm")},
              "comm pack: --block 0x10 is not a whole number in 1..5700\n"},
             {{"pack", "--block", "5701", in, path("b.comm")},
              "comm pack: --block 5701 is not a whole number in 1..5700\n"},
             {{"pack", path("missing.raw"), path("b.comm")},
              fmt::format("comm pack: {}: cannot open: No such file or directory\n", path("missing.raw"))},
             {{"unpack", path("a.comm"), path("b.raw"), "--fill", "zero"},
              "comm unpack: --fill zero is not nan, the one fill there is\n"},
             {{"frobnicate"}, "comm: no command frobnicate (see comm --help)\n"}}) {
        const Result r = comm_tool_run(args);
        EXPECT_EQ(r.status, 2) << message;
        EXPECT_EQ(r.err, message);
    }
    EXPECT_FALSE(fs::exists(dir_ / "b.comm"));
    EXPECT_FALSE(fs::exists(dir_ / "b.raw"));
}

// A port free on 127.0.0.1 a moment ago.
std::string loopback_port()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return fmt::format("127.0.0.1:{}", ntohs(address.sin_port));
}

// Sends `in.comm` with `impairment` to a `comm recv` on 127.0.0.1.
std::pair<Result, Result> send_and_receive(const Packets& test, const std::string& out, const std::string& impairment)
{
    const std::string target = loopback_port();
    Result received;
    std::thread receiver([&] {
        received = comm_tool_run({"recv", "--timeout", "2", "--window", "8", "--fill", "nan", target, out});
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the receiver binds first
    std::vector<std::string> send = {"send", out + ".comm", target};
    if (!impairment.empty()) {
        send.insert(send.end(), {"--impair", impairment});
    }
    const Result sent = comm_tool_run(send);
    receiver.join();
    static_cast<void>(test);
    return {sent, received};
}

TEST_F(Packets, UdpOnLoopbackEachBlockWholeOrNamedLost)
{
    // 40 blocks of 1900: 120 data packets.
    const std::vector<float> original = random_samples(size_t{40} * 1900, 5);
    const std::vector<uint8_t> bytes = pack(original, {"--method", "escaped"});
    write_bytes(dir_ / "out.raw.comm", bytes.data(), bytes.size());
    const std::string out = path("out.raw");

    const auto [clean_sent, clean] = send_and_receive(*this, out, "");
    EXPECT_EQ(clean_sent.status, 0) << clean_sent.err;
    EXPECT_EQ(clean.status, 0) << clean.err;
    EXPECT_EQ(expect_levels(original, read_floats(out)), 0U);

    // Reordering past the window of 8 blocks (24 packets) too.
    size_t lost_in_all = 0;
    for (const char* impairment :
         {"seed=1,drop=0.02,duplicate=0.1,reorder=0.1,delay=10", "seed=2,flip=0.05,truncate=0.05,duplicate=0.2",
          "seed=3,drop=0.05,reorder=0.2,delay=60,flip=0.02"}) {
        SCOPED_TRACE(impairment);
        fs::remove(out);
        const auto [sent, received] = send_and_receive(*this, out, impairment);
        EXPECT_EQ(sent.status, 0) << sent.err;
        const std::vector<float> values = read_floats(out);
        const size_t lost =
            expect_levels(std::vector<float>(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                                                      values.size(), original.size()))),
                          values);
        EXPECT_EQ(lost % 1900, 0U);
        // Every lost block named; status 1 exactly when something was lost.
        const size_t named = count_losses(received.err);
        EXPECT_GE(named * 1900, lost) << received.err;
        EXPECT_EQ(received.status, lost > 0 || values.size() < original.size() ? 1 : 0) << received.err;
        lost_in_all += lost;
    }
    EXPECT_GT(lost_in_all, 0U);  // the impairment did its work
}

}  // namespace
