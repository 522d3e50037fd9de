// The loaded model: sizes, global constants, per-node and per-input records
// and the two weight matrices, filled once from a simulation contract.
#pragma once

#include <cstdint>
#include <functional>
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

// How load_from_json reads the contract file. `fast` (the default) takes a
// contract of the usual shape through read_contract_fast
// (contract/contract_fast_reader.hpp) and reads any other file as `streamed`
// does. `streamed` reads the text once through the contract walker
// (contract/load_sink.hpp), whatever its shape, in memory a fraction of the
// file size. Both give the same Network and the same errors.
enum class ContractReading { fast, streamed };

// Refuses a model by its sizes before the loader allocates anything for
// them, by throwing std::runtime_error with the user-facing message (the
// memory budget of a run is one such check).
using SizeCheck = std::function<void(std::int32_t n_nodes, std::int32_t n_inputs)>;

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

    // Reads the simulation contract at `path`, replacing everything loaded
    // before. Throws std::runtime_error with the user-facing message, or the
    // JSON library's own exception for a missing key, a wrong type or a
    // number overflow.
    // `size_check` is asked once the sizes are known (an empty one allows
    // any size).
    void load_from_json(const std::string& path, const SizeCheck& size_check,
                        ContractReading reading = ContractReading::fast);

    // Weight from node `source` onto node `target` (0.0 when absent).
    double get_weight(int target, int source) const;
    // Weight from input `input` onto node `target` (0.0 when absent).
    double get_input_weight(int target, int input) const;
};

}  // namespace vesk
