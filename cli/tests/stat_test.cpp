// `comm stat` run in-process on generated files: its JSON against the library's
// own results, text input, the tables, every refused input, and the faults it
// must catch when a method does not give a block back intact.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/stat.hpp"
#include "comm/Comm.h"
#include "comm/sample_level.hpp"
#include "in_process.hpp"
#include "library_results.hpp"

namespace {

namespace fs = std::filesystem;
using comm_tool::CodecMethod;
using stat_test::library_results;
using Json = nlohmann::json;

using in_process::Result;

// Runs `comm stat` with `args`; `in` (closed afterwards) is its standard input.
Result run(const std::vector<std::string>& args, std::FILE* in = nullptr,
           std::span<const CodecMethod> methods = comm_tool::library_methods())
{
    return in_process::run(
        [methods](auto argv, const comm_tool::Streams& streams) { return comm_tool::run_stat(argv, streams, methods); },
        "comm stat", args, in);
}

// Standard input as a pipe holding `bytes`: not a regular file, so checked
// only as it is read.
std::FILE* pipe_with(const std::string& bytes)
{
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    EXPECT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(ends[1]);
    return fdopen(ends[0], "rb");
}

class Files : public testing::Test {
protected:
    Files() { fs::create_directories(dir_); }
    ~Files() override { fs::remove_all(dir_); }

    std::string write(const std::string& name, const void* bytes, size_t size)
    {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary)
            .write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
        return path.string();
    }
    std::string write(const std::string& name, const std::string& text)
    {
        return write(name, text.data(), text.size());
    }
    std::string write(const std::string& name, const std::vector<float>& v)
    {
        return write(name, stat_test::raw_bytes(v));
    }

    static fs::path unique_dir()
    {
        std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        return fs::path(testing::TempDir()) / ("commstat-" + name + "-" + std::to_string(getpid()));
    }

    fs::path dir_ = unique_dir();
};

using stat_test::Kind;
using stat_test::make;

struct Shape {
    Kind kind;
    size_t block;
    size_t count;
};

std::string shape_name(const testing::TestParamInfo<Shape>& p)
{
    constexpr std::array kKinds{"uniform", "plateau", "out_of_range", "alternating"};
    return fmt::format("{}_block{}_values{}", kKinds.at(static_cast<size_t>(p.param.kind)), p.param.block,
                       p.param.count);
}

class JsonMatchesLibrary : public Files, public testing::WithParamInterface<Shape> {};

