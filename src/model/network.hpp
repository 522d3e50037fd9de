// The loaded model: sizes, global constants, per-node and per-input records
// and the two weight matrices, filled once from a simulation contract
// (contract/load_network.hpp) and plain data from then on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/sparse_matrix.hpp"

namespace vesk {

// One row-map record, for a node (input_id -1) or for an input (node_id -1).
struct PopulationMetadata {
    std::int32_t node_id = 0;
    std::int32_t row_index = 0;
    std::string pop_id;
    std::string pop_typ;
    std::string con_typ;
    std::string circ_id;
    std::string h_row;
    std::string d_row;
    std::string mat_id;
    std::int32_t input_id = -1;
};

// The global constants of the dynamics: the contract's "wc_coupling" and
// "sigmoid" values.
struct NetworkParameters {
    double alfa = 0.0;
    double epsilon = 0.0;
    double gamma = 0.0;
    double delta = 0.0;
    double tau_E = 2.5;   // ms
    double tau_I = 1.25;  // ms
    double theta = 0.0;
    double beta = 0.0;
    double f_max = 0.0;
};

struct Network {
    std::int32_t n_nodes = 0;
    std::int32_t n_inputs = 0;
    std::vector<double> tau;                         // per node; not used by the dynamics
    std::vector<bool> is_excitatory;                 // per node
    std::vector<PopulationMetadata> node_metadata;   // per node, by node_id
    std::vector<PopulationMetadata> input_metadata;  // one per "inputs" entry, file order
    std::vector<std::string> input_names;            // per input, by input_id
    std::vector<std::int32_t> input_row_index;       // per input, by input_id
    NetworkParameters parameters;
    std::optional<SparseMatrix> weights;        // n_nodes x n_nodes, row = target
    std::optional<SparseMatrix> input_weights;  // n_nodes x n_inputs, row = target

    // Weight from node `source` onto node `target` (0.0 when absent).
    double get_weight(int target, int source) const {
        return weights ? weights->get(target, source) : 0.0;
    }
    // Weight from input `input` onto node `target` (0.0 when absent).
    double get_input_weight(int target, int input) const {
        return input_weights ? input_weights->get(target, input) : 0.0;
    }
};

}  // namespace vesk
