// End-to-end checks of the command line: every run here starts the real
// executable and compares status, stdout and stderr byte for byte.
#include <filesystem>

#include <nlohmann/json.hpp>

#include "test_support.hpp"

namespace vesk {
namespace {

std::string usage(const std::string& prog) {
    return "Usage:\n"
           "  " + prog + " --model FILE --output FILE --t-end MS [options]\n"
           "\n"
           "Required arguments:\n"
           "  --model FILE\n"
           "      Path to an VESK simulation contract JSON file exported from Python.\n"
           "  --output FILE\n"
           "      Path to the output CSV file. The CSV contains one row per timestep\n"
           "      with header: time_ms,<node_row_index_0>,<node_row_index_1>,...\n"
           "\n"
           "  --t-end MS\n"
           "      Simulation end time in milliseconds (t_start is fixed at 0.0 ms).\n"
           "      Mutually exclusive with --n-steps.\n"
           "\n"
           "  --n-steps N\n"
           "      Number of output timesteps (each h=0.1 ms). Equivalent to\n"
           "      --t-end N*0.1. Mutually exclusive with --t-end.\n"
           "\n"
           "Optional arguments:\n"
           "  --instructions FILE\n"
           "      Instruction file in the unified VESK text format (legacy QA and\n"
           "      SGall files are valid subsets; parsed strictly). If provided,\n"
           "      instruction windows are mapped onto model input populations.\n"
           "  --bindings FILE\n"
           "      WM bindings file in the existing VESK text format. If provided,\n"
           "      listed node row indices are clamped using QA defaults\n"
           "      (t_start=0.1 ms, t_end=4.9 ms, value=50.0).\n"
           "  --output-inputs FILE\n"
           "      Optional CSV path to write per-timestep input-channel traces\n"
           "      (header: time_ms,<input_row_index_0>,...).\n"
           "  --output-row-map FILE\n"
           "      Optional CSV path to write row-index metadata mapping\n"
           "      (row_index,pop_id,pop_typ,con_typ,circ_id,h_row,d_row,mat_id).\n"
           "  --reproducible\n"
           "      Reserved flag for future reproducibility controls. It is currently\n"
           "      accepted but has no additional effect.\n"
           "  --help\n"
           "      Show this help message and exit.\n"
           "\n"
           "Examples:\n"
           "  Success scenario:\n"
           "    " + prog + " --model data/kaldo_contract.json --t-end 180.0 --instructions "
           "../tests/QA_3NVN_O_success.txt --bindings "
           "../tests/VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt --output "
           "/tmp/qa_success_cpp.csv\n"
           "  Fail scenario:\n"
           "    " + prog + " --model data/kaldo_contract.json --t-end 180.0 --instructions "
           "../tests/QA_3NVN_O_fail.txt --bindings "
           "../tests/VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt --output "
           "/tmp/qa_fail_cpp.csv\n";
}

const std::string kUsage = usage("vesk-sim");
const std::string kRequired =
    "Error: --model, --output, and one of --t-end or --n-steps (> 0) are required\n";
const std::string kLoaded = "Loading network from m.json...\n  n_nodes=1, n_inputs=0\n";
const std::string kTooFew = "Error: --t-end must correspond to at least 2 output samples\n";

// One excitatory node, no inputs: enough for every command-line path.
const char* kModel = R"({"counts": {"n_nodes": 1, "n_inputs": 0},
  "network_parameters": {"sigmoid": {"theta": 0, "beta": 1, "f_max": 1}},
  "nodes": [{"node_id": 0, "tau": 1, "pop_id": "p", "pop_typ": "E", "con_typ": "c",
             "circ_id": "c", "h_row": "h", "d_row": "d", "mat_id": "m"}],
  "inputs": []})";

struct CliCase {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
};

