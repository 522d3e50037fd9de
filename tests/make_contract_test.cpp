// The contract generator (tools/make_contract), the shipped example model
// data/kaldo_contract.json and the example scenarios in examples/.

#include <algorithm>
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

struct Shape {
    int nodes;
    int degree;
    int inputs;
};

// Every node has exactly `degree` distinct other nodes as sources, every
// input drives min(nodes, 10) distinct nodes, and both node kinds occur.
void expect_random_contract(const std::string& path, const Shape& s) {
    SCOPED_TRACE("nodes " + std::to_string(s.nodes) + " degree " + std::to_string(s.degree) +
                 " inputs " + std::to_string(s.inputs));
    const Network net = load(path);
    ASSERT_EQ(net.n_nodes, s.nodes);
    ASSERT_EQ(net.n_inputs, s.inputs);
    const SparseMatrix& w = *net.weights;
    ASSERT_EQ(w.values.size(), static_cast<std::size_t>(s.nodes) * s.degree);
    for (int row = 0; row < s.nodes; ++row) {
        ASSERT_EQ(w.row_ptr[row + 1] - w.row_ptr[row], s.degree) << "row " << row;
        std::set<int> sources;
        for (int k = w.row_ptr[row]; k < w.row_ptr[row + 1]; ++k) {
            const int src = w.col_idx[k];
            EXPECT_NE(src, row) << "self-loop on node " << row;
            sources.insert(src);
            // The sign of a weight follows the kind of its source.
            EXPECT_EQ(w.values[k] > 0.0, static_cast<bool>(net.is_excitatory[src]));
        }
        EXPECT_EQ(sources.size(), static_cast<std::size_t>(s.degree));
    }
    const int fanout = std::min(s.nodes, 10);
    EXPECT_EQ(net.input_weights->values.size(), static_cast<std::size_t>(s.inputs) * fanout);
    for (const int c : column_counts(*net.input_weights)) EXPECT_EQ(c, fanout);
    for (int k = 0; k < s.inputs; ++k) EXPECT_EQ(net.input_names[k], "in_" + std::to_string(k));

    const auto n_exc = std::count(net.is_excitatory.begin(), net.is_excitatory.end(), true);
    if (s.nodes >= 2) {
        EXPECT_GT(n_exc, 0);
        EXPECT_LT(n_exc, s.nodes);
    }
    for (const auto& md : net.node_metadata) {
        EXPECT_FALSE(md.pop_id.empty() || md.pop_typ.empty() || md.con_typ.empty() ||
                     md.circ_id.empty() || md.h_row.empty() || md.d_row.empty() ||
                     md.mat_id.empty());
    }
}

TEST(MakeContract, RandomContractsHaveTheRequestedShape) {
    const std::vector<Shape> shapes = {
        {300, 12, 6},  // typical
        {1, 0, 0},     // smallest
        {1, 0, 3},     // inputs on a single node
        {5, 4, 2},     // every other node is a source
        {12, 11, 20},  // more inputs than nodes
    };
    TempDir dir;
    for (const auto& s : shapes) {
        const std::string out = dir.file("c.json");
        const CliResult r =
            make_contract({"--nodes", std::to_string(s.nodes), "--degree", std::to_string(s.degree),
                           "--inputs", std::to_string(s.inputs), "--seed", "7", "--out", out});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const std::size_t edges = static_cast<std::size_t>(s.nodes) * s.degree +
                                  static_cast<std::size_t>(s.inputs) * std::min(s.nodes, 10);
        EXPECT_EQ(r.out, "Wrote " + out + ": " + std::to_string(s.nodes) + " nodes, " +
                             std::to_string(s.inputs) + " inputs, " + std::to_string(edges) +
                             " edges\n");
        expect_random_contract(out, s);
    }
}

TEST(MakeContract, OutputDependsOnlyOnOptions) {
    TempDir dir;
    auto generate = [&](const std::vector<std::string>& args, const std::string& name) {
        std::vector<std::string> all = args;
        all.push_back("--out");
        all.push_back(dir.file(name));
        const CliResult r = make_contract(all);
        EXPECT_EQ(r.status, 0) << r.err;
        return read_file(dir.file(name));
    };
    const std::vector<std::string> random = {"--nodes", "500", "--degree", "20", "--inputs", "8"};
    auto with_seed = [](std::vector<std::string> args, const std::string& seed) {
        args.push_back("--seed");
        args.push_back(seed);
        return args;
    };
    const std::string a = generate(with_seed(random, "11"), "a.json");
    EXPECT_EQ(generate(with_seed(random, "11"), "b.json"), a);
    EXPECT_NE(generate(with_seed(random, "12"), "c.json"), a);
    // The default seed is 1.
    EXPECT_EQ(generate(random, "d.json"), generate(with_seed(random, "1"), "e.json"));

    const std::string ex = generate({"--example", "--seed", "3"}, "f.json");
    EXPECT_EQ(generate({"--example", "--seed", "3"}, "g.json"), ex);
    EXPECT_NE(generate({"--example", "--seed", "4"}, "h.json"), ex);
    // Sizes are ignored with --example.
    EXPECT_EQ(generate({"--example", "--nodes", "3", "--seed", "3"}, "i.json"), ex);
}

