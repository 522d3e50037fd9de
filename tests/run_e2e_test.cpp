// End-to-end runs of vesk-sim. The expected CSV files under data/e2e were
// produced by tools/reference_sim.py, a separate implementation of
// the run, never by vesk-sim itself.
#include <algorithm>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace vesk {
namespace {

std::string scenario_file(const std::string& scenario, const std::string& name) {
    return test::test_data("e2e/" + scenario + "/" + name);
}

// Standard output echoes the paths it was given, so every run works in a
// fresh directory holding copies of the scenario's inputs under fixed names.
void copy_inputs(const std::string& scenario, const test::TempDir& dir) {
    for (const char* name : {"contract.json", "instructions.txt", "bindings.txt"}) {
        const std::string source = scenario_file(scenario, name);
        if (test::file_exists(source)) dir.write(name, test::read_file(source));
    }
}

// Byte comparison that points at the first differing line instead of
// dumping two whole trace files.
void expect_same_bytes(const std::string& actual, const std::string& expected,
                       const std::string& what) {
    const auto a = test::split_lines(actual), e = test::split_lines(expected);
    const auto [at, et] = std::mismatch(a.begin(), a.end(), e.begin(), e.end());
    EXPECT_TRUE(actual == expected) << what << " differs at line " << at - a.begin() + 1
                                    << "\n  actual:   " << (at != a.end() ? *at : "<end>")
                                    << "\n  expected: " << (et != e.end() ? *et : "<end>");
}

struct Scenario {
    std::string name;
    std::vector<std::string> args;  // the three outputs are appended
};

void PrintTo(const Scenario& s, std::ostream* os) {
    *os << s.name;
}

const std::vector<Scenario> scenarios = {
    // Four mixed nodes, a duplicate weight pair, Word and table commands,
    // one bound row index found and one not.
    {"mixed_network",
     {"--model", "contract.json", "--t-end", "6", "--instructions", "instructions.txt",
      "--bindings", "bindings.txt"}},
    // Metadata texts with commas and quotes, defaulted input metadata, a
    // bound inhibitory node listed twice.
    {"quoted_metadata",
     {"--model", "contract.json", "--t-end", "5.5", "--instructions", "instructions.txt",
      "--bindings", "bindings.txt"}},
    // An instruction file with directives only; end time from --n-steps.
    // The tiny ones: 1800 samples stretch the step over 180 ms, and 1 ms
    // gives ten samples at ninths of a millisecond.
    {"directives_only",
     {"--model", "contract.json", "--n-steps", "60", "--instructions", "instructions.txt"}},
    {"tiny_t180", {"--model", "contract.json", "--t-end", "180"}},
    {"tiny_t1", {"--model", "contract.json", "--t-end", "1"}},
};

class Scenarios : public ::testing::TestWithParam<Scenario> {};

TEST_P(Scenarios, MatchReferenceOutputs) {
    const Scenario& s = GetParam();
    test::TempDir dir;
    copy_inputs(s.name, dir);

    std::vector<std::string> args = s.args;
    args.insert(args.end(), {"--output", "nodes.csv", "--output-inputs", "inputs.csv",
                             "--output-row-map", "row_map.csv"});
    const test::CliResult r = test::run_cli(args, dir.path());

    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, test::read_file(scenario_file(s.name, "expected_stdout.txt")));
    for (const char* name : {"nodes", "inputs", "row_map"}) {
        const std::string file = std::string(name) + ".csv";
        ASSERT_TRUE(test::file_exists(dir.file(file))) << file;
        expect_same_bytes(test::read_file(dir.file(file)),
                          test::read_file(scenario_file(s.name, "expected_" + file)), file);
    }
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Scenarios, ::testing::ValuesIn(scenarios),
                         [](const auto& info) { return info.param.name; });

// Under a file-size limit (ulimit -f, in KiB) the write that crosses it
// fails, and the run reports it instead of dying of SIGXFSZ. The 1800 rows
// of the node trace are far beyond 4 KiB; stdout and stderr, which the
// runner sends to files, stay below it.
TEST(EndToEndErrors, FileSizeLimitIsAWriteError) {
    test::TempDir dir;
    copy_inputs("tiny_t1", dir);
    const auto r =
        test::run_program("/bin/bash",
                          {"-c", "ulimit -f 4 && exec \"$0\" \"$@\"", VESK_SIM_PATH, "--model",
                           "contract.json", "--t-end", "180", "--output", "nodes.csv"},
                          dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "Loading network from contract.json...\n"
              "  n_nodes=1, n_inputs=0\n"
              "Creating simulator...\n"
              "Running simulation...\n"
              "Writing output to nodes.csv...\n");
    EXPECT_EQ(r.err, "Error: write_csv: failed to write output file: nodes.csv\n");
}

}  // namespace
}  // namespace vesk
