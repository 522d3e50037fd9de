#include "model/network.hpp"

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <utility>

#include "model/contract_checks.hpp"
#include "model/contract_fast_reader.hpp"
#include "model/contract_reader.hpp"

namespace vesk {
namespace {

using json = nlohmann::json;

std::string read_string(const json& obj, const char* key) {
    return obj.at(key).get<std::string>();
}

std::string read_string_or(const json& obj, const char* key, const std::string& fallback) {
    return obj.value(key, fallback);
}

// An edge element that was kept as JSON: all four keys, in this order, are
// read before any check. Returns whether it is a node edge.
bool read_edge(const json& element, std::int32_t n_nodes, std::int32_t n_inputs, Triplet& edge) {
    const std::string kind = read_string(element, "source_kind");
    edge.col = read_int(element, "source_id");
    edge.row = read_int(element, "target_node_id");
    edge.value = element.at("weight_final").get<double>();
    return check_edge(kind, edge, n_nodes, n_inputs);
}

// Sorts the edges into the node list and the input list, checking each.
void collect_edges(ContractDocument& contract, std::int32_t n_nodes, std::int32_t n_inputs,
                   std::vector<Triplet>& node_triplets, std::vector<Triplet>& input_triplets) {
    if (!contract.edges) {
        // A missing "edges" behaves exactly like "edges": null.
        const json& edges = contract.doc["edges"];
        node_triplets.reserve(edges.size());
        for (const json& element : edges) {
            Triplet edge;
            if (read_edge(element, n_nodes, n_inputs, edge)) {
                node_triplets.push_back(edge);
            } else {
                input_triplets.push_back(edge);
            }
        }
        return;
    }
    // The node list takes over the streamed triplets, compacted in place:
    // element k adds at most one node triplet, so the write position never
    // passes the element being read.
    StreamedEdges& streamed = *contract.edges;
    node_triplets = std::move(streamed.triplets);
    std::size_t kept = 0;
    auto whole = streamed.whole.begin();
    for (std::size_t k = 0; k < streamed.kinds.size(); ++k) {
        Triplet edge = node_triplets[k];
        const EdgeKind kind = streamed.kinds[k];
        const bool node_edge =
            kind == EdgeKind::whole
                ? read_edge(*whole++, n_nodes, n_inputs, edge)
                : check_edge(kind == EdgeKind::node ? "node" : "input", edge, n_nodes, n_inputs);
        if (node_edge) {
            node_triplets[kept++] = edge;
        } else {
            input_triplets.push_back(edge);
        }
    }
    node_triplets.resize(kept);
    contract.edges.reset();
}

}  // namespace

void Network::load_from_json(const std::string& path, const SizeCheck& size_check,
                             ContractReading reading) {
    FastReadOptions fast;
    fast.size_check = size_check;
    if (reading == ContractReading::fast && read_contract_fast(path, *this, fast)) return;
    ContractDocument contract = read_contract(path, reading);
    json& doc = contract.doc;

    const json& counts = doc.at("counts");
    n_nodes = read_int(counts, "n_nodes");
    n_inputs = read_int(counts, "n_inputs");
    check_sizes(n_nodes, n_inputs);

    const json& params = doc.at("network_parameters");
    const json& sigmoid = params.at("sigmoid");
    theta = sigmoid.at("theta").get<double>();
    beta = sigmoid.at("beta").get<double>();
    f_max = sigmoid.at("f_max").get<double>();

    if (params.is_object() && params.contains("wc_coupling")) {
        const json& wc = params.at("wc_coupling");
        alfa = wc.value("alfa", 0.0);
        epsilon = wc.value("epsilon", 0.0);
        gamma = wc.value("gamma", 0.0);
        delta = wc.value("delta", 0.0);
        tau_E = wc.value("tau_E", 2.5);
        tau_I = wc.value("tau_I", 1.25);
    } else {
        alfa = epsilon = gamma = delta = 0.0;
        tau_E = 2.5;
        tau_I = 1.25;
    }

    if (size_check) size_check(n_nodes, n_inputs);
    const auto nn = static_cast<std::size_t>(n_nodes);
    const auto ni = static_cast<std::size_t>(n_inputs);
    tau.assign(nn, 0.0);
    is_excitatory.assign(nn, true);
    // A node that no entry names keeps its own id and row index, so it can
    // neither rename node 0's column nor catch node 0's bindings.
    node_metadata.assign(nn, PopulationMetadata{});
    for (std::size_t i = 0; i < nn; ++i) {
        node_metadata[i].node_id = static_cast<std::int32_t>(i);
        node_metadata[i].row_index = static_cast<std::int32_t>(i);
    }
    input_names.assign(ni, std::string());
    input_row_index.assign(ni, 0);
    input_metadata.clear();
    input_metadata.reserve(ni);

    for (const json& node : doc.at("nodes")) {
        const int id = read_int(node, "node_id");
        check_node_id(id, n_nodes);
        const auto i = static_cast<std::size_t>(id);
        tau[i] = node.at("tau").get<double>();
        is_excitatory[i] = node.value("is_excitatory", true);
        PopulationMetadata md;
        md.node_id = id;
        md.row_index = read_int_or(node, "row_index", id);
        md.pop_id = read_string(node, "pop_id");
        md.pop_typ = read_string(node, "pop_typ");
        md.con_typ = read_string(node, "con_typ");
        md.circ_id = read_string(node, "circ_id");
        md.h_row = read_string(node, "h_row");
        md.d_row = read_string(node, "d_row");
        md.mat_id = read_string(node, "mat_id");
        node_metadata[i] = std::move(md);
    }

    for (const json& input : doc.at("inputs")) {
        const int id = read_int(input, "input_id");
        check_input_id(id, n_inputs);
        const auto i = static_cast<std::size_t>(id);
        input_names[i] = read_string(input, "input_name");
        const int row = read_int_or(input, "row_index", id);
        input_row_index[i] = row;
        PopulationMetadata md;
        md.node_id = -1;
        md.row_index = row;
        md.pop_id = read_string_or(input, "pop_id", input_names[i]);
        md.pop_typ = "external";
        md.con_typ = read_string_or(input, "con_typ", "excitation");
        md.circ_id = read_string_or(input, "circ_id", "null");
        md.h_row = read_string_or(input, "h_row", "null");
        md.d_row = read_string_or(input, "d_row", "null");
        md.mat_id = read_string_or(input, "mat_id", "null");
        input_metadata.push_back(std::move(md));
    }

    std::vector<Triplet> node_triplets;
    std::vector<Triplet> input_triplets;
    collect_edges(contract, n_nodes, n_inputs, node_triplets, input_triplets);
    doc = json();  // not needed any more; frees memory before the matrices are built

    weights.emplace(n_nodes, n_nodes);
    input_weights.emplace(n_nodes, n_inputs);
    weights->build_from_triplets(n_nodes, node_triplets);
    input_weights->build_from_triplets(n_nodes, input_triplets);
}

double Network::get_weight(int target, int source) const {
    return weights ? weights->get(target, source) : 0.0;
}

NetworkParameters Network::parameters() const {
    return {alfa, epsilon, gamma, delta, tau_E, tau_I, theta, beta, f_max};
}

double Network::get_input_weight(int target, int input) const {
    return input_weights ? input_weights->get(target, input) : 0.0;
}

}  // namespace vesk
