// The contract writer: what it writes loads back to the same Network, bit
// for bit, whatever the contract it came from held.

#include "contract/contract_writer.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "contract/load_sink.hpp"
#include "network_text.hpp"
#include "test_support.hpp"

namespace vesk {
namespace {

constexpr const char* head =
    R"({"counts": {"n_nodes": 3, "n_inputs": 2}, "network_parameters": {"sigmoid":
    {"theta": 1e-300, "beta": -0.0, "f_max": 123456789012345678}, "wc_coupling": {"alfa": 0.1,
    "tau_I": 3}},)";
constexpr const char* node_0 =
    R"({"node_id": 0, "tau": 2.5, "pop_id": "q\"uo\\te", "pop_typ": "tab\there", "con_typ":
    "\u0001\u001f", "circ_id": "ü€😀", "h_row": "", "d_row": "d", "mat_id": "m"})";

Network loaded(const std::string& text) {
    Network net;
    load_contract_text(text, "<text>", net);
    return net;
}

// Each contract loads, is written, and the text written loads to the same
// Network; writing that again gives the same text.
TEST(ContractWriter, WrittenContractsLoadToTheSameNetwork) {
    const std::string edges_both = R"("edges": [
        {"source_kind": "node", "source_id": 2, "target_node_id": 0, "weight_final": 0.5},
        {"source_kind": "input", "source_id": 1, "target_node_id": 0, "weight_final": -1e-7},
        {"source_kind": "node", "source_id": 2, "target_node_id": 0, "weight_final": 0.25},
        {"source_kind": "node", "source_id": 0, "target_node_id": 0, "weight_final": 0}]})";
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"escapes, odd numbers, duplicate edges, phantom nodes, defaults",
         std::string(head) + R"("nodes": [)" + node_0 +
             R"(], "inputs": [{"input_id": 1, "input_name": "b", "row_index": 9}],)" + edges_both},
        {"inputs out of id order, one id twice, every default taken",
         std::string(head) +
             R"("nodes": [], "inputs": [{"input_id": 1, "input_name": "x", "pop_id": "p",
             "circ_id": "c"}, {"input_id": 0, "input_name": "y"}, {"input_id": 1,
             "input_name": "z"}], "edges": null})"},
        {"lists given as objects, edges before the counts",
         R"({"edges": {"k": {"source_kind": "input", "source_id": 0, "target_node_id": 1,
             "weight_final": 2}}, "nodes": {"a": )" +
             std::string(node_0) + R"(}, "inputs": {}, "counts": {"n_nodes": 2, "n_inputs": 1},
             "network_parameters": {"sigmoid": {"theta": 1, "beta": 2, "f_max": 3}}})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Network first = loaded(c.text);
        const std::string written = contract_json(first, first.parameters);
        const Network second = loaded(written);
        EXPECT_EQ(test::describe(second), test::describe(first)) << written;
        EXPECT_EQ(contract_json(second, second.parameters), written);
    }
}

// Constants given apart from the network are the ones written; numbers
// JSON cannot hold are refused, and a file that fails leaves nothing.
TEST(ContractWriter, WritesGivenConstantsAndRefusesNonFinite) {
    const Network net = loaded(std::string(head) + R"("nodes": [], "inputs": [], "edges": []})");
    NetworkParameters changed = net.parameters;
    changed.tau_E = 7.75;
    EXPECT_EQ(loaded(contract_json(net, changed)).parameters.tau_E, 7.75);

    test::TempDir dir;
    const std::string path = dir.file("c.json");
    for (const double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
        changed.alfa = bad;
        EXPECT_THROW(write_contract_file(net, changed, path), std::invalid_argument);
        EXPECT_FALSE(test::file_exists(path));
    }
    EXPECT_THROW(write_contract_file(net, net.parameters, dir.file("no/such/dir.json")),
                 std::runtime_error);
}

}  // namespace
}  // namespace vesk