TEST(Cli, StatusAndMessagesOfEveryCommandLinePath) {
    const std::vector<std::string> valid = {"--model", "m.json", "--output", "o.csv"};
    auto with = [&valid](std::vector<std::string> extra) {
        std::vector<std::string> args = valid;
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    const std::vector<CliCase> cases = {
        {{}, 1, "", kRequired + kUsage},
        {{"--help"}, 0, "", kUsage},
        {with({"--t-end", "5", "--help"}), 0, "", kUsage},
        {{"--bogus", "--help"}, 1, "", "Error: unrecognized or incomplete argument '--bogus'\n\n" + kUsage},
        {{"--t-end", "5", "--model"}, 1, "",
         "Error: unrecognized or incomplete argument '--model'\n\n" + kUsage},
        {{"--model=m.json"}, 1, "",
         "Error: unrecognized or incomplete argument '--model=m.json'\n\n" + kUsage},
        {with({"--t-end", "5", "--n-steps", "3"}), 1, "",
         "Error: --t-end and --n-steps are mutually exclusive\n" + kUsage},
        {with({"--n-steps", "0"}), 1, "", kRequired + kUsage},
        {with({"--t-end", "-2"}), 1, "", kRequired + kUsage},
        {{"--model", "m.json", "--t-end", "5"}, 1, "", kRequired + kUsage},
        {{"--model", "m.json", "--output", "", "--t-end", "5"}, 1, "", kRequired + kUsage},
        {with({"--t-end", "0.15"}), 1, kLoaded,
         "Error: --t-end must align with h=0.1 ms from t_start=0.0 ms. Received t_end=0.15 (1.5 "
         "steps).\n"},
        {{"--model", "missing.json", "--output", "o.csv", "--t-end", "0.15"}, 1,
         "Loading network from missing.json...\n", "Error: Failed to open model file: missing.json\n"},
        {with({"--t-end", "0.1"}), 1, kLoaded, kTooFew},
        {with({"--n-steps", "1"}), 1, kLoaded, kTooFew},
        {with({"--n-steps", "1.5"}), 1, kLoaded, kTooFew},
        {with({"--t-end", "nan"}), 1, kLoaded, kTooFew},
        {with({"--t-end", "inf"}), 1, kLoaded,
         "Error: --t-end must correspond to at most 2147483647 output samples. Received "
         "t_end=inf (inf steps).\n"},
        {with({"--t-end", "1e300"}), 1, kLoaded,
         "Error: --t-end must correspond to at most 2147483647 output samples. Received "
         "t_end=1e+300 (1e+301 steps).\n"},
        {with({"--t-end", "abc"}), 1, "",
         "Error: --t-end needs a number of milliseconds within the range of a double, got "
         "'abc'\n"},
        {with({"--t-end", "1e400"}), 1, "",
         "Error: --t-end needs a number of milliseconds within the range of a double, got "
         "'1e400'\n"},
        {with({"--n-steps", "x3"}), 1, "",
         "Error: --n-steps needs a whole number between -2147483648 and 2147483647, got 'x3'\n"},
        {with({"--n-steps", "2147483648"}), 1, "",
         "Error: --n-steps needs a whole number between -2147483648 and 2147483647, got "
         "'2147483648'\n"},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        dir.write("m.json", kModel);
        const auto r = test::run_cli(c.args, dir.path());
        std::string joined;
        for (const auto& a : c.args) joined += " '" + a + "'";
        SCOPED_TRACE(joined);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_FALSE(test::file_exists(dir.file("o.csv")));
    }
}

TEST(Cli, UsageNamesTheProgramAsInvoked) {
    const auto r = test::run_cli({"--help"}, ".", "./bin/my-sim");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, usage("./bin/my-sim"));
}

std::string completed_run(const std::string& csv) {
    return kLoaded + "Creating simulator...\nRunning simulation...\nWriting output to " + csv +
           "...\nDone.\n";
}

TEST(Cli, OptionValuesAreTakenVerbatimAndTheLastOneWins) {
    test::TempDir dir;
    dir.write("m.json", kModel);
    // "--t-end" after --output is the output path; --reproducible takes no
    // value; an empty --output-inputs writes no input traces.
    auto r = test::run_cli({"--reproducible", "--model", "m.json", "--output", "first.csv",
                            "--output", "--t-end", "--t-end", "0.2ms", "--output-inputs", "",
                            "--reproducible"},
                           dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, completed_run("--t-end"));
    EXPECT_EQ(r.err, "");
    // The single node relaxes as 0.5 * (1 - exp(-t / 2.5)); RK4 agrees with
    // that to the six digits written.
    EXPECT_EQ(test::read_file(dir.file("--t-end")), "time_ms,0\n0,0\n0.2,0.0384418\n");
    EXPECT_FALSE(test::file_exists(dir.file("first.csv")));

    // --n-steps 3 gives t_end = 0.30000000000000004 and 3 samples; a
    // non-positive --t-end beside it is no conflict.
    r = test::run_cli({"--model", "m.json", "--output", "a.csv", "--t-end", "-5", "--n-steps", "3"},
                      dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test::read_file(dir.file("a.csv")),
              "time_ms,0\n0,0\n0.15,0.0291177\n0.3,0.0565398\n");
}

