#include "model/network.hpp"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <regex>

#include "test_support.hpp"

namespace vesk {
namespace {

using json = nlohmann::json;

json node(int id, bool excitatory = true) {
    json n = json::parse(R"({"pop_typ": "E", "con_typ": "exc", "circ_id": "c", "h_row": "h",
                            "d_row": "d", "mat_id": "m"})");
    n.update({{"node_id", id}, {"tau", 10.0 + id}, {"is_excitatory", excitatory}});
    n["pop_id"] = "P" + std::to_string(id);
    return n;
}

json edge(const std::string& kind, int source, int target, double w) {
    return {{"source_kind", kind},
            {"source_id", source},
            {"target_node_id", target},
            {"weight_final", w}};
}

// Two nodes, one input, one edge of each kind.
json base_contract() {
    json doc = json::parse(R"({"counts": {"n_nodes": 2, "n_inputs": 1},
        "network_parameters": {"sigmoid": {"theta": 1.5, "beta": 2.0, "f_max": 3.0},
            "wc_coupling": {"alfa": 0.1, "epsilon": 0.2, "gamma": 0.3, "delta": 0.4,
                            "tau_E": 5.0, "tau_I": 6.0}},
        "inputs": [{"input_id": 0, "input_name": "stim", "row_index": 40}]})");
    doc["nodes"] = {node(0), node(1, false)};
    doc["edges"] = {edge("node", 0, 1, 0.5), edge("input", 0, 0, 2.0)};
    return doc;
}

class NetworkLoad : public ::testing::Test {
  protected:
    test::TempDir dir;
    std::string write(const json& doc) const { return dir.write("model.json", doc.dump()); }
    Network load(const json& doc) const {
        Network net;
        net.load_from_json(write(doc));
        return net;
    }
};

TEST_F(NetworkLoad, ReadsEveryFieldOfAValidContract) {
    const Network net = load(base_contract());
    EXPECT_EQ(std::pair(net.n_nodes, net.n_inputs), std::pair(2, 1));
    EXPECT_EQ(net.tau, (std::vector<double>{10.0, 11.0}));
    EXPECT_EQ(net.is_excitatory, (std::vector<bool>{true, false}));
    EXPECT_EQ((std::vector<double>{net.theta, net.beta, net.f_max, net.alfa, net.epsilon, net.gamma,
                                   net.delta, net.tau_E, net.tau_I}),
              (std::vector<double>{1.5, 2.0, 3.0, 0.1, 0.2, 0.3, 0.4, 5.0, 6.0}));
    EXPECT_EQ(net.node_metadata[1].pop_id + "@" + std::to_string(net.node_metadata[1].row_index),
              "P1@1");
    EXPECT_EQ(net.input_names, (std::vector<std::string>{"stim"}));
    EXPECT_EQ(net.input_row_index, (std::vector<std::int32_t>{40}));
    ASSERT_EQ(net.input_metadata.size(), 1u);
    const PopulationMetadata& in = net.input_metadata[0];
    EXPECT_EQ(std::pair(in.node_id, in.row_index), std::pair(-1, 40));
    EXPECT_EQ(in.pop_id + "|" + in.pop_typ + "|" + in.con_typ + "|" + in.circ_id + in.h_row +
                  in.d_row + in.mat_id,
              "stim|external|excitation|nullnullnullnull");
    EXPECT_EQ((std::vector<double>{net.get_weight(1, 0), net.get_weight(0, 1),
                                   net.get_input_weight(0, 0), net.get_input_weight(1, 0)}),
              (std::vector<double>{0.5, 0.0, 2.0, 0.0}));
}

