// The plain way of loading a contract, kept apart from the program as the
// reference its readers are tested against: the whole file parsed into one
// JSON document, then read key by key with the library's own lookups and
// conversions. Memory several times the file size; only for tests.
#pragma once

#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "contract/size_check.hpp"
#include "model/network.hpp"

namespace vesk::test {

namespace reference_detail {

using json = nlohmann::json;

inline bool fits_int32(const json& v) {
    constexpr auto lo = std::numeric_limits<std::int32_t>::min();
    constexpr auto hi = std::numeric_limits<std::int32_t>::max();
    if (v.is_number_unsigned()) return v.get<std::uint64_t>() <= static_cast<std::uint64_t>(hi);
    if (v.is_number_integer()) {
        const auto i = v.get<std::int64_t>();
        return i >= lo && i <= hi;
    }
    if (v.is_number_float()) {
        const double d = v.get<double>();
        return d > static_cast<double>(lo) - 1.0 && d < static_cast<double>(hi) + 1.0;
    }
    return true;
}

inline void check_int_range(const json& v, const char* key) {
    if (!fits_int32(v)) {
        throw std::runtime_error(std::string("Value of '") + key +
                                 "' does not fit a 32-bit integer: " + v.dump());
    }
}

inline int read_int(const json& obj, const char* key) {
    const json& v = obj.at(key);
    check_int_range(v, key);
    return v.get<int>();
}

inline int read_int_or(const json& obj, const char* key, int fallback) {
    if (obj.is_object()) {
        const auto it = obj.find(key);
        if (it == obj.end()) return fallback;
        check_int_range(*it, key);
    }
    return obj.value(key, fallback);
}

inline std::string read_string(const json& obj, const char* key) {
    return obj.at(key).get<std::string>();
}

inline std::string without_nul(const std::string& text) {
    std::string result;
    for (const char c : text) result += c == '\0' ? std::string("\\x00") : std::string(1, c);
    return result;
}

using MetadataField = std::pair<std::string PopulationMetadata::*, const char*>;
inline const MetadataField kMetadataFields[] = {
    {&PopulationMetadata::pop_id, "pop_id"},   {&PopulationMetadata::pop_typ, "pop_typ"},
    {&PopulationMetadata::con_typ, "con_typ"}, {&PopulationMetadata::circ_id, "circ_id"},
    {&PopulationMetadata::h_row, "h_row"},     {&PopulationMetadata::d_row, "d_row"},
    {&PopulationMetadata::mat_id, "mat_id"}};
// An input's links default to "null"; its pop_typ is always "external".
inline const MetadataField kInputLinks[] = {{&PopulationMetadata::circ_id, "circ_id"},
                                            {&PopulationMetadata::h_row, "h_row"},
                                            {&PopulationMetadata::d_row, "d_row"},
                                            {&PopulationMetadata::mat_id, "mat_id"}};

}  // namespace reference_detail

inline void load_whole_document(const std::string& path, Network& net,
                                const SizeCheck& size_check = {}) {
    using namespace reference_detail;
    std::ifstream in(path);
    if (!in) throw std::runtime_error("Failed to open model file: " + path);
    json doc;
    try {
        if (in.peek() == std::ifstream::traits_type::eof()) {
            if (in.bad()) throw std::runtime_error("Failed to read model file: " + path);
            throw std::runtime_error(
                "JSON parse error in " + path +
                ": [json.exception.parse_error.101] parse error at line 1, column 1: attempting "
                "to parse an empty input; check that your input string or stream contains the "
                "expected JSON");
        }
        in >> doc;
    } catch (const json::parse_error& e) {
        throw std::runtime_error("JSON parse error in " + path + ": " + e.what());
    }

    const json& counts = doc.at("counts");
    net.n_nodes = read_int(counts, "n_nodes");
    net.n_inputs = read_int(counts, "n_inputs");
    if (net.n_nodes < 0 || net.n_inputs < 0) {
        throw std::runtime_error("Invalid model sizes: n_nodes/n_inputs must be non-negative");
    }
    const json& params = doc.at("network_parameters");
    const json& sigmoid = params.at("sigmoid");
    net.parameters.theta = sigmoid.at("theta").get<double>();
    net.parameters.beta = sigmoid.at("beta").get<double>();
    net.parameters.f_max = sigmoid.at("f_max").get<double>();
    const json wc = params.contains("wc_coupling") ? params.at("wc_coupling") : json::object();
    net.parameters.alfa = wc.value("alfa", 0.0);
    net.parameters.epsilon = wc.value("epsilon", 0.0);
    net.parameters.gamma = wc.value("gamma", 0.0);
    net.parameters.delta = wc.value("delta", 0.0);
    net.parameters.tau_E = wc.value("tau_E", 2.5);
    net.parameters.tau_I = wc.value("tau_I", 1.25);

    if (size_check) size_check(net.n_nodes, net.n_inputs);
    const auto nn = static_cast<std::size_t>(net.n_nodes);
    const auto ni = static_cast<std::size_t>(net.n_inputs);
    net.tau.assign(nn, 0.0);
    net.is_excitatory.assign(nn, true);
    net.node_metadata.assign(nn, PopulationMetadata{});
    for (std::size_t i = 0; i < nn; ++i) {
        net.node_metadata[i].node_id = static_cast<std::int32_t>(i);
        net.node_metadata[i].row_index = static_cast<std::int32_t>(i);
    }
    net.input_names.assign(ni, std::string());
    net.input_row_index.assign(ni, 0);
    net.input_metadata.clear();

    for (const json& node : doc.at("nodes")) {
        const int id = read_int(node, "node_id");
        if (id < 0 || id >= net.n_nodes) {
            throw std::runtime_error("node_id out of bounds while parsing nodes array");
        }
        const auto i = static_cast<std::size_t>(id);
        net.tau[i] = node.at("tau").get<double>();
        net.is_excitatory[i] = node.value("is_excitatory", true);
        PopulationMetadata md;
        md.node_id = id;
        md.row_index = read_int_or(node, "row_index", id);
        for (const auto& [field, key] : kMetadataFields) md.*field = read_string(node, key);
        net.node_metadata[i] = std::move(md);
    }
    for (const json& input : doc.at("inputs")) {
        const int id = read_int(input, "input_id");
        if (id < 0 || id >= net.n_inputs) {
            throw std::runtime_error("input_id out of bounds while parsing inputs array");
        }
        const auto i = static_cast<std::size_t>(id);
        net.input_names[i] = read_string(input, "input_name");
        const int row = read_int_or(input, "row_index", id);
        net.input_row_index[i] = row;
        PopulationMetadata md;
        md.node_id = -1;
        md.input_id = id;
        md.row_index = row;
        md.pop_id = input.value("pop_id", net.input_names[i]);
        md.pop_typ = "external";
        md.con_typ = input.value("con_typ", std::string("excitation"));
        for (const auto& [field, key] : kInputLinks)
            md.*field = input.value(key, std::string("null"));
        net.input_metadata.push_back(std::move(md));
    }

    std::vector<Triplet> node_triplets;
    std::vector<Triplet> input_triplets;
    for (const json& element : doc["edges"]) {
        const std::string kind = read_string(element, "source_kind");
        Triplet edge;
        edge.col = read_int(element, "source_id");
        edge.row = read_int(element, "target_node_id");
        edge.value = element.at("weight_final").get<double>();
        if (edge.row < 0 || edge.row >= net.n_nodes) {
            throw std::runtime_error("target_node_id out of bounds while parsing edges array");
        }
        if (kind != "node" && kind != "input") {
            throw std::runtime_error("Unknown source_kind in edges array: " + without_nul(kind));
        }
        const bool from_node = kind == "node";
        if (edge.col < 0 || edge.col >= (from_node ? net.n_nodes : net.n_inputs)) {
            throw std::runtime_error(kind + " source_id out of bounds while parsing edges array");
        }
        (from_node ? node_triplets : input_triplets).push_back(edge);
    }
    net.weights.emplace(net.n_nodes, net.n_nodes);
    net.input_weights.emplace(net.n_nodes, net.n_inputs);
    net.weights->build_from_triplets(net.n_nodes, node_triplets);
    net.input_weights->build_from_triplets(net.n_nodes, input_triplets);
}

}  // namespace vesk::test
