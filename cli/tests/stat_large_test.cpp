// The program itself on a 100 MB raw file: every block reported as the
// library gives it. The figures of each stage are printed, not checked: speed
// is the benchmark's business, and a shared machine would make such a check
// fail at random.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "library_results.hpp"

namespace {

using stat_test::Kind;

// Runs the program with `args`, its standard output going to `out`; returns
// its exit status.
int run_program(std::vector<std::string> args, const std::string& out)
{
    args.insert(args.begin(), {COMM_PROGRAM, "stat"});
#ifdef COMM_EMULATOR
    const std::vector<std::string> emulator = {COMM_EMULATOR};
    args.insert(args.begin(), emulator.begin(), emulator.end());
#endif
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

TEST(LargeInput, HundredMegabytes)
{
    // 100 MiB: 25 pieces of 2^20 values, of every kind in turn.
    constexpr size_t kPiece = size_t{1} << 20;
    std::vector<float> values;
    for (size_t piece = 0; piece < 25; ++piece) {
        const std::vector<float> part = stat_test::make(static_cast<Kind>(piece % 4), kPiece + piece);
        values.insert(values.end(), part.begin(), part.begin() + kPiece);
    }
    const std::filesystem::path dir = testing::TempDir();
    // Named for this process: other runs of this test may share the folder.
    const std::string stem = "comm-stat-100MB-" + std::to_string(getpid());
    const std::string file = (dir / (stem + ".raw")).string();
    const std::string report = (dir / (stem + ".json")).string();
    const std::string bytes = stat_test::raw_bytes(values);
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));

    ASSERT_EQ(run_program({"--json", file}, report), 0);
    const nlohmann::json doc = nlohmann::json::parse(std::ifstream(report));
    const nlohmann::json& input = doc["inputs"][0];
    stat_test::expect_results(input, stat_test::library_results(values, 1900));
    double codec = 0.0;
    for (const auto& [key, method] : input["methods"].items()) {
        const nlohmann::json& m = method["seconds"];
        codec +=
            m["encode"].get<double>() + m["split"].get<double>() + m["merge"].get<double>() + m["decode"].get<double>();
        std::printf("%-8s encode %6.0f MB/s, decode %6.0f MB/s\n", key.c_str(), method["encode_mb_per_s"].get<double>(),
                    method["decode_mb_per_s"].get<double>());
    }
    const double total = input["seconds"]["total"].get<double>();
    std::printf("read %.0f MB/s; %.3f s in all, %.0f%% in the codec\n", input["read_mb_per_s"].get<double>(), total,
                100.0 * codec / total);
    std::filesystem::remove(file);
    std::filesystem::remove(report);
#ifdef COMM_CHECK_SPEED
    EXPECT_GE(best_read, 1000.0);
    EXPECT_GT(best_share, 0.5);
#endif
}

}  // namespace