TEST(MakeContract, ShippedModelIsTheGeneratorsExample) {
    TempDir dir;
    const CliResult r = make_contract({"--example", "--out", dir.file("kaldo.json")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir.file("kaldo.json")) == read_file(model_path))
        << "data/kaldo_contract.json differs from 'make_contract --example' output";
}

TEST(MakeContract, ShippedModelHasAnInputForEveryPopulation) {
    const Network net = load(model_path);
    EXPECT_GE(net.n_nodes, 1000);
    EXPECT_LE(net.n_nodes, 3000);

    std::map<std::string, int> input_of;
    for (int k = 0; k < net.n_inputs; ++k) input_of[net.input_names[k]] = k;
    EXPECT_EQ(input_of.size(), static_cast<std::size_t>(net.n_inputs)) << "duplicate input names";
    std::vector<std::string> expected;
    for (const auto& entry : command_targets) expected.push_back(entry.second);
    for (int w = 0; w < 16; ++w) expected.push_back("EX1_input_W" + std::to_string(w));
    EXPECT_EQ(expected.size(), input_of.size());

    // Every input reaches some node, so every command has a visible effect.
    const std::vector<int> fanout = column_counts(*net.input_weights);
    for (const auto& name : expected) {
        const auto it = input_of.find(name);
        ASSERT_NE(it, input_of.end()) << "no input named " << name;
        EXPECT_GT(fanout[it->second], 0) << name << " drives no node";
    }

    const auto n_exc = std::count(net.is_excitatory.begin(), net.is_excitatory.end(), true);
    EXPECT_GT(n_exc, 0);
    EXPECT_LT(n_exc, net.n_nodes);
    std::set<int> rows;
    for (const auto& md : net.node_metadata) {
        rows.insert(md.row_index);
        EXPECT_NE(md.row_index, md.node_id);
    }
    EXPECT_EQ(rows.size(), static_cast<std::size_t>(net.n_nodes)) << "row indices repeat";
}

TEST(MakeContract, ExampleScenariosAddressTheShippedModel) {
    const Network net = load(model_path);
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

// A node-trace CSV: sample times and one column per node, by header label.
struct Trace {
    std::vector<double> time;
    std::map<std::string, std::size_t> column_of;
    std::vector<std::vector<double>> rows;  // node values only, without the time
};

Trace read_trace(const std::string& path) {
    const std::string text = read_file(path);
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    std::stringstream header(line);
    std::string cell;
    std::getline(header, cell, ',');  // time column
    Trace t;
    for (std::size_t c = 0; std::getline(header, cell, ','); ++c) t.column_of[cell] = c;
    while (std::getline(in, line)) {
        const char* p = line.c_str();
        char* end = nullptr;
        t.time.push_back(std::strtod(p, &end));
        std::vector<double> row;
        row.reserve(t.column_of.size());
        while (*end == ',') {
            p = end + 1;
            row.push_back(std::strtod(p, &end));
        }
        EXPECT_EQ(row.size(), t.column_of.size());
        t.rows.push_back(std::move(row));
    }
    return t;
}

// Largest value of a column over [from_ms, to_ms].
double peak(const Trace& t, const std::string& label, double from_ms, double to_ms) {
    const std::size_t c = t.column_of.at(label);
    double best = -1.0;
    for (std::size_t i = 0; i < t.time.size(); ++i) {
        if (t.time[i] >= from_ms && t.time[i] <= to_ms) best = std::max(best, t.rows[i][c]);
    }
    return best;
}

// The full runs: both finish, stay within [0, f_max], show the clamps, and
// only the answerable question reads the object word ("W2") out of memory.
TEST(MakeContract, ExampleScenariosRunAndDiffer) {
    const Network net = load(model_path);
    std::map<std::string, std::string> label_of;  // pop_id -> CSV label
    for (const auto& md : net.node_metadata) label_of[md.pop_id] = std::to_string(md.row_index);
    const std::vector<int> bound = parse_bindings_file(bindings_path);

    TempDir dir;
    double answer[2] = {0.0, 0.0};
    const std::string scenarios[2] = {success_path, fail_path};
    for (int s = 0; s < 2; ++s) {
        SCOPED_TRACE(scenarios[s]);
        const std::string out = dir.file("trace.csv");
        const CliResult r = run_cli({"--model", model_path, "--t-end", "180", "--instructions",
                                     scenarios[s], "--bindings", bindings_path, "--output", out});
        ASSERT_EQ(r.status, 0) << r.err;
        const Trace t = read_trace(out);
        ASSERT_EQ(t.time.size(), 1800u);
        for (const auto& row : t.rows) {
            const auto [lo, hi] = std::minmax_element(row.begin(), row.end());
            ASSERT_GE(*lo, 0.0);
            ASSERT_LE(*hi, net.f_max);
        }
        for (const int row : bound) {
            EXPECT_EQ(peak(t, std::to_string(row), 0.1, 4.9), 50.0);
            // A clamped memory cell keeps its binding after the clamp.
            EXPECT_GT(peak(t, std::to_string(row), 170.0, 180.0), 90.0);
        }
        answer[s] = peak(t, label_of.at("W2"), 130.0, 160.0);
    }
    EXPECT_GT(answer[0], 50.0);
    EXPECT_LT(answer[1], 5.0);
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
        {{"--degree", "-3", "--out", out},
         "--degree expects a non-negative whole number, got '-3'"},
        {{"--inputs", "", "--out", out}, "--inputs expects a non-negative whole number, got ''"},
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
