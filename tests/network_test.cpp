#include "model/network.hpp"

#include <nlohmann/json.hpp>
#include <regex>

#include "contract/load_network.hpp"
#include "run/memory_budget.hpp"
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

std::string record(const PopulationMetadata& m) {
    return std::to_string(m.node_id) + "@" + std::to_string(m.row_index) + " " + m.pop_id + "|" +
           m.pop_typ + "|" + m.con_typ + "|" + m.circ_id + "|" + m.h_row + "|" + m.d_row + "|" +
           m.mat_id;
}

class NetworkLoad : public ::testing::Test {
  protected:
    test::TempDir dir;
    std::string write(const json& doc) const { return dir.write("model.json", doc.dump()); }
    Network load(const json& doc) const { return load_network(write(doc), check_fits_in_memory); }
};

TEST_F(NetworkLoad, ReadsEveryFieldOfAValidContract) {
    json doc = base_contract();
    doc["nodes"][1]["row_index"] = 2147483647;  // the ends of the 32-bit range
    doc["inputs"][0]["row_index"] = -2147483648LL;
    const Network net = load(doc);
    EXPECT_EQ(std::pair(net.n_nodes, net.n_inputs), std::pair(2, 1));
    EXPECT_EQ(net.tau, (std::vector<double>{10.0, 11.0}));
    EXPECT_EQ(net.is_excitatory, (std::vector<bool>{true, false}));
    EXPECT_EQ(
        (std::vector<double>{net.parameters.theta, net.parameters.beta, net.parameters.f_max,
                             net.parameters.alfa, net.parameters.epsilon, net.parameters.gamma,
                             net.parameters.delta, net.parameters.tau_E, net.parameters.tau_I}),
        (std::vector<double>{1.5, 2.0, 3.0, 0.1, 0.2, 0.3, 0.4, 5.0, 6.0}));
    EXPECT_EQ(record(net.node_metadata[1]), "1@2147483647 P1|E|exc|c|h|d|m");
    EXPECT_EQ(net.input_names, (std::vector<std::string>{"stim"}));
    EXPECT_EQ(net.input_row_index, (std::vector<std::int32_t>{-2147483648}));
    ASSERT_EQ(net.input_metadata.size(), 1u);
    EXPECT_EQ(record(net.input_metadata[0]),
              "-1@-2147483648 stim|external|excitation|null|null|null|null");
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
    EXPECT_EQ(
        net.parameters.alfa + net.parameters.epsilon + net.parameters.gamma + net.parameters.delta,
        0.0);
    // The time constants a contract without wc_coupling runs with.
    EXPECT_EQ(std::pair(net.parameters.tau_E, net.parameters.tau_I), std::pair(2.5, 1.25));
    EXPECT_EQ(record(net.node_metadata[1]), "1@1 P0|E|exc|c|h|d|m");
    EXPECT_TRUE(net.is_excitatory[1]);
    EXPECT_EQ(record(net.input_metadata[0]), "-1@0 stim|external|inhibition|null|null|null|null");
    ASSERT_TRUE(net.weights && net.input_weights);
    EXPECT_TRUE(net.weights->values().empty() && net.input_weights->values().empty());
    EXPECT_EQ(net.input_weights->cols(), 1);
}

TEST_F(NetworkLoad, UnnamedAndRepeatedEntries) {
    json doc = base_contract();
    doc["counts"] = {{"n_nodes", 3}, {"n_inputs", 2}};
    // An object yields its values in key order: the node 2 entry under "b"
    // wins over the one under "a". Nodes 0 and 1 are named by nobody: they
    // keep their own ids, so they cannot take over node 0's column or bindings.
    json first = node(2), second = node(2);
    first["tau"] = 1.0;
    doc["nodes"] = {{"b", second}, {"a", first}};
    doc["inputs"].push_back({{"input_id", 0}, {"input_name", "again"}});
    // Duplicate edges are kept and summed.
    doc["edges"] = {edge("node", 0, 1, 0.5), edge("node", 0, 1, 0.25)};
    const Network net = load(doc);
    EXPECT_EQ(net.tau, (std::vector<double>{0.0, 0.0, 12.0}));
    EXPECT_EQ(net.is_excitatory, (std::vector<bool>{true, true, true}));
    EXPECT_EQ(record(net.node_metadata[1]), "1@1 ||||||");
    EXPECT_EQ(net.input_names, (std::vector<std::string>{"again", ""}));
    EXPECT_EQ(net.input_row_index, (std::vector<std::int32_t>{0, 0}));
    EXPECT_EQ(net.input_metadata.size(), 2u);
    EXPECT_EQ(net.weights->multiply({2.0, 0.0, 0.0}), (std::vector<double>{0.0, 1.5, 0.0}));
}

// A key given twice counts with its last value and replaces nothing else:
// the nodes before a second wc_coupling, the constants before a second counts.
TEST_F(NetworkLoad, RepeatedSectionsReplaceOnlyThemselves) {
    json doc = base_contract();
    doc.erase("network_parameters");
    doc.erase("counts");
    std::string text = doc.dump();  // edges, inputs, nodes
    text.pop_back();
    text += R"(, "network_parameters": {"sigmoid": {"theta": 1.5, "beta": 2.0, "f_max": 3.0},
        "wc_coupling": {"alfa": 0.1}, "wc_coupling": {"alfa": 0.7}},
        "counts": {"n_nodes": 5, "n_inputs": 1}, "counts": {"n_nodes": 2, "n_inputs": 1}})";
    const std::string path = dir.write("model.json", text);
    for (const auto reading : {ContractReading::fast, ContractReading::streamed}) {
        const Network net = load_network(path, check_fits_in_memory, reading);
        EXPECT_EQ(std::pair(net.n_nodes, net.parameters.alfa), std::pair(2, 0.7));
        EXPECT_EQ(net.tau, (std::vector<double>{10.0, 11.0}));
    }
}

