#include "contract/contract_schema.hpp"

#include <stdexcept>
#include <vector>

namespace vesk {
namespace {

using S = Severity;
using R = Raised;

// The loader's texts are a fixed contract: users and scripts match them.
constexpr MessageEntry messages[] = {
    {Msg::open_failed, S::error, R::runtime_error, 0, "unreadable file",
     "Failed to open model file: {path}", "check the path and the permissions"},
    {Msg::read_failed, S::error, R::runtime_error, 0, "unreadable file",
     "Failed to read model file: {path}", "check the path and the permissions"},
    {Msg::parse_error, S::error, R::runtime_error, 0, "malformed JSON",
     "JSON parse error in {path}: {[json.exception.parse_error.<id>] …}",
     "the file is not valid JSON (truncated file, trailing comma, comment, empty file); the text "
     "gives line and column"},
    {Msg::empty_input, S::error, R::parse_error, 101, "malformed JSON",
     "parse error at line 1, column 1: attempting to parse an empty input; check that your "
     "input string or stream contains the expected JSON",
     ""},
    {Msg::number_overflow, S::error, R::out_of_range, 406, "malformed JSON",
     "number overflow parsing '{number}'",
     "a number is too large for a double: fix the exporter's output"},
    {Msg::missing_key, S::error, R::out_of_range, 403, "missing key", "key '{key}' not found",
     "a required key is missing (see [the contract "
     "format](file-formats.md#simulation-contract---model-json))"},
    {Msg::at_type, S::error, R::type_error, 304, "wrong type", "cannot use at() with {type}",
     "a value that must be an object (the file, a node, an input, an edge, `counts`, "
     "`network_parameters`, `sigmoid`) is something else"},
    {Msg::value_type, S::error, R::type_error, 306, "wrong type", "cannot use value() with {type}",
     "`wc_coupling`, when given, must be an object"},
    {Msg::wrong_type, S::error, R::type_error, 302, "wrong type",
     "type must be {wanted}, but is {type}",
     "a key holds a value of the wrong type, e.g. `\"tau\": \"2.5\"`, `\"is_excitatory\": 1` or a "
     "`null` metadata text"},
    {Msg::int_range, S::error, R::runtime_error, 0, "integer out of range",
     "Value of '{key}' does not fit a 32-bit integer: {value}",
     "an id, count or row index is too large"},
    {Msg::negative_sizes, S::error, R::runtime_error, 0, "negative size",
     "Invalid model sizes: n_nodes/n_inputs must be non-negative", "fix `counts`"},
    {Msg::node_id_bounds, S::error, R::runtime_error, 0, "id out of bounds",
     "node_id out of bounds while parsing nodes array",
     "a node's `node_id` is negative or not below `n_nodes`: fix the ids or `counts`"},
    {Msg::input_id_bounds, S::error, R::runtime_error, 0, "id out of bounds",
     "input_id out of bounds while parsing inputs array",
     "likewise for an input's `input_id` and `n_inputs`"},
    {Msg::target_bounds, S::error, R::runtime_error, 0, "id out of bounds",
     "target_node_id out of bounds while parsing edges array",
     "an edge points to a node that does not exist"},
    {Msg::node_source_bounds, S::error, R::runtime_error, 0, "id out of bounds",
     "node source_id out of bounds while parsing edges array",
     "an edge comes from a node that does not exist"},
    {Msg::input_source_bounds, S::error, R::runtime_error, 0, "id out of bounds",
     "input source_id out of bounds while parsing edges array",
     "an edge comes from an input that does not exist"},
    {Msg::unknown_source_kind, S::error, R::runtime_error, 0, "unknown source_kind",
     "Unknown source_kind in edges array: {source_kind}",
     "`source_kind` must be exactly `node` or `input` (lower case, no blanks)"},
    {Msg::model_too_large, S::error, R::runtime_error, 0, "model error",
     "Model too large for this machine: n_nodes={n_nodes} and n_inputs={n_inputs} need at least "
     "{GiB} GiB of memory, this machine has {GiB available} GiB",
     "run on a machine with more memory, or check that `counts` is what you meant"},
    {Msg::out_of_memory, S::error, R::runtime_error, 0, "model error",
     "out of memory: the model or the run needs more memory than this machine can provide",
     "run on a machine with more memory, or check that `counts` is what you meant"},
    {Msg::unknown_key, S::warning, R::none, 0, "unknown key", "unknown key '{key}' is ignored",
     "a key the loader does not read"},
    {Msg::unknown_key_guess, S::warning, R::none, 0, "unknown key",
     "unknown key '{key}' is ignored (did you mean '{guess}'?)",
     "a key the loader does not read, close to one it reads"},
    {Msg::repeated_key, S::warning, R::none, 0, "repeated key",
     "key '{key}' appears twice in this object; the last value counts",
     "a key given twice in one object"},
    {Msg::ignored_time_constant, S::warning, R::none, 0, "ignored key",
     "'{key}' is ignored here: the time constants are read only from "
     "network_parameters.wc_coupling",
     "tau_E or tau_I directly in network_parameters"},
    {Msg::ignored_input_pop_typ, S::warning, R::none, 0, "ignored key",
     "'pop_typ' of an input is not read: every input is 'external' in the row map",
     "an input with a pop_typ"},
    {Msg::boolean_as_integer, S::warning, R::none, 0, "boolean as integer",
     "'{key}' is a boolean, read as the integer {value}", "an integer field holds true or false"},
    {Msg::object_as_list, S::warning, R::none, 0, "object as list",
     "'{key}' is an object, read as the list of its member values in the byte order of their "
     "keys",
     "nodes, inputs or edges given as an object"},
    {Msg::repeated_id, S::warning, R::none, 0, "repeated id",
     "{id key} {id} already has an entry, {entry}; this later entry replaces it",
     "two entries with the same node_id or input_id"},
    {Msg::phantom_nodes, S::warning, R::none, 0, "phantom node",
     "n_nodes is {n_nodes} but {count} node_ids have no entry in nodes ({ids}): each still gets "
     "an output column, named by its node_id, and no metadata",
     "node_ids below n_nodes that no entry names"},
    {Msg::repeated_node_row, S::warning, R::none, 0, "repeated row_index",
     "row_index {row} of node_id {id} is also the row_index of node_id {other}: two output "
     "columns are named {row}, and a binding of {row} clamps only node_id {id}",
     "two nodes with one row_index"},
    {Msg::phantom_inputs, S::warning, R::none, 0, "phantom input",
     "n_inputs is {n_inputs} but {count} input_ids have no entry in inputs ({ids}): they have no "
     "name, so no instruction can drive them",
     "input_ids below n_inputs that no entry names"},
    {Msg::repeated_input_name, S::warning, R::none, 0, "repeated input_name",
     "input_name '{name}' is also the name of input_id {other}: instructions drive only "
     "input_id {id}",
     "two inputs with one name"},
    {Msg::repeated_input_row, S::warning, R::none, 0, "repeated row_index",
     "row_index {row} of input_id {id} is also the row_index of input_id {other}: two "
     "input-trace columns are named {row}",
     "two inputs with one row_index"},
    {Msg::unreachable_input, S::warning, R::none, 0, "unreachable input",
     "no instruction command drives the input '{name}'",
     "an input no instruction command names (checked with an instruction file)"},
    {Msg::trailing_content, S::warning, R::none, 0, "trailing content",
     "the contract ends before byte offset {offset}: what follows from there is not read",
     "text after the contract's closing brace, e.g. the rest of a longer file overwritten in "
     "place"},
    {Msg::non_positive_constant, S::warning, R::none, 0, "non-positive constant",
     "'{key}' is {value}: it must be above 0, or every trace of a run is meaningless",
     "a time constant or f_max of 0 or below"},
    {Msg::nesting_too_deep, S::error, R::runtime_error, 0, "malformed JSON",
     "JSON nesting deeper than {levels} levels in {path}: no contract nests that deep",
     "arrays or objects nested far deeper than a contract's three levels"},
};

const char* raised_name(Raised raised) {
    switch (raised) {
        case Raised::parse_error:
            return "parse_error";
        case Raised::type_error:
            return "type_error";
        case Raised::out_of_range:
            return "out_of_range";
        default:
            return nullptr;
    }
}

}  // namespace

std::span<const Field> fields_of(Ctx ctx) {
    switch (ctx) {
        case Ctx::top:
            return top_fields;
        case Ctx::counts:
            return counts_fields;
        case Ctx::params:
            return params_fields;
        case Ctx::sigmoid:
            return sigmoid_fields;
        case Ctx::coupling:
            return coupling_fields;
        case Ctx::node:
            return node_fields;
        case Ctx::input:
            return input_fields;
        case Ctx::edge:
            return edge_fields;
        default:
            return {};
    }
}

void copy_parameters(Ctx ctx, const NetworkParameters& from, NetworkParameters& to) {
    for (const Field& f : fields_of(ctx)) {
        if (f.parameter) to.*f.parameter = from.*f.parameter;
    }
}

void default_parameters(Ctx ctx, NetworkParameters& p) {
    for (const Field& f : fields_of(ctx)) {
        if (f.parameter) p.*f.parameter = f.number_default;
    }
}

std::span<const MessageEntry> contract_messages() {
    return messages;
}

const MessageEntry& message_entry(Msg id) {
    const auto& entry = messages[static_cast<std::size_t>(id)];
    if (entry.id != id) throw std::logic_error("contract message table out of order");
    return entry;
}

std::string contract_message(Msg id, std::initializer_list<std::string_view> args) {
    const MessageEntry& entry = message_entry(id);
    std::string text;
    if (const char* name = raised_name(entry.raised)) {
        text =
            std::string("[json.exception.") + name + "." + std::to_string(entry.library_id) + "] ";
    }
    // A placeholder named again takes the argument it took the first time.
    std::vector<std::string_view> names;
    const std::string_view t = entry.text;
    std::size_t at = 0;
    while (at < t.size()) {
        const std::size_t open = t.find('{', at);
        const std::size_t close = open == std::string_view::npos ? open : t.find('}', open);
        if (close == std::string_view::npos) {
            text.append(t.substr(at));
            break;
        }
        text.append(t.substr(at, open - at));
        const std::string_view name = t.substr(open + 1, close - open - 1);
        std::size_t k = 0;
        while (k < names.size() && names[k] != name) ++k;
        if (k == names.size()) names.push_back(name);
        if (k < args.size()) text.append(*(args.begin() + k));
        at = close + 1;
    }
    return text;
}

}  // namespace vesk