TEST_P(JsonMatchesLibrary, FieldByField)
{
    const auto [kind, block, count] = GetParam();
    const std::vector<float> values = make(kind, count);
    const Result r = run({"--json", "--block", std::to_string(block), write("in.raw", values)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const Json doc = Json::parse(r.out);
    EXPECT_EQ(doc["block"], block);
    EXPECT_EQ(doc["round_trip"], "ok");
    ASSERT_EQ(doc["inputs"].size(), 1U);
    EXPECT_EQ(doc["inputs"][0]["input_bytes"], 4 * count);
    const auto expected = library_results(values, block);
    stat_test::expect_results(doc["inputs"][0], expected);
    stat_test::expect_results(doc["total"], expected);
}

// Short last blocks; the longest stream (alternating levels: 2 bytes a value,
// 18 packets a block of 5700); blocks of one value; the 2^20-value read
// piece exactly, and one value past it.
INSTANTIATE_TEST_SUITE_P(Shapes, JsonMatchesLibrary,
                         testing::Values(Shape{Kind::uniform, 1900, 5717}, Shape{Kind::plateau, 1900, 20000},
                                         Shape{Kind::out_of_range, 1900, 4000}, Shape{Kind::out_of_range, 7, 1000},
                                         Shape{Kind::alternating, 5700, 11400}, Shape{Kind::plateau, 1, 37},
                                         Shape{Kind::uniform, 1024, 1 << 20},
                                         Shape{Kind::plateau, 1024, (1 << 20) + 1}),
                         shape_name);

TEST_F(Files, TextGivesTheSameResultsAsRaw)
{
    // Enough lines to cross the 1 MiB text piece twice.
    const std::vector<float> values = make(Kind::out_of_range, 200000);
    std::string text;
    for (const float x : values) {
        char line[32];
        text.append(line, static_cast<size_t>(std::snprintf(line, sizeof line, "%.9g\n", static_cast<double>(x))));
    }
    const Result r = run({"--json", "--text", write("in.txt", text)});
    ASSERT_EQ(r.status, 0) << r.err;
    stat_test::expect_results(Json::parse(r.out)["total"], library_results(values, 1900));
}

TEST_F(Files, TextLineForms)
{
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const std::string text = " 0.5\t\r\n+0.25\n1e-50\n-1e999\n1e999\nnan\n-inf\n.75\n1\n0";
    const std::vector<float> values = {0.5F, 0.25F, 0.0F, -kInf, kInf, NAN, -kInf, 0.75F, 1.0F, 0.0F};
    const Result r = run({"--json", "--text", write("forms.txt", text)});
    ASSERT_EQ(r.status, 0) << r.err;
    stat_test::expect_results(Json::parse(r.out)["inputs"][0], library_results(values, 1900));
}

// Raw files are little-endian on every CPU. Read in the other byte order,
// each of these would be a tiny positive number inside [0, 1].
TEST_F(Files, RawFilesAreLittleEndian)
{
    const std::string bytes(
        "\x00\x00\x80\xBF"   // -1.0
        "\x00\x00\xC0\x3F"   // 1.5
        "\x00\x00\xC0\x7F",  // NaN
        12);
    const Result r = run({"--json", write("three.raw", bytes)});
    ASSERT_EQ(r.status, 0) << r.err;
    const Json outside = Json::parse(r.out)["inputs"][0]["outside_0_1"];
    EXPECT_EQ(outside["below_0"], 1);
    EXPECT_EQ(outside["above_1"], 1);
    EXPECT_EQ(outside["nan"], 1);
}

TEST_F(Files, TablesPerInputAndATotal)
{
    const std::vector<float> seven(1900, comm::level_value(7));
    const std::string file = write("seven.raw", seven);
    Result one = run({file});
    ASSERT_EQ(one.status, 0) << one.err;
    // 1900 values at one level: 8 pairs of up to 256, 8 run tokens of up to 254;
    // auto takes the pairs.
    EXPECT_NE(one.out.find("\nauto (per block)               16    0.002      0.008          1  ok  "),
              std::string::npos)
        << one.out;
    EXPECT_NE(one.out.find("\nsmallest: pair (encode); auto codes pair 1 of 1 block\n"), std::string::npos);
    EXPECT_TRUE(one.out.starts_with(file +
                                    ": 1,900 values (7,600 raw bytes), 1 block of up to 1900\n"
                                    "outside [0, 1]: none\n"
                                    "method               stream bytes   to raw  per value    packets  round trip  "
                                    "encode MB/s  decode MB/s\n"
                                    "pair (encode)                  16    0.002      0.008          1  ok  "))
        << one.out;
    EXPECT_NE(one.out.find("\nescaped (encode2)              24    0.003      0.013          1  ok  "),
              std::string::npos);
    EXPECT_EQ(one.out.find("total"), std::string::npos);

    const Result two = run({file, "-"}, pipe_with(stat_test::raw_bytes(seven)));
    ASSERT_EQ(two.status, 0) << two.err;
    EXPECT_NE(two.out.find("\n\nstandard input: 1,900 values"), std::string::npos) << two.out;
    EXPECT_NE(two.out.find("\n\ntotal of 2 inputs: 3,800 values (15,200 raw bytes), 2 blocks"), std::string::npos);
}

TEST_F(Files, HelpListsTheOptions)
{
    const Result r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* option : {"FILE", "--block", "--text", "--json", "--version"}) {
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
    }
    const Result version = run({"--version"});
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_EQ(version.out, fmt::format("comm {}.{}.{}\n", COMM_VERSION_MAJOR, COMM_VERSION_MINOR, COMM_VERSION_PATCH));
}

// Numbers in options follow the rule of numbers in text files (an exponent
// is taken, hexadecimal refused: see RefusesBadInput), and one blank line may
// end a text file.
TEST_F(Files, BlockInExponentFormAndATrailingBlankLine)
{
    const Result r = run({"--json", "--text", "--block", "1e3", "-"}, pipe_with("0.5\n0.25\n \n"));
    ASSERT_EQ(r.status, 0) << r.err;
    const Json doc = Json::parse(r.out);
    EXPECT_EQ(doc["block"], 1000);
    EXPECT_EQ(doc["total"]["values"], 2);
}

// Out-of-range counts all different, so that no two can be swapped unseen;
// 0.5 sits half a level above level 127, so its error is known exactly.
TEST_F(Files, TableCountsOutOfRangeAndShowsTheQuantisationError)
{
    std::vector<float> values(1900, 0.5F);
    std::fill_n(values.begin(), 3, -0.25F);
    std::fill_n(values.begin() + 3, 5, 2.0F);
    std::fill_n(values.begin() + 8, 2, NAN);
    const Result r = run({write("odd.raw", values)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\noutside [0, 1], clamped by the codec: 10 (3 below 0, 5 above 1, 2 NaN)\n"),
              std::string::npos)
        << r.out;
    const double half_level = 0.5 - static_cast<double>(comm::level_value(127));
    const std::string error_line = fmt::format(
        "\nquantisation error of the 1,890 values in [0, 1]: largest {0:.6f}, RMS {0:.6f}, mean bias -{0:.6f} "
        "(half a level is 0.001961), SNR {1:.1f} dB\n",
        half_level, 10 * std::log10(0.25 / (half_level * half_level)));
    EXPECT_NE(r.out.find(error_line), std::string::npos) << r.out;
}

struct BadInput {
    std::string name;
    std::vector<std::string> args;  // "@name" is the file `name` written by the test
    std::string stdin_bytes;
    std::string message;
};

class RefusesBadInput : public Files, public testing::WithParamInterface<BadInput> {};

TEST_P(RefusesBadInput, WithOneLineAndStatus2)
{
    write("good.raw", std::vector<float>(10, 0.5F));
    write("good.txt", "0.5\n");
    write("five.raw", std::string(5, '\0'));
    write("seven.raw", std::string(7, '\0'));
    write("empty.raw", "");
    write("bad3.txt", "0.5\n0.25\nabc\n");
    write("gap.txt", "0.5\n\n0.25\n");
    write("long.txt", std::string(1 << 20, ' ') + "0.5\n");
    fs::create_directory(dir_ / "dir");
    std::vector<std::string> args;
    for (const std::string& a : GetParam().args) {
        args.push_back(a.starts_with('@') ? (dir_ / a.substr(1)).string() : a);
    }
    const Result r = run(args, pipe_with(GetParam().stdin_bytes));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("comm stat: ")) << r.err;
    EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, RefusesBadInput,
    testing::Values(
        BadInput{"MissingFile", {"@good.raw", "@missing.raw"}, "", "missing.raw: cannot open: No such file"},
        BadInput{"Directory", {"@dir"}, "", "is a directory"},
        BadInput{"RawSizeFive", {"@five.raw"}, "", "5 bytes is not a whole number of 4-byte float32 values"},
        BadInput{"RawSizeSeven", {"@seven.raw"}, "", "7 bytes is not a whole number"},
        BadInput{"RawPipeSizeTen", {"-"}, std::string(10, '\0'), "standard input: 10 bytes is not a whole number"},
        BadInput{"EmptyFile", {"@empty.raw"}, "", "empty input"},
        BadInput{"EmptyPipe", {"-"}, "", "standard input: empty input"},
        BadInput{"EmptyTextPipe", {"--text", "-"}, "", "standard input: empty input"},
        BadInput{"WordOnLine3", {"@good.txt", "--text", "@bad3.txt"}, "", "bad3.txt: line 3 is not a number: \"abc\""},
        BadInput{"TrailingJunk", {"--text", "-"}, "1\n0.5x\n", "line 2 is not a number: \"0.5x\""},
        BadInput{"PlusMinus", {"--text", "-"}, "+-1\n", "line 1 is not a number"},
        BadInput{"HexFloat", {"--text", "-"}, "0x1p-3\n", "line 1 is not a number"},
        BadInput{"EmptyLine", {"--text", "@gap.txt"}, "", "line 2 is empty"},
        BadInput{"OverlongLine", {"--text", "@long.txt"}, "", "line 1 is longer than 1048576 bytes"},
        BadInput{"BlockZero", {"--block", "0", "@good.raw"}, "", "--block 0 is not a whole number in 1..5700"},
        BadInput{"BlockAboveMost", {"--block", "5701", "@good.raw"}, "", "--block 5701 is not a whole number in"},
        BadInput{"BlockHex", {"--block", "0x10", "@good.raw"}, "", "--block 0x10 is not a whole number"},
        BadInput{"BlockFraction", {"--block", "1.5", "@good.raw"}, "", "--block 1.5 is not a whole number"},
        BadInput{"TwoBlankLinesAtTheEnd", {"--text", "-"}, "0.5\n\n\n", "line 2 is empty"},
        BadInput{"BlockNotANumber", {"--block", "many", "@good.raw"}, "", "--block"},
        BadInput{"UnknownOption", {"--frob", "@good.raw"}, "", "--frob"},
        BadInput{"NoFile", {}, "", "FILE is required"},
        BadInput{"StdinTwice", {"-", "-"}, "", "standard input (-) can be read only once"}),
    [](const auto& p) { return p.param.name; });

// What can be told without reading is refused before any block is coded.
int encode_calls = 0;
int32_t counting_encode(const float* v, uint8_t* s, int32_t n)
{
    ++encode_calls;
    return encode(v, s, n);
}

TEST_F(Files, RefusesBeforeCodingAnything)
{
    const CodecMethod counting[] = {{"pairs", "pair", "pair", counting_encode, decode, split, merge}};
    const std::string good = write("good.raw", std::vector<float>(10, 0.5F));
    fs::create_directory(dir_ / "dir");
    for (const std::string& bad : {write("empty.raw", ""), write("five.raw", "12345"), (dir_ / "dir").string(),
                                   (dir_ / "missing.raw").string()}) {
        encode_calls = 0;
        EXPECT_EQ(run({good, bad}, nullptr, counting).status, 2) << bad;
        EXPECT_EQ(encode_calls, 0) << bad;
    }
}

// Faulty stand-ins for the library's pair functions, one fault each. Only
// blocks whose first level is 1 get the fault: blocks 3 and 5 of the input
// below. The level is the second byte of a pair stream.
bool marked(const uint8_t* stream)
{
    return stream[1] == 1;
}
int32_t long_encode(const float* v, uint8_t* s, int32_t n)
{
    return v[0] == comm::level_value(1) ? 2 * n + 1 : encode(v, s, n);
}
int32_t many_split(const uint8_t* s, packet* p, int32_t len)
{
    return marked(s) ? 19 : split(s, p, len);
}
int32_t short_merge(const packet* p, uint8_t* s, int32_t count)
{
    const int32_t size = merge(p, s, count);
    return marked(s) ? size - 1 : size;
}
int32_t flipping_merge(const packet* p, uint8_t* s, int32_t count)
{
    const int32_t size = merge(p, s, count);
    if (marked(s)) {
        s[5] = static_cast<uint8_t>(s[5] ^ 1);
    }
    return size;
}
int32_t short_decode(const uint8_t* s, float* v, int32_t count)
{
    const int32_t n = decode(s, v, count);
    return marked(s) ? n - 1 : n;
}
int32_t long_decode(const uint8_t* s, float* v, int32_t count)
{
    const int32_t n = decode(s, v, count);
    return marked(s) ? n + 1 : n;
}
int32_t level_decode(const uint8_t* s, float* v, int32_t count)
{
    const int32_t n = decode(s, v, count);
    v[4] = marked(s) ? comm::level_value(static_cast<uint8_t>(comm::quantise(v[4]) + 1)) : v[4];
    return n;
}

struct Fault {
    std::string name;
    CodecMethod pair;
    std::string what;
};

class CatchesFaults : public Files, public testing::WithParamInterface<Fault> {};

TEST_P(CatchesFaults, ReportsTheFirstFailedBlockAndStatus1)
{
    const CodecMethod methods[] = {GetParam().pair, comm_tool::library_methods()[1]};
    // Levels 0 and 1 alternating; blocks 3 and 5 start with 1, the others with 0.
    std::vector<float> values(6 * 1900 + 7);
    for (size_t i = 0; i < values.size(); ++i) {
        const size_t block = i / 1900;
        values[i] = comm::level_value(static_cast<uint8_t>((i + (block == 3 || block == 5 ? 1 : 0)) % 2));
    }
    const std::string file = write("in.raw", values);
    const Result r = run({"--json", file}, nullptr, methods);
    EXPECT_EQ(r.status, 1);
    const Json doc = Json::parse(r.out);
    EXPECT_EQ(doc["round_trip"], "failed");
    const Json& pair = doc["inputs"][0]["methods"]["pair"];
    EXPECT_EQ(pair["round_trip"], "failed");
    EXPECT_EQ(pair["failed_blocks"], 2);
    EXPECT_EQ(pair["first_failure"]["block"], 3);
    EXPECT_EQ(pair["first_failure"]["first_value"], 5700);
    EXPECT_EQ(pair["first_failure"]["what"], GetParam().what);
    EXPECT_EQ(doc["inputs"][0]["methods"]["escaped"]["round_trip"], "ok");
    EXPECT_EQ(doc["total"]["methods"]["pair"]["failed_blocks"], 2);

    // A later input that goes well leaves the failures in the total.
    const std::string good = write("good.raw", std::vector<float>(100, 0.5F));
    const Result two = run({"--json", file, good}, nullptr, methods);
    EXPECT_EQ(two.status, 1);
    EXPECT_EQ(Json::parse(two.out)["total"]["methods"]["pair"]["failed_blocks"], 2);
    EXPECT_EQ(Json::parse(two.out)["round_trip"], "failed");

    const Result table = run({file}, nullptr, methods);
    EXPECT_EQ(table.status, 1);
    EXPECT_NE(table.out.find("  FAILED 2/7  "), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("\npair: first failure in block 3 (values from 5,700): " + GetParam().what + "\n"),
              std::string::npos)
        << table.out;
}

CodecMethod pair_with(decltype(CodecMethod::encode) e, decltype(CodecMethod::split) s, decltype(CodecMethod::merge) m,
                      decltype(CodecMethod::decode) d)
{
    return {"pairs", "pair", "pair (faulty)", e, d, s, m};
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CatchesFaults,
    testing::Values(
        Fault{"EncodeTooLong", pair_with(long_encode, split, merge, decode), "encode gave 3801 bytes for 1900 values"},
        Fault{"SplitTooMany", pair_with(encode, many_split, merge, decode), "split gave 19 packets for 3800 bytes"},
        Fault{"MergeShort", pair_with(encode, split, short_merge, decode),
              "merge gave 3799 bytes, not the 3800 encoded"},
        Fault{"MergeFlipsAByte", pair_with(encode, split, flipping_merge, decode), "merged byte 5 is 0, encoded 1"},
        Fault{"DecodeShort", pair_with(encode, split, merge, short_decode), "decode gave 1899 values, not 1900"},
        Fault{"DecodeLong", pair_with(encode, split, merge, long_decode), "decode gave 1901 values, not 1900"},
        Fault{"DecodeWrongLevel", pair_with(encode, split, merge, level_decode),
              "value 4 of the block came back at level 2, not 1"}),
    [](const auto& p) { return p.param.name; });

}  // namespace
