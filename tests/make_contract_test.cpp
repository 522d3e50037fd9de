// The contract generator (tools/make_contract) and the shipped example model
// data/kaldo_contract.json. (The example scenarios run on that model in the
// tool tests.)

#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "contract/load_network.hpp"
#include "model/network.hpp"
#include "run/memory_budget.hpp"
#include "test_support.hpp"

namespace vesk::test {
namespace {

const std::string model_path = std::string(VESK_SOURCE_DIR) + "/data/kaldo_contract.json";
CliResult make_contract(const std::vector<std::string>& args) {
    return run_program(VESK_MAKE_CONTRACT_PATH, args);
}

// Every node has exactly `degree` distinct other nodes as sources, with
// weights signed by the source's kind; every input drives min(nodes, 10)
// distinct nodes (the generator's fan-out); both node kinds occur.
TEST(MakeContract, RandomContractsHaveTheRequestedShape) {
    TempDir dir;
    // Typical; smallest, inputs on a single node; more inputs than nodes.
    for (const auto [nodes, degree, inputs] : {std::array{300, 12, 6}, {1, 0, 3}, {12, 11, 20}}) {
        SCOPED_TRACE(std::to_string(nodes) + " nodes");
        const std::string out = dir.file("c.json");
        const CliResult r =
            make_contract({"--nodes", std::to_string(nodes), "--degree", std::to_string(degree),
                           "--inputs", std::to_string(inputs), "--seed", "7", "--out", out});
        ASSERT_EQ(std::tie(r.status, r.err), std::make_tuple(0, "")) << r.err;
        const int fanout = std::min(nodes, 10);
        const Network net = load_network(out, check_fits_in_memory);
        ASSERT_EQ(std::pair(net.n_nodes, net.n_inputs), std::pair(nodes, inputs));
        const SparseMatrix& w = *net.weights;
        for (int row = 0; row < nodes; ++row) {
            std::set<int> sources;
            for (int k = w.row_ptr()[row]; k < w.row_ptr()[row + 1]; ++k) {
                sources.insert(w.col_idx()[k]);
                EXPECT_EQ(w.values()[k] > 0.0,
                          static_cast<bool>(net.is_excitatory[w.col_idx()[k]]));
            }
            EXPECT_EQ(w.row_ptr()[row + 1] - w.row_ptr()[row], degree) << "row " << row;
            EXPECT_EQ(sources.size(), static_cast<std::size_t>(degree)) << "row " << row;
            EXPECT_EQ(sources.count(row), 0u) << "self-loop on node " << row;
        }
        std::vector<int> fed(static_cast<std::size_t>(inputs), 0);  // nodes each input feeds
        for (const auto c : net.input_weights->col_idx()) ++fed.at(static_cast<std::size_t>(c));
        EXPECT_EQ(fed, std::vector<int>(static_cast<std::size_t>(inputs), fanout));
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

TEST(MakeContract, BadOptionsAreRejected) {
    TempDir dir;
    const std::string out = dir.file("never.json");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--nodes", "5"}, "--out FILE is required"},
        {{"--nodes", "12x", "--out", out},
         "--nodes expects a non-negative whole number, got '12x'"},
        {{"--seed", "18446744073709551616", "--out", out},
         "--seed value '18446744073709551616' is too large (at most 18446744073709551615)"},
        {{"--nodes", "5", "--degree", "5", "--out", out},
         "--degree 5 exceeds the number of other nodes (4)"},
    };
    for (const auto& [args, message] : cases) {
        const CliResult r = make_contract(args);
        EXPECT_EQ(std::tie(r.status, r.out), std::make_tuple(1, "")) << message;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "make_contract: " + message);
        EXPECT_NE(r.err.find("Usage: make_contract"), std::string::npos) << message;
    }
    EXPECT_FALSE(file_exists(out));

    const CliResult unwritable = make_contract({"--out", dir.file("no/dir.json")});
    EXPECT_EQ(std::tie(unwritable.status, unwritable.err),
              std::make_tuple(
                  1, "make_contract: cannot open output file '" + dir.file("no/dir.json") + "'\n"));
}

}  // namespace
}  // namespace vesk::test
