// Threads: the thread count a run takes from its environment, the thread
// team of the simulator, the background row writer, and whole runs of
// vesk-sim that must write the same bytes for every thread count.
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "io/background_writer.hpp"
#include "io/csv_writer.hpp"
#include "model/network.hpp"
#include "sim/simulator.hpp"
#include "sim/thread_count.hpp"
#include "sim/thread_pool.hpp"
#include "test_support.hpp"

namespace vesk {
namespace {

TEST(ThreadCount, SettingIsAWholeNumberInRange) {
    const std::vector<std::pair<const char*, std::optional<unsigned>>> cases = {
        {"4", 4},      {" 8\n", 8}, {"1", 1},     {"256", 256}, {"257", {}},
        {"0", {}},     {"-2", {}},  {"", {}},     {"  ", {}},   {"3x", {}},
        {"2.5", {}},   {"+3", {}},  {"0x10", {}}, {"1 2", {}},  {"99999999999999999999", {}},
        {nullptr, {}},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(parse_thread_setting(text), expected) << (text ? text : "(unset)");
    }
}

TEST(ThreadCount, CgroupQuotaFiles) {
    const std::vector<std::pair<std::string, std::optional<unsigned>>> v2 = {
        {"max 100000\n", {}}, {"200000 100000\n", 2}, {"150000 100000", 2}, {"50000 100000\n", 1},
        {"0 100000", {}},     {"100000", {}},         {"1 2 3", {}},        {"x 100000", {}},
        {"100000 0", {}},     {"90000000 1000", 256},
    };
    for (const auto& [text, expected] : v2) EXPECT_EQ(cpus_from_cgroup_v2(text), expected) << text;
    EXPECT_EQ(cpus_from_cgroup_v1("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(cpus_from_cgroup_v1("300000\n", "100000\n"), 3u);
    EXPECT_EQ(cpus_from_cgroup_v1("250000", "100000"), 3u);
    EXPECT_EQ(cpus_from_cgroup_v1("abc", "100000"), std::nullopt);
}

// The smallest quota along the process's cgroup and its ancestors counts,
// in either cgroup version.
TEST(ThreadCount, CgroupLimitWalksUpTheHierarchy) {
    struct Case {
        std::string proc_self_cgroup;
        std::vector<std::pair<std::string, std::string>> files;
        std::optional<unsigned> expected;
    };
    const std::vector<Case> cases = {
        {"0::/a/b\n", {}, {}},
        {"0::/a/b\n", {{"a/b/cpu.max", "max 100000\n"}, {"a/cpu.max", "300000 100000\n"}}, 3},
        {"0::/a/b\n",
         {{"a/b/cpu.max", "400000 100000\n"},
          {"a/cpu.max", "max 100000\n"},
          {"cpu.max", "200000 100000\n"}},
         2},
        {"0::/\n", {{"cpu.max", "100000 100000\n"}}, 1},
        {"0::/a\n", {{"b/cpu.max", "100000 100000\n"}}, {}},
        {"12:memory:/job\n5:cpu,cpuacct:/job\n",
         {{"cpu,cpuacct/job/cpu.cfs_quota_us", "200000\n"},
          {"cpu,cpuacct/job/cpu.cfs_period_us", "100000\n"}},
         2},
        {"5:cpuacct,cpu:/job/step\n",
         {{"cpu/job/cpu.cfs_quota_us", "-1\n"},
          {"cpu/job/cpu.cfs_period_us", "100000\n"},
          {"cpu/cpu.cfs_quota_us", "500000\n"},
          {"cpu/cpu.cfs_period_us", "100000\n"}},
         5},
        {"12:memory:/job\n", {{"memory/job/cpu.cfs_quota_us", "100000\n"}}, {}},
        {"garbage\n", {}, {}},
    };
    for (const Case& c : cases) {
        const test::TempDir root;
        for (const auto& [name, content] : c.files) {
            std::filesystem::create_directories(
                std::filesystem::path(root.file(name)).parent_path());
            root.write(name, content);
        }
        EXPECT_EQ(cgroup_cpu_limit(c.proc_self_cgroup, root.path()), c.expected)
            << c.proc_self_cgroup;
    }
}

TEST(ThreadCount, EnvironmentOrAvailableCpus) {
    const unsigned cpus = available_cpus();
    EXPECT_GE(cpus, 1u);
    const char* saved = std::getenv("VESK_THREADS");
    const std::string saved_text = saved ? saved : "";
    for (const auto& [value, expected] :
         std::vector<std::pair<const char*, unsigned>>{{"3", 3}, {"abc", cpus}, {"0", cpus}}) {
        setenv("VESK_THREADS", value, 1);
        EXPECT_EQ(configured_threads(), expected) << value;
    }
    unsetenv("VESK_THREADS");
    EXPECT_EQ(configured_threads(), cpus);
    if (saved) setenv("VESK_THREADS", saved_text.c_str(), 1);
}

// Models too small to keep two threads busy get one; the example model
// (2553 nodes, 8294 weights) and the 1k benchmark contract among them.
TEST(ThreadCount, SmallModelsRunOnOneThread) {
    struct Case {
        std::size_t nodes, weights;
        unsigned budget, expected;
    };
    for (const Case& c : std::vector<Case>{{0, 0, 4, 1},
                                           {1000, 20040, 2, 1},
                                           {2553, 8294, 8, 1},
                                           {10000, 500040, 2, 2},
                                           {10000, 500040, 64, 8},
                                           {100000, 5000040, 1, 1},
                                           {100000, 5000040, 1000, 82}}) {
        EXPECT_EQ(threads_for_model(c.nodes, c.weights, c.budget), c.expected)
            << c.nodes << " nodes, " << c.weights << " weights, " << c.budget << " allowed";
    }
}

// Every part runs once per job, and sync() orders the phases of a job:
// each part reads in phase 2 what all parts wrote in phase 1.
TEST(ThreadPool, PartsMeetBetweenPhases) {
    for (const unsigned size : {1u, 2u, 3u, 8u}) {
        ThreadPool pool(size);
        ASSERT_EQ(pool.size(), size);
        std::vector<unsigned> written(size, 0), seen(size, 0);
        for (unsigned round = 1; round <= 50; ++round) {
            auto job = [&](unsigned part) {
                written[part] = round * (part + 1);
                pool.sync();
                unsigned sum = 0;
                for (const unsigned w : written) sum += w;
                pool.sync();  // nobody starts the next round's writes before all have read
                seen[part] = sum;
            };
            pool.run(job);
            for (unsigned part = 0; part < size; ++part) {
                ASSERT_EQ(seen[part], round * size * (size + 1) / 2) << size << " threads";
            }
        }
    }
}

std::vector<std::vector<double>> rows_of(std::size_t count, std::size_t width) {
    std::vector<std::vector<double>> rows(count, std::vector<double>(width));
    for (std::size_t r = 0; r < count; ++r) {
        for (std::size_t c = 0; c < width; ++c) rows[r][c] = std::sin(double(r * width + c)) * 1e3;
    }
    return rows;
}

// The same bytes as writing directly, whatever the number of row buffers,
// and rows queued before an exception still reach the file.
TEST(BackgroundRowWriter, WritesWhatTheWriterWouldWrite) {
    const test::TempDir dir;
    const std::vector<std::string> names = {"3", "1", "2"};
    const auto rows = rows_of(200, names.size());
    {
        CsvStreamWriter direct(dir.file("direct.csv"), names);
        for (std::size_t r = 0; r < rows.size(); ++r) direct.write_row(0.1 * double(r), rows[r]);
        direct.finish();
    }
    const std::string expected = test::read_file(dir.file("direct.csv"));
    for (const std::size_t slots : {1u, 2u, 4u}) {
        SCOPED_TRACE(std::to_string(slots) + " row buffers");
        const std::string path = dir.file("queued.csv");
        {
            CsvStreamWriter writer(path, names);
            BackgroundRowWriter rows_writer(writer, slots);
            for (std::size_t r = 0; r < rows.size(); ++r) {
                rows_writer.write_row(0.1 * double(r), rows[r]);
            }
            rows_writer.close();
            writer.finish();
        }
        EXPECT_EQ(test::read_file(path), expected);
        try {
            CsvStreamWriter writer(path, names);
            BackgroundRowWriter rows_writer(writer, slots);
            for (std::size_t r = 0; r < rows.size(); ++r) {
                rows_writer.write_row(0.1 * double(r), rows[r]);
            }
            throw std::runtime_error("run failed");
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(test::read_file(path), expected) << "after an exception";
    }
}

TEST(BackgroundRowWriter, FailuresAreReportedAsByTheWriter) {
    const test::TempDir dir;
    {
        CsvStreamWriter writer(dir.file("t.csv"), {"0", "1"});
        BackgroundRowWriter rows_writer(writer);
        rows_writer.write_row(0.0, {1.0, 2.0});
        EXPECT_THROW_MSG(rows_writer.write_row(0.1, {1.0}), std::runtime_error,
                         "write_csv: solution row width does not match node_names");
        rows_writer.close();
        writer.finish();
    }
    EXPECT_EQ(test::read_file(dir.file("t.csv")), "time_ms,0,1\n0,1,2\n");
    if (!test::file_exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    CsvStreamWriter full("/dev/full", {"0"});
    BackgroundRowWriter rows_writer(full);
    for (int r = 0; r < 100; ++r) rows_writer.write_row(r, {0.5});
    rows_writer.close();
    EXPECT_THROW_MSG(full.finish(), std::runtime_error,
                     "write_csv: failed to write output file: /dev/full");
}

// A simulator takes as many threads as it is given while every thread has
// at least one slice of nodes.
TEST(SimulatorThreads, ThreadCountFollowsTheNodeCount) {
    for (const auto& [nodes, threads, expected] : std::vector<std::tuple<int, unsigned, unsigned>>{
             {0, 4, 1}, {100, 4, 1}, {129, 4, 2}, {1000, 5, 5}, {1000, 9, 8}, {1000, 1, 1}}) {
        Network net;
        net.n_nodes = nodes;
        net.is_excitatory.assign(static_cast<std::size_t>(nodes), true);
        const Simulator sim(&net, 0.1, threads);
        EXPECT_EQ(sim.thread_count(), expected) << nodes << " nodes, " << threads << " threads";
    }
}

// Whole runs on generated contracts: every VESK_THREADS gives the bytes of
// the one-thread run (the simulator tests compare the bits themselves, on
// more networks).
class ThreadedRuns : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { contracts_ = new test::TempDir; }
    static void TearDownTestSuite() {
        delete contracts_;
        contracts_ = nullptr;
    }

    static std::string generated(const std::string& name, const std::vector<std::string>& args) {
        const std::string path = contracts_->file(name);
        if (test::file_exists(path)) return path;
        std::vector<std::string> all = args;
        all.insert(all.end(), {"--out", path});
        const auto result = test::run_program(VESK_MAKE_CONTRACT_PATH, all);
        EXPECT_EQ(result.status, 0) << result.err;
        return path;
    }

    static test::TempDir* contracts_;
};

test::TempDir* ThreadedRuns::contracts_ = nullptr;

TEST_F(ThreadedRuns, EveryThreadCountWritesTheSameBytes) {
    // The first has work enough for 8 threads (threads_for_model), and its
    // last range is not a whole slice; the second runs on one thread, with
    // and without the background writer.
    const std::vector<std::pair<std::string, std::string>> models = {
        {"12000 nodes", generated("c12000.json", {"--nodes", "12000", "--degree", "40", "--inputs",
                                                  "3", "--seed", "5"})},
        {"1301 nodes", generated("c1301.json", {"--nodes", "1301", "--degree", "7"})},
    };
    const char* saved = std::getenv("VESK_THREADS");
    const std::string saved_text = saved ? saved : "";
    for (const auto& [label, model] : models) {
        SCOPED_TRACE(label);
        std::optional<std::vector<std::string>> expected;  // status, stdout, stderr, files
        for (const char* threads : {"1", "2", "3", "5", "8", "junk", ""}) {
            SCOPED_TRACE(std::string("VESK_THREADS=") + threads);
            const test::TempDir dir;
            setenv("VESK_THREADS", threads, 1);
            const auto result = test::run_cli({"--model", model, "--t-end", "3", "--output",
                                               "nodes.csv", "--output-inputs", "inputs.csv"},
                                              dir.path());
            const std::vector<std::string> got = {
                std::to_string(result.status), result.out, result.err,
                test::read_file(dir.file("nodes.csv")), test::read_file(dir.file("inputs.csv"))};
            ASSERT_EQ(result.status, 0) << result.err;
            if (!expected) {
                expected = got;
                continue;
            }
            for (std::size_t i = 0; i < got.size(); ++i) {
                EXPECT_TRUE(got[i] == (*expected)[i]) << "status/stdout/stderr/nodes/inputs " << i;
            }
        }
    }
    if (saved) {
        setenv("VESK_THREADS", saved_text.c_str(), 1);
    } else {
        unsetenv("VESK_THREADS");
    }
}

}  // namespace
}  // namespace vesk
