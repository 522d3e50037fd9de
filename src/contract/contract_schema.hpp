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

#include "diagnostics/finding.hpp"
#include "model/network.hpp"

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
    bool required = false;
    Ctx child = Ctx::skip;      // the context of an object or list value
    double number_default = 0;  // an optional number's or bool's default
    // An optional text's default: this text, or the value of the key
    // `default_key` of the same object when that is set.
    std::string_view text_default = {};
    std::string_view default_key = {};
    // Where the value goes, for the rows that readers and writers bind by
    // the schema alone: a network constant, or a row-map field.
    double NetworkParameters::*parameter = nullptr;
    std::string PopulationMetadata::*text = nullptr;
    std::int32_t PopulationMetadata::*integer = nullptr;
    // A constant that only makes sense above zero (the run divides by it,
    // or it bounds every rate): vesk-check warns on any other value.
    bool positive = false;
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
    {.key = "theta",
     .want = Want::number,
     .required = true,
     .parameter = &NetworkParameters::theta},
    {.key = "beta", .want = Want::number, .required = true, .parameter = &NetworkParameters::beta},
    {.key = "f_max",
     .want = Want::number,
     .required = true,
     .parameter = &NetworkParameters::f_max,
     .positive = true},
};
inline constexpr Field coupling_fields[] = {
    {.key = "alfa", .want = Want::number, .parameter = &NetworkParameters::alfa},
    {.key = "epsilon", .want = Want::number, .parameter = &NetworkParameters::epsilon},
    {.key = "gamma", .want = Want::number, .parameter = &NetworkParameters::gamma},
    {.key = "delta", .want = Want::number, .parameter = &NetworkParameters::delta},
    {.key = "tau_E",
     .want = Want::number,
     .number_default = 2.5,  // ms
     .parameter = &NetworkParameters::tau_E,
     .positive = true},
    {.key = "tau_I",
     .want = Want::number,
     .number_default = 1.25,
     .parameter = &NetworkParameters::tau_I,
     .positive = true},
};

using MD = PopulationMetadata;
inline constexpr Field node_fields[] = {
    {.key = "node_id", .want = Want::int32, .required = true, .integer = &MD::node_id},
    {.key = "tau", .want = Want::number, .required = true},
    {.key = "is_excitatory", .want = Want::boolean, .number_default = 1.0},
    {.key = "row_index", .want = Want::int32, .default_key = "node_id", .integer = &MD::row_index},
    {.key = "pop_id", .want = Want::string, .required = true, .text = &MD::pop_id},
    {.key = "pop_typ", .want = Want::string, .required = true, .text = &MD::pop_typ},
    {.key = "con_typ", .want = Want::string, .required = true, .text = &MD::con_typ},
    {.key = "circ_id", .want = Want::string, .required = true, .text = &MD::circ_id},
    {.key = "h_row", .want = Want::string, .required = true, .text = &MD::h_row},
    {.key = "d_row", .want = Want::string, .required = true, .text = &MD::d_row},
    {.key = "mat_id", .want = Want::string, .required = true, .text = &MD::mat_id},
};
inline constexpr Field input_fields[] = {
    {.key = "input_id", .want = Want::int32, .required = true, .integer = &MD::input_id},
    {.key = "input_name", .want = Want::string, .required = true},
    {.key = "row_index", .want = Want::int32, .default_key = "input_id", .integer = &MD::row_index},
    {.key = "pop_id", .want = Want::string, .default_key = "input_name", .text = &MD::pop_id},
    {.key = "con_typ", .want = Want::string, .text_default = "excitation", .text = &MD::con_typ},
    {.key = "circ_id", .want = Want::string, .text_default = "null", .text = &MD::circ_id},
    {.key = "h_row", .want = Want::string, .text_default = "null", .text = &MD::h_row},
    {.key = "d_row", .want = Want::string, .text_default = "null", .text = &MD::d_row},
    {.key = "mat_id", .want = Want::string, .text_default = "null", .text = &MD::mat_id},
};
inline constexpr Field edge_fields[] = {
    {"source_kind", Want::string, true},
    {"source_id", Want::int32, true},
    {"target_node_id", Want::int32, true},
    {"weight_final", Want::number, true},
};
inline constexpr std::size_t max_fields = std::size(node_fields);
// Arrays and objects nest three deep in a contract; values under unknown
// keys may nest more, but no reader follows a text deeper than this.
inline constexpr std::size_t max_nesting = 64;

// The network constants in the schema's order (the sigmoid's, then the
// coupling's): every table of them (Python's, the batch engine's rows)
// loops over this one.
struct ParameterRow {
    std::string_view key;
    double NetworkParameters::*member;
    double number_default;
};
inline constexpr std::size_t parameter_count =
    std::size(sigmoid_fields) + std::size(coupling_fields);
inline constexpr std::array<ParameterRow, parameter_count> parameter_rows = [] {
    std::array<ParameterRow, parameter_count> rows{};
    std::size_t k = 0;
    for (const Field& f : sigmoid_fields) rows[k++] = {f.key, f.parameter, f.number_default};
    for (const Field& f : coupling_fields) rows[k++] = {f.key, f.parameter, f.number_default};
    return rows;
}();
// Every constant of NetworkParameters has its row, and every row its own
// member: a constant added to one and not the other fails here.
static_assert(sizeof(NetworkParameters) == parameter_count * sizeof(double));
static_assert([] {
    for (std::size_t a = 0; a < parameter_count; ++a) {
        if (parameter_rows[a].member == nullptr) return false;
        for (std::size_t b = 0; b < a; ++b) {
            if (parameter_rows[a].member == parameter_rows[b].member) return false;
        }
    }
    return true;
}());
// A NetworkParameters starts out with the schema's defaults.
static_assert([] {
    for (const ParameterRow& row : parameter_rows) {
        if (NetworkParameters{}.*row.member != row.number_default) return false;
    }
    return true;
}());

// The row of the constant `member`; the schema's order is the index.
constexpr std::size_t parameter_index(double NetworkParameters::*member) {
    for (std::size_t k = 0; k < parameter_count; ++k) {
        if (parameter_rows[k].member == member) return k;
    }
    return parameter_count;
}

// Copies the constants that the fields of `ctx` hold from `from` into `to`.
void copy_parameters(Ctx ctx, const NetworkParameters& from, NetworkParameters& to);
// Sets the constants that the fields of `ctx` hold to their defaults.
void default_parameters(Ctx ctx, NetworkParameters& p);

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
    trailing_content,
    non_positive_constant,
    nesting_too_deep,
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
