// End-to-end checks of the command line: every run here starts the real
// executable and compares status, stdout and stderr byte for byte.
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

#include "app/version.hpp"
#include "test_support.hpp"

namespace vesk {
namespace {

// The usage text as printed for a program named vesk-sim.
std::string usage(const std::string& prog = "vesk-sim") {
    return std::regex_replace(test::read_file(test::test_data("usage.txt")), std::regex("vesk-sim"),
                              prog);
}

const std::string kVersion = std::string("vesk-sim ") + version + "\n";
const std::string kRequired =
    "Error: --model, --output, and one of --t-end or --n-steps (> 0) are required\n" + usage();
const std::string kLoaded = "Loading network from m.json...\n  n_nodes=1, n_inputs=0\n";
const std::string kTooFew = "Error: --t-end must correspond to at least 2 output samples\n";
const std::string kRan = "Creating simulator...\nRunning simulation...\nWriting output to ";

// One excitatory node, no inputs: enough for every command-line path.
const char* kModel = R"({"counts": {"n_nodes": 1, "n_inputs": 0},
  "network_parameters": {"sigmoid": {"theta": 0, "beta": 1, "f_max": 1}},
  "nodes": [{"node_id": 0, "tau": 1, "pop_id": "p", "pop_typ": "E", "con_typ": "c",
             "circ_id": "c", "h_row": "h", "d_row": "d", "mat_id": "m"}],
  "inputs": []})";

std::string unrecognized(const std::string& word) {
    return "Error: unrecognized or incomplete argument '" + word + "'\n\n" + usage();
}
std::string bad_t_end(const std::string& value) {
    return "Error: --t-end needs a number of milliseconds within the range of a double, got '" +
           value + "'\n";
}
std::string bad_n_steps(const std::string& value) {
    return "Error: --n-steps needs a whole number between -2147483648 and 2147483647, got '" +
           value + "'\n";
}
std::string too_many(const std::string& t_end, const std::string& steps) {
    return "Error: --t-end must correspond to at most 2147483647 output samples. Received t_end=" +
           t_end + " (" + steps + " steps).\n";
}
std::string overwrites(const std::string& option, const std::string& input,
                       const std::string& path) {
    return "Error: " + option + " would overwrite the file given as " + input + ": " + path + "\n";
}

// Every run has m.json, i.txt and b.txt beside it, and the links link.json
// and hard.json to m.json; none of them may change, and no o.csv may appear.
// `file`, when given, is an output written, and `csv` all it holds.
void expect_run(const std::vector<std::string>& args, int status, const std::string& out,
                const std::string& err, const std::string& file = "", const std::string& csv = "",
                const std::string& program = "vesk-sim") {
    static const std::map<std::string, std::string> inputs = [] {
        nlohmann::json edges = nlohmann::json::parse(kModel);
        edges["edges"] = {{{"source_kind", std::string("no\nError: forged\x1b[2J\x7f\t\0!", 24)},
                           {"source_id", 0},
                           {"target_node_id", 0},
                           {"weight_final", 1.0}}};
        return std::map<std::string, std::string>{{"m.json", kModel},
                                                  {"edges.json", edges.dump()},
                                                  {"i.txt", "# no stimulus\n"},
                                                  {"t.txt", "Word_inhib 0 5\nNoun_inhib 0 5\n"},
                                                  {"b.txt", "99999999999\r\n"}};  // beyond 32 bits
    }();
    test::TempDir dir;
    for (const auto& [name, text] : inputs) dir.write(name, text);
    std::filesystem::create_directory(dir.file("sub"));
    std::filesystem::create_symlink("m.json", dir.file("link.json"));
    std::filesystem::create_hard_link(dir.file("m.json"), dir.file("hard.json"));
    const auto r = test::run_cli(args, dir.path(), program);
    SCOPED_TRACE(::testing::PrintToString(args));
    EXPECT_EQ(std::tie(r.status, r.out, r.err), std::tie(status, out, err));
    for (const auto& [name, text] : inputs) EXPECT_EQ(test::read_file(dir.file(name)), text);
    if (!file.empty()) {
        EXPECT_EQ(test::read_file(dir.file(file)), csv);
    }
    EXPECT_FALSE(test::file_exists(dir.file("o.csv")) || test::file_exists(dir.file("first.csv")));
}