// Every message a contract can fail with, every way of reading it. The JSON
// library's own messages reach users unchanged and are pinned here, and only here.
TEST_F(NetworkLoad, RejectsBadContractsWithTheirMessages) {
    const std::string range = "' does not fit a 32-bit integer: ";
    const std::string bounds = " out of bounds while parsing edges array";
    const json discarded(json::value_t::discarded);
    const json no_weight = {{"source_kind", "node"}, {"source_id", 0}, {"target_node_id", 1}};
    json bogus_no_weight = no_weight;
    bogus_no_weight["source_kind"] = "bogus";
    const struct {
        std::string pointer;  // where `value` replaces the base contract's; discarded: erased
        json value;
        std::string message;
        std::string number = {};  // the value at `pointer` as written, beyond what json holds
    } cases[] = {
        {"/network_parameters/sigmoid/theta", 0,
         "[json.exception.out_of_range.406] number overflow parsing '1e400'", "1e400"},
        {"/counts/n_inputs", -1, "Invalid model sizes: n_nodes/n_inputs must be non-negative"},
        {"/nodes/1/node_id", 2, "node_id out of bounds while parsing nodes array"},
        {"/inputs/0/input_id", 1, "input_id out of bounds while parsing inputs array"},
        {"/edges/0", edge("bogus", 0, 2, 1.0), "target_node_id" + bounds},
        {"/edges/0", edge("node", 2, 0, 1.0), "node source_id" + bounds},
        {"/edges/1", edge("input", 1, 0, 1.0), "input source_id" + bounds},
        {"/edges/0/source_kind", "Node", "Unknown source_kind in edges array: Node"},
        {"/edges/0", no_weight, JSON_403 "weight_final' not found"},
        {"/edges/0", bogus_no_weight, JSON_403 "weight_final' not found"},
        {"/counts", discarded, JSON_403 "counts' not found"},
        {"", json::array(), JSON_304 "array"},
        {"", nullptr, JSON_304 "null"},
        {"/nodes", 5, JSON_304 "number"},
        {"/network_parameters/wc_coupling", nullptr, JSON_306 "null"},
        {"/network_parameters/wc_coupling", {1}, JSON_306 "array"},
        {"/nodes/0/is_excitatory", 1, JSON_302 "boolean, but is number"},
        {"/nodes/0/tau", true, JSON_302 "number, but is boolean"},
        {"/nodes/0/row_index", "3", JSON_302 "number, but is string"},
        {"/inputs/0/circ_id", nullptr, JSON_302 "string, but is null"},
        {"/edges/1/weight_final", "1", JSON_302 "number, but is string"},
        {"/edges/0/source_kind", 3, JSON_302 "string, but is number"},
        {"/edges/1/source_id", nullptr, JSON_302 "number, but is null"},
        {"/network_parameters/wc_coupling/tau_E", nullptr, JSON_302 "number, but is null"},
        // One past each end of the 32-bit range, as integers of either
        // signedness and as doubles, in every integer field.
        {"/counts/n_nodes", 2147483648LL, "Value of 'n_nodes" + range + "2147483648"},
        {"/counts/n_nodes", 4294967298LL, "Value of 'n_nodes" + range + "4294967298"},
        {"/nodes/0/node_id", 1e10, "Value of 'node_id" + range + "10000000000.0"},
        {"/inputs/0/row_index", -2147483649LL, "Value of 'row_index" + range + "-2147483649"},
        {"/inputs/0/row_index", 0, "Value of 'row_index" + range + "1.8446744073709552e+19",
         "18446744073709551616"},
        {"/edges/0/source_id", 18446744073709551615ULL,
         "Value of 'source_id" + range + "18446744073709551615"},
        {"/edges/0/target_node_id", -2147483649.0,
         "Value of 'target_node_id" + range + "-2147483649.0"},
        {"/edges/0/source_id", 2147483648.0, "Value of 'source_id" + range + "2147483648.0"},
        // In range (truncated toward zero); the bounds checks catch them.
        {"/edges/0/target_node_id", -2147483648.5, "target_node_id" + bounds},
        {"/edges/0/source_id", 2147483647, "node source_id" + bounds},
        {"/edges/1/source_id", -2147483648LL, "input source_id" + bounds},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        json doc = base_contract();
        if (c.value.is_discarded()) {
            doc.erase(c.pointer.substr(1));
        } else {
            doc[json::json_pointer(c.pointer)] = c.value;
        }
        std::string text = doc.dump();
        if (!c.number.empty()) {
            doc[json::json_pointer(c.pointer)] = 424242;  // a marker the number replaces
            text = std::regex_replace(doc.dump(), std::regex("424242"), c.number);
        }
        const std::string path = dir.write("model.json", text);
        for (const auto reading : {ContractReading::fast, ContractReading::streamed}) {
            Network net;
            EXPECT_THROW_MSG(net = load_network(path, check_fits_in_memory, reading),
                             std::exception, c.message);
        }
    }
    Network net;
    const std::string empty = dir.write("empty.json", "");
    EXPECT_THROW_MSG(net = load_network(empty, check_fits_in_memory), std::runtime_error,
                     "JSON parse error in " + empty +
                         ": [json.exception.parse_error.101] parse error at line 1, column 1: "
                         "attempting to parse an empty input; check that your input string or "
                         "stream contains the expected JSON");
}

}  // namespace
}  // namespace vesk
