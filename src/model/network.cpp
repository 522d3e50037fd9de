#include "model/network.hpp"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace vesk {
namespace {

using json = nlohmann::json;

// The library converts numbers to int with a plain cast, which wraps large
// integers and is undefined for large floats; such a value is an error here.
void check_int_range(const json& v, const char* key) {
    constexpr auto lo = std::numeric_limits<std::int32_t>::min();
    constexpr auto hi = std::numeric_limits<std::int32_t>::max();
    bool fits = true;
    if (v.is_number_unsigned()) {
        fits = v.get<std::uint64_t>() <= static_cast<std::uint64_t>(hi);
    } else if (v.is_number_integer()) {
        const auto i = v.get<std::int64_t>();
        fits = i >= lo && i <= hi;
    } else if (v.is_number_float()) {
        // Truncation toward zero must land in range: (lo - 1, hi + 1).
        const double d = v.get<double>();
        fits = d > static_cast<double>(lo) - 1.0 && d < static_cast<double>(hi) + 1.0;
    }
    if (!fits) {
        throw std::runtime_error(std::string("Value of '") + key +
                                 "' does not fit a 32-bit integer: " + v.dump());
    }
}

int read_int(const json& obj, const char* key) {
    const json& v = obj.at(key);
    check_int_range(v, key);
    return v.get<int>();
}

// Lookup-with-default: a missing key gives `fallback`, a present one (null
// included) is converted. A non-object fails as the library's value() does.
int read_int_or(const json& obj, const char* key, int fallback) {
    if (obj.is_object()) {
        const auto it = obj.find(key);
        if (it == obj.end()) return fallback;
        check_int_range(*it, key);
    }
    return obj.value(key, fallback);
}

std::string read_string(const json& obj, const char* key) { return obj.at(key).get<std::string>(); }

std::string read_string_or(const json& obj, const char* key, const std::string& fallback) {
    return obj.value(key, fallback);
}

// nlohmann 3.11.2 reports an empty input as a plain syntax error; users get
// the clearer wording of later library releases for a zero-byte file.
constexpr const char* empty_input_error =
    "[json.exception.parse_error.101] parse error at line 1, column 1: attempting to parse an "
    "empty input; check that your input string or stream contains the expected JSON";

json parse_contract(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("Failed to open model file: " + path);
    json doc;
    try {
        if (in.peek() == std::ifstream::traits_type::eof()) {
            throw std::runtime_error("JSON parse error in " + path + ": " + empty_input_error);
        }
        in >> doc;
    } catch (const json::parse_error& e) {
        throw std::runtime_error("JSON parse error in " + path + ": " + e.what());
    }
    return doc;
}

// Bytes a run holds per node and per input channel: the loader's arrays and
// records plus the simulator's state, stage and scratch buffers and the
// column name. Strings longer than the small-string buffer are not counted,
// so this is a lower bound.
constexpr double bytes_per_node =
    sizeof(double) + sizeof(PopulationMetadata) + sizeof(std::int32_t) + 17 * sizeof(double) +
    sizeof(std::string) + sizeof(std::function<double(double)>);
constexpr double bytes_per_input = sizeof(std::string) + sizeof(std::int32_t) +
                                   sizeof(PopulationMetadata) + 2 * sizeof(double) +
                                   2 * sizeof(std::function<double(double)>);

// Refuses sizes that cannot fit in this machine's memory before anything is
// allocated: otherwise the arrays either fail with a bare allocation error or,
// with overcommit, get the process killed while they are filled.
void check_fits_in_memory(std::int32_t n_nodes, std::int32_t n_inputs) {
    const double needed = bytes_per_node * n_nodes + bytes_per_input * n_inputs;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return;
    const double available = static_cast<double>(pages) * static_cast<double>(page_size);
    if (needed <= available) return;
    constexpr double gib = 1024.0 * 1024.0 * 1024.0;
    char text[256];
    std::snprintf(text, sizeof text,
                  "Model too large for this machine: n_nodes=%d and n_inputs=%d need at least "
                  "%.1f GiB of memory, this machine has %.1f GiB",
                  static_cast<int>(n_nodes), static_cast<int>(n_inputs), needed / gib,
                  available / gib);
    throw std::runtime_error(text);
}

}  // namespace

void Network::load_from_json(const std::string& path) {
    json doc = parse_contract(path);

    const json& counts = doc.at("counts");
    n_nodes = read_int(counts, "n_nodes");
    n_inputs = read_int(counts, "n_inputs");
    if (n_nodes < 0 || n_inputs < 0) {
        throw std::runtime_error("Invalid model sizes: n_nodes/n_inputs must be non-negative");
    }

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

    check_fits_in_memory(n_nodes, n_inputs);
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
        if (id < 0 || id >= n_nodes) {
            throw std::runtime_error("node_id out of bounds while parsing nodes array");
        }
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
        if (id < 0 || id >= n_inputs) {
            throw std::runtime_error("input_id out of bounds while parsing inputs array");
        }
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

    // A missing "edges" behaves exactly like "edges": null.
    const json& edges = doc["edges"];
    std::vector<Triplet> node_triplets;
    std::vector<Triplet> input_triplets;
    node_triplets.reserve(edges.size());
    for (const json& edge : edges) {
        const std::string kind = read_string(edge, "source_kind");
        const int source = read_int(edge, "source_id");
        const int target = read_int(edge, "target_node_id");
        const double weight = edge.at("weight_final").get<double>();
        if (target < 0 || target >= n_nodes) {
            throw std::runtime_error("target_node_id out of bounds while parsing edges array");
        }
        if (kind == "node") {
            if (source < 0 || source >= n_nodes) {
                throw std::runtime_error("node source_id out of bounds while parsing edges array");
            }
            node_triplets.push_back({target, source, weight});
        } else if (kind == "input") {
            if (source < 0 || source >= n_inputs) {
                throw std::runtime_error(
                    "input source_id out of bounds while parsing edges array");
            }
            input_triplets.push_back({target, source, weight});
        } else {
            throw std::runtime_error("Unknown source_kind in edges array: " + kind);
        }
    }

    weights.emplace(n_nodes, n_nodes);
    input_weights.emplace(n_nodes, n_inputs);
    weights->build_from_triplets(n_nodes, node_triplets);
    input_weights->build_from_triplets(n_nodes, input_triplets);
}

double Network::get_weight(int target, int source) const {
    return weights ? weights->get(target, source) : 0.0;
}

double Network::get_input_weight(int target, int input) const {
    return input_weights ? input_weights->get(target, input) : 0.0;
}

}  // namespace vesk
