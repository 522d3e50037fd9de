// The contract generator (tools/make_contract), the shipped example model
// data/kaldo_contract.json and the example scenarios in examples/.

#include <algorithm>
#include <array>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/network.hpp"
#include "stimulus/bindings_file.hpp"
#include "stimulus/instruction_file.hpp"
#include "stimulus/population_names.hpp"
#include "test_support.hpp"

namespace vesk::test {
namespace {

const std::string source_dir = VESK_SOURCE_DIR;
const std::string model_path = source_dir + "/data/kaldo_contract.json";
const std::string success_path = source_dir + "/examples/QA_3NVN_O_success.txt";
const std::string fail_path = source_dir + "/examples/QA_3NVN_O_fail.txt";
const std::string bindings_path =
    source_dir + "/examples/VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt";

CliResult make_contract(const std::vector<std::string>& args) {
    return run_program(VESK_MAKE_CONTRACT_PATH, args);
}

std::string first_line(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

Network load(const std::string& path) {
    Network net;
    net.load_from_json(path);
    return net;
}

// Number of stored entries per column of a CSR matrix.
std::vector<int> column_counts(const SparseMatrix& m) {
    std::vector<int> counts(static_cast<std::size_t>(m.cols), 0);
    for (const auto c : m.col_idx) ++counts.at(static_cast<std::size_t>(c));
    return counts;
}

// Every node has exactly `degree` distinct other nodes as sources, with
// weights signed by the source's kind; every input drives min(nodes, 10)
// distinct nodes; both node kinds occur.
TEST(MakeContract, RandomContractsHaveTheRequestedShape) {
    TempDir dir;
    // Typical; smallest, inputs on a single node; more inputs than nodes.
    for (const auto [nodes, degree, inputs] : {std::array{300, 12, 6}, {1, 0, 3}, {12, 11, 20}}) {
        SCOPED_TRACE(std::to_string(nodes) + " nodes");
        const std::string out = dir.file("c.json");
        const CliResult r =
            make_contract({"--nodes", std::to_string(nodes), "--degree", std::to_string(degree),
                           "--inputs", std::to_string(inputs), "--seed", "7", "--out", out});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const int fanout = std::min(nodes, 10);
        EXPECT_EQ(r.out, "Wrote " + out + ": " + std::to_string(nodes) + " nodes, " +
                             std::to_string(inputs) + " inputs, " +
                             std::to_string(nodes * degree + inputs * fanout) + " edges\n");
        const Network net = load(out);
        ASSERT_EQ(net.n_nodes, nodes);
        ASSERT_EQ(net.n_inputs, inputs);
        const SparseMatrix& w = *net.weights;
        ASSERT_EQ(w.values.size(), static_cast<std::size_t>(nodes * degree));
        for (int row = 0; row < nodes; ++row) {
            ASSERT_EQ(w.row_ptr[row + 1] - w.row_ptr[row], degree) << "row " << row;
            std::set<int> sources;
            for (int k = w.row_ptr[row]; k < w.row_ptr[row + 1]; ++k) {
                EXPECT_NE(w.col_idx[k], row) << "self-loop on node " << row;
                sources.insert(w.col_idx[k]);
                EXPECT_EQ(w.values[k] > 0.0, static_cast<bool>(net.is_excitatory[w.col_idx[k]]));
            }
            EXPECT_EQ(sources.size(), static_cast<std::size_t>(degree));
        }
        EXPECT_EQ(net.input_weights->values.size(), static_cast<std::size_t>(inputs * fanout));
        for (const int c : column_counts(*net.input_weights)) EXPECT_EQ(c, fanout);
        for (int k = 0; k < inputs; ++k) EXPECT_EQ(net.input_names[k], "in_" + std::to_string(k));
        const auto n_exc = std::count(net.is_excitatory.begin(), net.is_excitatory.end(), true);
        EXPECT_TRUE(nodes < 2 || (n_exc > 0 && n_exc < nodes)) << n_exc;
    }
}

// Same options, same bytes; the shipped model is the --example output.
TEST(MakeContract, OutputDependsOnlyOnOptions) {
    TempDir dir;
    auto generate = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"--out", dir.file("c.json")});
        const CliResult r = make_contract(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return read_file(dir.file("c.json"));
    };
    const std::vector<std::string> random = {"--nodes", "500", "--degree", "20", "--inputs", "8"};
    const auto seeded = [&](const char* seed) {
        std::vector<std::string> args = random;
        args.insert(args.end(), {"--seed", seed});
        return generate(args);
    };
    const std::string a = seeded("11");
    EXPECT_EQ(seeded("11"), a);
    EXPECT_NE(seeded("12"), a);
    EXPECT_EQ(generate(random), seeded("1"));  // the default seed is 1
    const std::string ex = generate({"--example", "--seed", "3"});
    EXPECT_NE(generate({"--example", "--seed", "4"}), ex);
    EXPECT_EQ(generate({"--example", "--nodes", "3", "--seed", "3"}), ex);  // sizes ignored
    EXPECT_TRUE(generate({"--example"}) == read_file(model_path))
        << "data/kaldo_contract.json differs from 'make_contract --example' output";
}

TEST(MakeContract, ShippedModelHasAnInputForEveryPopulationAndScenario) {
    const Network net = load(model_path);
    EXPECT_GE(net.n_nodes, 1000);
    EXPECT_LE(net.n_nodes, 3000);

    // One input per command target and per word, each named once, and each
    // reaching some node, so every command has a visible effect.
    std::vector<std::string> expected, names = net.input_names;
    for (const auto& entry : command_targets) expected.push_back(entry.second);
    for (int w = 0; w < 16; ++w) expected.push_back("EX1_input_W" + std::to_string(w));
    std::sort(expected.begin(), expected.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, expected);
    const std::vector<int> fanout = column_counts(*net.input_weights);
    for (int k = 0; k < net.n_inputs; ++k) {
        EXPECT_GT(fanout[k], 0) << net.input_names[k] << " drives no node";
    }

    // The example scenarios address the model's inputs and rows.
    const std::set<std::string> inputs(net.input_names.begin(), net.input_names.end());
    for (const auto& path : {success_path, fail_path}) {
        SCOPED_TRACE(path);
        const ScheduleMap schedule = parse_instruction_file(path, 0.1, 100.0);
        EXPECT_FALSE(schedule.empty());
        for (const auto& [target, windows] : schedule) {
            EXPECT_TRUE(inputs.count(target)) << target << " is not an input of the model";
            for (const auto& w : windows) {
                EXPECT_GE(w.start_ms, 0.0);
                EXPECT_LE(w.end_ms, 180.0 + 1e-9) << target;
            }
        }
    }
    std::set<int> rows;
    for (const auto& md : net.node_metadata) rows.insert(md.row_index);
    const std::vector<int> bound = parse_bindings_file(bindings_path);
    EXPECT_FALSE(bound.empty());
    for (const int row : bound) EXPECT_TRUE(rows.count(row)) << "no node has row index " << row;
}

// A node trace: header labels and rows of numbers (time first).
struct Trace {
    std::vector<std::string> labels;
    std::vector<std::vector<double>> rows;