TEST_F(NetworkLoad, DefaultsAndConversions) {
    json doc = base_contract();
    doc["network_parameters"].erase("wc_coupling");
    doc["network_parameters"]["tau_E"] = 99.0;  // only read inside wc_coupling
    doc["nodes"][0]["node_id"] = 1.9;           // truncated toward zero
    doc["nodes"][0]["row_index"] = true;
    doc["nodes"][0].erase("is_excitatory");
    doc["inputs"][0]["pop_typ"] = "ignored";
    doc["inputs"][0]["con_typ"] = "inhibition";
    doc["inputs"][0].erase("row_index");
    doc.erase("edges");
    doc["nodes"].erase(1);
    const Network net = load(doc);
    EXPECT_EQ(net.alfa + net.epsilon + net.gamma + net.delta, 0.0);
    EXPECT_EQ(std::pair(net.tau_E, net.tau_I), std::pair(2.5, 1.25));
    EXPECT_EQ(std::pair(net.node_metadata[1].node_id, net.node_metadata[1].row_index),
              std::pair(1, 1));
    EXPECT_TRUE(net.is_excitatory[1]);
    EXPECT_EQ(net.input_row_index[0], 0);
    EXPECT_EQ(net.input_metadata[0].pop_typ + " " + net.input_metadata[0].con_typ,
              "external inhibition");
    ASSERT_TRUE(net.weights && net.input_weights);
    EXPECT_TRUE(net.weights->values.empty() && net.input_weights->values.empty());
    EXPECT_EQ(net.input_weights->cols, 1);
}

TEST_F(NetworkLoad, UnnamedNodesAndInputsKeepTheirOwnIdentity) {
    json doc = base_contract();
    doc["counts"] = {{"n_nodes", 3}, {"n_inputs", 2}};
    doc["nodes"] = json::array({node(2)});
    const Network net = load(doc);
    // Node 0 and 1 are named by nobody: they keep their own ids, so they
    // cannot take over node 0's column or bindings.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(net.node_metadata[i].node_id, i);
        EXPECT_EQ(net.node_metadata[i].row_index, i);
        EXPECT_EQ(net.node_metadata[i].pop_id, "");
        EXPECT_EQ(net.tau[i], 0.0);
    }
    EXPECT_EQ(net.input_names, (std::vector<std::string>{"stim", ""}));
    EXPECT_EQ(net.input_metadata.size(), 1u);
}

TEST_F(NetworkLoad, NullObjectRepeatedEntriesAndTrailingText) {
    json doc = base_contract();
    doc["inputs"] = nullptr;
    doc["edges"] = nullptr;
    doc["counts"]["n_inputs"] = 0;
    // An object yields its values in key order: "a" before "b", so the node
    // 0 entry under "b" wins over the one under "a".
    json first = node(0), second = node(0);
    first["tau"] = 1.0;
    second["tau"] = 2.0;
    doc["nodes"] = {{"b", second}, {"a", first}};
    Network net = load(doc);
    EXPECT_EQ(net.tau[0], 2.0);
    EXPECT_TRUE(net.input_names.empty());

    doc["nodes"] = nullptr;
    doc["counts"] = {{"n_nodes", 0}, {"n_inputs", 0}};
    net = load(doc);
    EXPECT_EQ(net.weights->rows, 0);
    EXPECT_EQ(net.input_weights->cols, 0);

    doc = base_contract();
    doc["inputs"].push_back({{"input_id", 0}, {"input_name", "again"}});
    // Duplicate edges are kept and summed.
    doc["edges"] = {edge("node", 0, 1, 0.5), edge("node", 0, 1, 0.25)};
    net = load(doc);
    EXPECT_EQ(net.input_names[0], "again");
    EXPECT_EQ(net.input_metadata.size(), 2u);
    EXPECT_EQ(net.weights->values.size(), 2u);
    EXPECT_EQ(net.weights->multiply({2.0, 0.0}), (std::vector<double>{0.0, 1.5}));

    // Text after the first value is ignored.
    net.load_from_json(dir.write("two.json", base_contract().dump() + "\n{\"x\": // trailing"));
    EXPECT_EQ(net.n_nodes, 2);
}

