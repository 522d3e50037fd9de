// The simulation contract's one description: the objects, their keys, the
// JSON types the loader converts them to, their defaults, and every message
// about a contract, byte for byte. The walker, the fast reader, vesk-check,
// the contract generator and the error list of the manual all read it here.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "model/finding.hpp"

namespace vesk {

// The objects of a contract, and the lists of them.
enum class Ctx : std::uint8_t {
    root,
    top,
    counts,
    params,
    sigmoid,
    coupling,
    node_list,
    input_list,
    edge_list,
    node,
    input,
    edge,
    skip,  // inside a value the loader never reads
};

// How the loader reads a key: as a 32-bit int (booleans too), a double, a
// bool or a text, as an object with at() or value(), or by iterating over it.
enum class Want : std::uint8_t { int32, number, boolean, string, object_at, object_value, list };

struct Field {
    std::string_view key;
    Want want;
    bool required;
    Ctx child = Ctx::skip;      // the context of an object or list value
    double number_default = 0;  // an optional number's or bool's default
    // An optional text's default: this text, or the value of the key
    // `default_key` of the same object when that is set.
    std::string_view text_default = {};
    std::string_view default_key = {};
};

// Field indices, in the order in which the loader reads the keys.
enum TopField { top_counts, top_network_parameters, top_nodes, top_inputs, top_edges };
enum CountsField { counts_n_nodes, counts_n_inputs };
enum ParamsField { params_sigmoid, params_wc_coupling };
enum SigmoidField { sigmoid_theta, sigmoid_beta, sigmoid_f_max };
enum CouplingField {
    coupling_alfa,
    coupling_epsilon,
    coupling_gamma,
    coupling_delta,
    coupling_tau_E,
    coupling_tau_I
};
enum NodeField {
    node_node_id,
    node_tau,
    node_is_excitatory,
    node_row_index,
    node_pop_id,
    node_pop_typ,
    node_con_typ,
    node_circ_id,
    node_h_row,
    node_d_row,
    node_mat_id
};
enum InputField {
    input_input_id,
    input_input_name,
    input_row_index,
    input_pop_id,
    input_con_typ,
    input_circ_id,
    input_h_row,
    input_d_row,
    input_mat_id
};
enum EdgeField { edge_source_kind, edge_source_id, edge_target_node_id, edge_weight_final };

inline constexpr Field top_fields[] = {
    {"counts", Want::object_at, true, Ctx::counts},
    {"network_parameters", Want::object_at, true, Ctx::params},
    {"nodes", Want::list, true, Ctx::node_list},
    {"inputs", Want::list, true, Ctx::input_list},
    {"edges", Want::list, false, Ctx::edge_list},  // missing counts as null
};
inline constexpr Field counts_fields[] = {{"n_nodes", Want::int32, true},
                                          {"n_inputs", Want::int32, true}};
inline constexpr Field params_fields[] = {
    {"sigmoid", Want::object_at, true, Ctx::sigmoid},
    {"wc_coupling", Want::object_value, false, Ctx::coupling},
};
inline constexpr Field sigmoid_fields[] = {
    {"theta", Want::number, true}, {"beta", Want::number, true}, {"f_max", Want::number, true}};
inline constexpr Field coupling_fields[] = {
    {"alfa", Want::number, false, Ctx::skip, 0.0},
    {"epsilon", Want::number, false, Ctx::skip, 0.0},
    {"gamma", Want::number, false, Ctx::skip, 0.0},
    {"delta", Want::number, false, Ctx::skip, 0.0},
    {"tau_E", Want::number, false, Ctx::skip, 2.5},  // ms
    {"tau_I", Want::number, false, Ctx::skip, 1.25},
};
// The values of "wc_coupling", in the order of coupling_fields.
using Coupling = std::array<double, std::size(coupling_fields)>;

inline constexpr Field node_fields[] = {
    {"node_id", Want::int32, true},
    {"tau", Want::number, true},
    {"is_excitatory", Want::boolean, false, Ctx::skip, 1.0},
    {"row_index", Want::int32, false, Ctx::skip, 0.0, {}, "node_id"},
    {"pop_id", Want::string, true},
    {"pop_typ", Want::string, true},
    {"con_typ", Want::string, true},
    {"circ_id", Want::string, true},
    {"h_row", Want::string, true},
    {"d_row", Want::string, true},
    {"mat_id", Want::string, true},
};
inline constexpr Field input_fields[] = {
    {"input_id", Want::int32, true},
    {"input_name", Want::string, true},
    {"row_index", Want::int32, false, Ctx::skip, 0.0, {}, "input_id"},
    {"pop_id", Want::string, false, Ctx::skip, 0.0, {}, "input_name"},
    {"con_typ", Want::string, false, Ctx::skip, 0.0, "excitation"},
    {"circ_id", Want::string, false, Ctx::skip, 0.0, "null"},
    {"h_row", Want::string, false, Ctx::skip, 0.0, "null"},
    {"d_row", Want::string, false, Ctx::skip, 0.0, "null"},
    {"mat_id", Want::string, false, Ctx::skip, 0.0, "null"},
};
inline constexpr Field edge_fields[] = {
    {"source_kind", Want::string, true},
    {"source_id", Want::int32, true},
    {"target_node_id", Want::int32, true},
    {"weight_final", Want::number, true},
};
inline constexpr std::size_t max_fields = std::size(node_fields);

// The row-map type of every input; an input's own "pop_typ" is not read.
inline constexpr std::string_view input_pop_typ = "external";
// The two values of an edge's "source_kind".
inline constexpr std::string_view source_kind_node = "node";
inline constexpr std::string_view source_kind_input = "input";

// The fields of the objects of context `ctx`; empty for lists and the rest.
std::span<const Field> fields_of(Ctx ctx);

// ---- Messages -----------------------------------------------------------------

// How a message reaches the user: as the loader's std::runtime_error, or as
// the JSON library's exception of that name and id, with the library's
// "[json.exception.<name>.<id>] " before the text.
enum class Raised : std::uint8_t { runtime_error, parse_error, type_error, out_of_range, none };

enum class Msg : std::uint8_t {
    open_failed,
    read_failed,
    parse_error,
    empty_input,
    number_overflow,
    missing_key,
    at_type,
    value_type,
    wrong_type,
    int_range,
    negative_sizes,
    node_id_bounds,
    input_id_bounds,
    target_bounds,
    node_source_bounds,
    input_source_bounds,
    unknown_source_kind,
    model_too_large,
    out_of_memory,
    // vesk-check's warnings: the loader accepts these silently.
    unknown_key,
    unknown_key_guess,
    repeated_key,
    ignored_time_constant,
    ignored_input_pop_typ,
    boolean_as_integer,
    object_as_list,
    repeated_id,
    phantom_nodes,
    repeated_node_row,
    phantom_inputs,
    repeated_input_name,
    repeated_input_row,
    unreachable_input,
};

struct MessageEntry {
    Msg id;
    Severity severity;
    Raised raised;
    int library_id;           // the JSON library's exception id; 0 for our own texts
    std::string_view kind;    // the sort of finding, as vesk-check counts them
    std::string_view text;    // "{name}" marks where an argument goes
    std::string_view advice;  // what to do, for the manual; "" where no row of its own
};

// Every message, in the order of Msg.
std::span<const MessageEntry> contract_messages();
const MessageEntry& message_entry(Msg id);

// The text of `id` with its placeholders replaced by `args`, in order, and
// the library's prefix in front where the library raises it.
std::string contract_message(Msg id, std::initializer_list<std::string_view> args = {});

}  // namespace vesk