    // Largest value of a column over [from_ms, to_ms].
    double peak(const std::string& label, double from_ms, double to_ms) const {
        const auto c = std::find(labels.begin(), labels.end(), label) - labels.begin();
        double best = -1.0;
        for (const auto& row : rows) {
            if (row[0] >= from_ms && row[0] <= to_ms) best = std::max(best, row.at(c));
        }
        return best;
    }
};

Trace read_trace(const std::string& path) {
    std::istringstream in(read_file(path));
    std::string line, cell;
    std::getline(in, line);
    Trace t;
    for (std::stringstream header(line); std::getline(header, cell, ',');) t.labels.push_back(cell);
    while (std::getline(in, line)) {
        t.rows.emplace_back();
        for (std::stringstream row(line); std::getline(row, cell, ',');) {
            t.rows.back().push_back(std::strtod(cell.c_str(), nullptr));
        }
        EXPECT_EQ(t.rows.back().size(), t.labels.size());
    }
    return t;
}

// The full runs: both finish, stay within [0, f_max], show the clamps, and
// only the answerable question reads the object word ("W2") out of memory.
TEST(MakeContract, ExampleScenariosRunAndDiffer) {
    const Network net = load(model_path);
    std::map<std::string, std::string> label_of;  // pop_id -> CSV label
    for (const auto& md : net.node_metadata) label_of[md.pop_id] = std::to_string(md.row_index);
    const std::vector<int> bound = parse_bindings_file(bindings_path);
    TempDir dir;
    std::vector<double> answers;
    for (const auto& scenario : {success_path, fail_path}) {
        SCOPED_TRACE(scenario);
        const std::string out = dir.file("trace.csv");
        const CliResult r = run_cli({"--model", model_path, "--t-end", "180", "--instructions",
                                     scenario, "--bindings", bindings_path, "--output", out});
        ASSERT_EQ(r.status, 0) << r.err;
        const Trace t = read_trace(out);
        ASSERT_EQ(t.rows.size(), 1800u);
        for (const auto& row : t.rows) {
            const auto [lo, hi] = std::minmax_element(row.begin() + 1, row.end());
            ASSERT_GE(*lo, 0.0);
            ASSERT_LE(*hi, net.f_max);
        }
        for (const int row : bound) {
            EXPECT_EQ(t.peak(std::to_string(row), 0.1, 4.9), 50.0);
            // A clamped memory cell keeps its binding after the clamp.
            EXPECT_GT(t.peak(std::to_string(row), 170.0, 180.0), 90.0);
        }
        answers.push_back(t.peak(label_of.at("W2"), 130.0, 160.0));
    }
    EXPECT_GT(answers[0], 50.0);
    EXPECT_LT(answers[1], 5.0);
}

TEST(MakeContract, BadOptionsAreRejected) {
    TempDir dir;
    const std::string out = dir.file("never.json");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--nodes"}, "--nodes needs a value"},
        {{"--nodes", "5"}, "--out FILE is required"},
        {{"--out", ""}, "--out needs a file name"},
        {{"--nodes", "12x", "--out", out},
         "--nodes expects a non-negative whole number, got '12x'"},
        {{"--nodes", "3000000000", "--out", out},
         "--nodes value '3000000000' is too large (at most 2147483647)"},
        {{"--seed", "18446744073709551616", "--out", out},
         "--seed value '18446744073709551616' is too large (at most 18446744073709551615)"},
        {{"--nodes", "0", "--degree", "0", "--out", out}, "--nodes must be at least 1"},
        {{"--nodes", "5", "--degree", "5", "--out", out},
         "--degree 5 exceeds the number of other nodes (4)"},
        {{"--nodes", "5", "--nodes", "6", "--out", out}, "--nodes given more than once"},
    };
    for (const auto& c : cases) {
        const CliResult r = make_contract(c.args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_EQ(first_line(r.err), "make_contract: " + c.message);
        EXPECT_NE(r.err.find("Usage: make_contract"), std::string::npos) << c.message;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(file_exists(out));

    const CliResult unwritable = make_contract({"--out", dir.file("no/such/dir.json")});
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_EQ(unwritable.err,
              "make_contract: cannot open output file '" + dir.file("no/such/dir.json") + "'\n");

    const CliResult help = make_contract({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(first_line(help.out),
              "Usage: make_contract [--nodes N] [--degree D] [--inputs M] [--seed S] --out FILE");
    EXPECT_EQ(help.err, "");
}

}  // namespace
}  // namespace vesk::test