TEST_F(NetworkLoad, RejectsBadContractsWithTheirMessages) {
    const std::string type = "[json.exception.type_error.302] type must be ";
    const struct {
        std::string pointer;  // where `value` replaces the base contract's; discarded: erased
        json value;
        std::string message;
    } cases[] = {
        {"/counts/n_inputs", -1, "Invalid model sizes: n_nodes/n_inputs must be non-negative"},
        {"/nodes/1/node_id", 2, "node_id out of bounds while parsing nodes array"},
        {"/inputs/0/input_id", 1, "input_id out of bounds while parsing inputs array"},
        {"/edges/0", edge("bogus", 0, 2, 1.0),
         "target_node_id out of bounds while parsing edges array"},
        {"/edges/0", edge("node", 2, 0, 1.0),
         "node source_id out of bounds while parsing edges array"},
        {"/edges/1", edge("input", 1, 0, 1.0),
         "input source_id out of bounds while parsing edges array"},
        {"/edges/0/source_kind", "Node", "Unknown source_kind in edges array: Node"},
        {"/edges/0",
         {{"source_kind", "bogus"}, {"source_id", 0}, {"target_node_id", 1}},
         "[json.exception.out_of_range.403] key 'weight_final' not found"},
        {"/counts", json(json::value_t::discarded),
         "[json.exception.out_of_range.403] key 'counts' not found"},
        {"", json::array(), "[json.exception.type_error.304] cannot use at() with array"},
        {"/nodes", 5, "[json.exception.type_error.304] cannot use at() with number"},
        {"/network_parameters/wc_coupling", nullptr,
         "[json.exception.type_error.306] cannot use value() with null"},
        {"/nodes/0/is_excitatory", 1, type + "boolean, but is number"},
        {"/nodes/0/tau", true, type + "number, but is boolean"},
        {"/nodes/0/row_index", "3", type + "number, but is string"},
        {"/inputs/0/circ_id", nullptr, type + "string, but is null"},
        {"/network_parameters/wc_coupling/tau_E", nullptr, type + "number, but is null"},
        {"/counts/n_nodes", 4294967298LL,
         "Value of 'n_nodes' does not fit a 32-bit integer: 4294967298"},
        {"/nodes/0/node_id", 1e10,
         "Value of 'node_id' does not fit a 32-bit integer: 10000000000.0"},
        {"/inputs/0/row_index", -2147483649LL,
         "Value of 'row_index' does not fit a 32-bit integer: -2147483649"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        json doc = base_contract();
        if (c.value.is_discarded()) {
            doc.erase(c.pointer.substr(1));
        } else {
            doc[json::json_pointer(c.pointer)] = c.value;
        }
        Network net;
        EXPECT_THROW_MSG(net.load_from_json(write(doc)), std::exception, c.message);
    }
}

#if defined(__SANITIZE_ADDRESS__)
#define VESK_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VESK_ADDRESS_SANITIZER 1
#endif
#endif

TEST_F(NetworkLoad, RefusesSizesBeyondTheProcessMemoryLimit) {
#ifdef VESK_ADDRESS_SANITIZER
    GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
#endif
    // 10 million nodes need some 4 GiB; under a 1 GiB address-space limit
    // (as a container's memory limit would be) that is refused up front
    // instead of ending in an allocation failure or the OOM killer.
    json doc = base_contract();
    doc["counts"]["n_nodes"] = 10000000;
    const std::string path = write(doc);
    const std::regex expected(
        "Model too large for this machine: n_nodes=10000000 and n_inputs=1 need at least "
        ".+ GiB of memory, this machine has 1\\.0 GiB");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const rlimit limit{1UL << 30, RLIM_INFINITY};
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(10);
        try {
            Network net;
            net.load_from_json(path);
        } catch (const std::runtime_error& e) {
            if (std::regex_match(e.what(), expected)) _exit(0);
            std::fprintf(stderr, "unexpected message: %s\n", e.what());
        } catch (...) {
        }
        _exit(11);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace vesk