TEST(Cli, LongStepCountsAreNotRejectedByGridRounding) {
    // 10485762 * 0.1 / 0.1 is one ulp off the count; the count itself is
    // exact, so the run proceeds (here to the output file, which cannot be
    // created).
    test::TempDir dir;
    dir.write("m.json", kModel);
    const auto r = test::run_cli(
        {"--model", "m.json", "--output", "no-such-dir/o.csv", "--n-steps", "10485762"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: write_csv: failed to open output file: no-such-dir/o.csv\n");
}

TEST(Cli, ControlCharactersFromInputsAreEscapedInErrors) {
    // A source_kind with a line break and a terminal escape, and a CRLF
    // bindings line: the error stays one plain line.
    nlohmann::json doc = nlohmann::json::parse(kModel);
    doc["edges"] = {{{"source_kind", std::string("no\nError: forged\x1b[2J\x7f\t\0!", 24)},
                     {"source_id", 0},
                     {"target_node_id", 0},
                     {"weight_final", 1.0}}};
    test::TempDir dir;
    dir.write("m.json", kModel);
    dir.write("edges.json", doc.dump());
    dir.write("b.txt", "99999999999\r\n");
    auto r =
        test::run_cli({"--model", "edges.json", "--output", "o.csv", "--t-end", "1"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(
        r.err,
        "Error: Unknown source_kind in edges array: no\\nError: forged\\x1b[2J\\x7f\\t\\x00!\n");
    r = test::run_cli(
        {"--model", "m.json", "--output", "o.csv", "--t-end", "1", "--bindings", "b.txt"},
        dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Binding index out of range in line: 99999999999\\r\n");
    EXPECT_FALSE(test::file_exists(dir.file("o.csv")));
}

TEST(Cli, RefusesOutputsThatWouldOverwriteAnInputOrEachOther) {
    const struct {
        std::vector<std::string> outputs;
        std::string message;
    } cases[] = {
        {{"--output", "m.json"}, "--output would overwrite the file given as --model: m.json"},
        {{"--output", "o.csv", "--output-inputs", "./sub/../m.json"},
         "--output-inputs would overwrite the file given as --model: ./sub/../m.json"},
        {{"--output", "link.json"},
         "--output would overwrite the file given as --model: link.json"},
        {{"--output", "hard.json"},
         "--output would overwrite the file given as --model: hard.json"},
        {{"--output", "i.txt"}, "--output would overwrite the file given as --instructions: i.txt"},
        {{"--output", "o.csv", "--output-row-map", "b.txt"},
         "--output-row-map would overwrite the file given as --bindings: b.txt"},
        {{"--output", "o.csv", "--output-inputs", "sub/../o.csv"},
         "--output-inputs would overwrite the file given as --output: sub/../o.csv"},
        {{"--output", "o.csv", "--output-row-map", "o.csv"},
         "--output would overwrite the file given as --output-row-map: o.csv"},
    };
    const std::string model = kModel;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        test::TempDir dir;
        dir.write("m.json", model);
        dir.write("i.txt", "# no stimulus\n");
        dir.write("b.txt", "# no bindings\n");
        std::filesystem::create_directory(dir.file("sub"));
        std::filesystem::create_symlink("m.json", dir.file("link.json"));
        std::filesystem::create_hard_link(dir.file("m.json"), dir.file("hard.json"));
        std::vector<std::string> args = {"--model",    "m.json", "--instructions", "i.txt",
                                         "--bindings", "b.txt",  "--t-end",        "1"};
        args.insert(args.end(), c.outputs.begin(), c.outputs.end());
        const auto r = test::run_cli(args, dir.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Error: " + c.message + "\n");
        EXPECT_EQ(test::read_file(dir.file("m.json")), model);
        EXPECT_EQ(test::read_file(dir.file("i.txt")), "# no stimulus\n");
        EXPECT_EQ(test::read_file(dir.file("b.txt")), "# no bindings\n");
        EXPECT_FALSE(test::file_exists(dir.file("o.csv")));
    }

    // Devices are no files to protect: both traces may be discarded at once.
    test::TempDir dir;
    dir.write("m.json", model);
    const auto r = test::run_cli({"--model", "m.json", "--t-end", "1", "--output", "/dev/null",
                                  "--output-inputs", "/dev/null"},
                                 dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace
}  // namespace vesk
