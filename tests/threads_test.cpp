// Threads: the thread count a run takes from its environment, the background
// row writer, and whole runs that must write the same bytes for every count.
// (The kernels on each count against the plain arithmetic: kernel_diff_test.cpp.)
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "io/background_writer.hpp"
#include "io/csv_writer.hpp"
#include "sim/thread_count.hpp"
#include "test_support.hpp"

namespace vesk {
namespace {

// VESK_THREADS, cgroup v2's cpu.max, cgroup v1's quota and period.
TEST(ThreadCount, SettingsAndCgroupQuotas) {
    const std::vector<std::pair<const char*, std::optional<unsigned>>> settings = {
        {"4", 4},   {" 8\n", 8},  {"256", 256}, {"257", {}},   {"0", {}},
        {"-2", {}}, {"", {}},     {"  ", {}},   {"3x", {}},    {"2.5", {}},
        {"+3", {}}, {"0x10", {}}, {"1 2", {}},  {nullptr, {}}, {"99999999999999999999", {}},
    };
    for (const auto& [text, expected] : settings) {
        EXPECT_EQ(parse_thread_setting(text), expected) << (text ? text : "(unset)");
    }
    const std::vector<std::pair<std::string, std::optional<unsigned>>> v2 = {
        {"max 100000\n", {}}, {"150000 100000", 2}, {"50000 100000\n", 1},
        {"0 100000", {}},     {"100000", {}},       {"1 2 3", {}},
        {"x 100000", {}},     {"100000 0", {}},     {"90000000 1000", 256},
    };
    for (const auto& [text, expected] : v2) EXPECT_EQ(cpus_from_cgroup_v2(text), expected) << text;
    EXPECT_EQ(cpus_from_cgroup_v1("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(cpus_from_cgroup_v1("250000", "100000"), 3u);
    EXPECT_EQ(cpus_from_cgroup_v1("abc", "100000"), std::nullopt);
    const unsigned cpus = available_cpus();
    for (const auto& [value, expected] : std::vector<std::pair<const char*, unsigned>>{
             {"3", 3}, {"abc", cpus}, {"0", cpus}, {nullptr, cpus}}) {
        const test::ScopedEnv env("VESK_THREADS", value);
        EXPECT_EQ(configured_threads(), expected) << (value ? value : "(unset)");
    }
    // A thread's own setting wins over the environment, in that thread only,
    // and the one before it is back once it ends.
    const test::ScopedEnv env("VESK_THREADS", "3");
    {
        const ThreadSetting outer(2);
        {
            const ThreadSetting inner(5);
            EXPECT_EQ(configured_threads(), 5u);
            unsigned elsewhere = 0;
            std::thread([&] { elsewhere = configured_threads(); }).join();
            EXPECT_EQ(elsewhere, 3u);
        }
        EXPECT_EQ(configured_threads(), 2u);
        const ThreadSetting none(0);
        EXPECT_EQ(configured_threads(), 3u);
    }
    EXPECT_EQ(configured_threads(), 3u);
}

// The smallest quota along the process's cgroup and its ancestors counts,
// in either cgroup version; other controllers and siblings do not.
TEST(ThreadCount, CgroupLimitWalksUpTheHierarchy) {
    const std::vector<std::pair<std::string, std::optional<unsigned>>> cases = {
        {"0::/a/b\na/b/cpu.max=400000 100000\na/cpu.max=max 100000\ncpu.max=200000 100000", 2},
        {"0::/\ncpu.max=100000 100000", 1},
        {"0::/a\nb/cpu.max=100000 100000", {}},
        {"12:memory:/job\n5:cpu,cpuacct:/job\ncpu,cpuacct/job/cpu.cfs_quota_us=200000\n"
         "cpu,cpuacct/job/cpu.cfs_period_us=100000",
         2},
        {"5:cpuacct,cpu:/job/step\ncpu/job/cpu.cfs_quota_us=-1\ncpu/job/cpu.cfs_period_us=100000\n"
         "cpu/cpu.cfs_quota_us=500000\ncpu/cpu.cfs_period_us=100000",
         5},
        {"12:memory:/job\nmemory/job/cpu.cfs_quota_us=100000", {}},
        {"garbage", {}},
    };
    // The cgroup lines, then the files as name=content.
    for (const auto& [text, expected] : cases) {
        const test::TempDir root;
        std::string cgroup, line;
        std::istringstream lines(text);
        while (std::getline(lines, line)) {
            const std::size_t eq = line.find('=');
            if (eq == std::string::npos) {
                cgroup += line + "\n";
                continue;
            }
            const std::string name = line.substr(0, eq);
            std::filesystem::create_directories(
                std::filesystem::path(root.file(name)).parent_path());
            root.write(name, line.substr(eq + 1) + "\n");
        }
        EXPECT_EQ(cgroup_cpu_limit(cgroup, root.path()), expected) << text;
    }
}

// Models too small to keep two threads busy get one: the 1k benchmark
// contract and the example model (2553 nodes, 8294 weights) among them; the
// 10k and 100k benchmark contracts get several, up to the number allowed.
TEST(ThreadCount, SmallModelsRunOnOneThread) {
    const std::size_t cases[][4] = {{0, 0, 4, 1},
                                    {1000, 20040, 2, 1},
                                    {2553, 8294, 8, 1},
                                    {10000, 500040, 2, 2},
                                    {10000, 500040, 64, 8},
                                    {100000, 5000040, 1, 1},
                                    {100000, 5000040, 1000, 82}};
    for (const auto& c : cases) {
        EXPECT_EQ(threads_for_model(c[0], c[1], static_cast<unsigned>(c[2])), c[3])
            << c[0] << " nodes, " << c[1] << " weights, " << c[2] << " allowed";
    }
}

// The same bytes as writing directly, whatever the number of row buffers,
// and rows queued before an exception still reach the file. Thousands of
// rows, so that the two threads hand buffers to each other (with a single
// buffer, at every row) often enough for a lost wake-up to hang the test.
TEST(BackgroundRowWriter, WritesWhatTheWriterWouldWrite) {
    const test::TempDir dir;
    const std::vector<std::string> names = {"3", "1", "2"};
    std::vector<double> row(names.size());
    const auto write_rows = [&](auto& to) {
        for (int r = 0; r < 5000; ++r) {
            for (std::size_t c = 0; c < row.size(); ++c) row[c] = std::sin(r * 3.0 + c) * 1e3;
            to.write_row(0.1 * r, row);
        }
    };
    CsvStreamWriter direct(dir.file("direct.csv"), names);
    write_rows(direct);
    direct.finish();
    const std::string expected = test::read_file(dir.file("direct.csv"));
    for (const std::size_t slots : {1u, 2u, 4u}) {
        SCOPED_TRACE(std::to_string(slots) + " row buffers");
        for (const bool fail : {false, true}) {
            try {
                CsvStreamWriter writer(dir.file("queued.csv"), names);
                BackgroundRowWriter rows_writer(writer, slots);
                write_rows(rows_writer);
                if (fail) throw std::runtime_error("run failed");
                rows_writer.close();
                writer.finish();
            } catch (const std::runtime_error&) {
            }
            EXPECT_EQ(test::read_file(dir.file("queued.csv")), expected) << "failed: " << fail;
        }
    }
    if (!test::file_exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    CsvStreamWriter full("/dev/full", {"0"});
    BackgroundRowWriter rows_writer(full);
    for (int r = 0; r < 100; ++r) rows_writer.write_row(r, {0.5});
    rows_writer.close();
    EXPECT_THROW_MSG(full.finish(), std::runtime_error,
                     "write_csv: failed to write output file: /dev/full");
}

// A whole run on a generated contract with work enough for 8 threads, whose
// last range is not a whole slice: every VESK_THREADS (one thread without
// the background writer, several with it, junk and empty falling back to the
// processors at hand) gives the same status, streams and files.
TEST(ThreadedRuns, EveryThreadCountWritesTheSameBytes) {
    const test::TempDir dir;
    const auto made = test::run_program(
        VESK_MAKE_CONTRACT_PATH, {"--nodes", "12000", "--degree", "40", "--inputs", "3", "--seed",
                                  "5", "--out", dir.file("c.json")});
    ASSERT_EQ(made.status, 0) << made.err;
    std::optional<std::vector<std::string>> expected;  // stdout, stderr, the two traces
    for (const char* threads : {"1", "2", "3", "5", "8", "junk", ""}) {
        const test::ScopedEnv env("VESK_THREADS", threads);
        const auto r = test::run_cli({"--model", "c.json", "--t-end", "3", "--output", "nodes.csv",
                                      "--output-inputs", "inputs.csv"},
                                     dir.path());
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> got = {r.out, r.err, test::read_file(dir.file("nodes.csv")),
                                              test::read_file(dir.file("inputs.csv"))};
        if (!expected) expected = got;
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_TRUE(got[i] == (*expected)[i])
                << "VESK_THREADS=" << threads << ": stdout/stderr/nodes/inputs " << i;
        }
    }
}

}  // namespace
}  // namespace vesk