TEST(Cli, StatusAndMessagesOfEveryCommandLinePath) {
    const auto with = [](std::vector<std::string> extra) {
        extra.insert(extra.begin(), {"--model", "m.json", "--output", "o.csv"});
        return extra;
    };
    // Outputs checked against the inputs, here all given.
    const auto outputs = [](std::vector<std::string> extra) {
        extra.insert(extra.begin(), {"--model", "m.json", "--instructions", "i.txt", "--bindings",
                                     "b.txt", "--t-end", "1"});
        return extra;
    };
    expect_run({}, 1, "", kRequired);
    expect_run({"--help"}, 0, "", usage("./bin/my-sim"), {}, {}, "./bin/my-sim");
    expect_run(with({"--t-end", "5", "--help"}), 0, "", usage());
    expect_run({"--bogus", "--help"}, 1, "", unrecognized("--bogus"));
    expect_run(with({"--t-end", "5", "--version", "--bogus"}), 0, kVersion, "");
    expect_run({"--bogus", "--version"}, 1, "", unrecognized("--bogus"));
    expect_run({"--model=m.json"}, 1, "", unrecognized("--model=m.json"));
    expect_run(with({"--t-end", "1", "--output"}), 1, "", unrecognized("--output"));
    expect_run(with({"--t-end", "5", "--n-steps", "3"}), 1, "",
               "Error: --t-end and --n-steps are mutually exclusive\n" + usage());
    expect_run(with({"--n-steps", "0"}), 1, "", kRequired);
    expect_run({"--model", "m.json", "--t-end", "5"}, 1, "", kRequired);
    expect_run({"--model", "m.json", "--output", "", "--t-end", "5"}, 1, "", kRequired);
    expect_run(
        with({"--t-end", "0.15"}), 1, kLoaded,
        "Error: --t-end must align with h=0.1 ms from t_start=0.0 ms. Received t_end=0.15 (1.5 "
        "steps).\n");
    expect_run({"--model", "missing.json", "--output", "o.csv", "--t-end", "0.15"}, 1,
               "Loading network from missing.json...\n",
               "Error: Failed to open model file: missing.json\n");
    expect_run(with({"--t-end", "0.1"}), 1, kLoaded, kTooFew);
    expect_run(with({"--n-steps", "1.5"}), 1, kLoaded, kTooFew);
    expect_run(with({"--t-end", "nan"}), 1, kLoaded, kTooFew);
    expect_run(with({"--t-end", "inf"}), 1, kLoaded, too_many("inf", "inf"));
    // A double, but 1e301 steps; 1e400 is beyond any double; 2147483648
    // is one past the largest int.
    expect_run(with({"--t-end", "1e300"}), 1, kLoaded, too_many("1e+300", "1e+301"));
    expect_run(with({"--t-end", "abc"}), 1, "", bad_t_end("abc"));
    expect_run(with({"--t-end", "1e400"}), 1, "", bad_t_end("1e400"));
    expect_run(with({"--n-steps", "x3"}), 1, "", bad_n_steps("x3"));
    expect_run(with({"--n-steps", "2147483648"}), 1, "", bad_n_steps("2147483648"));
    // 10485762 * 0.1 / 0.1 is one ulp off the count; the count itself is
    // exact, so the run proceeds to the output file, which cannot be created.
    expect_run({"--model", "m.json", "--output", "no-such-dir/o.csv", "--n-steps", "10485762"}, 1,
               kLoaded + kRan + "no-such-dir/o.csv...\n",
               "Error: write_csv: failed to open output file: no-such-dir/o.csv\n");
    // Control characters from inputs are escaped: the error stays one plain line.
    expect_run(
        {"--model", "edges.json", "--output", "o.csv", "--t-end", "1"}, 1,
        "Loading network from edges.json...\n",
        "Error: Unknown source_kind in edges array: no\\nError: forged\\x1b[2J\\x7f\\t\\x00!\n");
    // Missing targets name the byte-wise first: file order, and a
    // case-folding order, would both name the other one.
    expect_run(
        with({"--t-end", "1", "--instructions", "t.txt"}), 1,
        kLoaded +
            "Creating simulator...\nParsing instruction file: t.txt\n  Instruction format: "
            "unified (strict parsing)\n",
        "Error: Instruction target 'EX0_inhib_N' is not an external input in the loaded model\n");
    expect_run(with({"--t-end", "1", "--bindings", "b.txt"}), 1,
               kLoaded + "Creating simulator...\nParsing bindings file: b.txt\n",
               "Error: Binding index out of range in line: 99999999999\\r\n");
    expect_run(outputs({"--output", "m.json"}), 1, "", overwrites("--output", "--model", "m.json"));
    expect_run(outputs({"--output", "o.csv", "--output-inputs", "./sub/../m.json"}), 1, "",
               overwrites("--output-inputs", "--model", "./sub/../m.json"));
    expect_run(outputs({"--output", "link.json"}), 1, "",
               overwrites("--output", "--model", "link.json"));
    expect_run(outputs({"--output", "hard.json"}), 1, "",
               overwrites("--output", "--model", "hard.json"));
    expect_run(outputs({"--output", "i.txt"}), 1, "",
               overwrites("--output", "--instructions", "i.txt"));
    expect_run(outputs({"--output", "o.csv", "--output-row-map", "b.txt"}), 1, "",
               overwrites("--output-row-map", "--bindings", "b.txt"));
    expect_run(outputs({"--output", "o.csv", "--output-inputs", "sub/../o.csv"}), 1, "",
               overwrites("--output-inputs", "--output", "sub/../o.csv"));
    expect_run(outputs({"--output", "o.csv", "--output-row-map", "o.csv"}), 1, "",
               overwrites("--output", "--output-row-map", "o.csv"));
    // Option values are taken verbatim ("--t-end" after --output is the
    // output path) and the last one wins; --reproducible takes no value;
    // an empty --output-inputs writes no input traces. The single node
    // relaxes as 0.5 * (1 - exp(-t / 2.5)); RK4 agrees to the six digits written.
    expect_run({"--reproducible", "--model", "m.json", "--output", "first.csv", "--output",
                "--t-end", "--t-end", "0.2ms", "--output-inputs", "", "--reproducible"},
               0, kLoaded + kRan + "--t-end...\nDone.\n", "", "--t-end",
               "time_ms,0\n0,0\n0.2,0.0384418\n");
    // --n-steps 3 gives t_end = 0.30000000000000004 and 3 samples; a
    // non-positive --t-end beside it is no conflict.
    expect_run({"--model", "m.json", "--output", "a.csv", "--t-end", "-5", "--n-steps", "3"}, 0,
               kLoaded + kRan + "a.csv...\nDone.\n", "", "a.csv",
               "time_ms,0\n0,0\n0.15,0.0291177\n0.3,0.0565398\n");
    // Devices are no files to protect: both traces may be discarded at once.
    expect_run({"--model", "m.json", "--t-end", "1", "--output", "/dev/null", "--output-inputs",
                "/dev/null"},
               0, kLoaded + kRan + "/dev/null...\nWriting input traces to /dev/null...\nDone.\n",
               "");
}

}  // namespace
}  // namespace vesk
