// The one reader of simulation contracts: reads the text once, as a stream
// of parser events, checks every value against the schema and hands the
// entries and every fault, with its JSON path and its rank in the loader's
// order of reading, to a sink. The load sink builds the Network and raises
// the fault that ranks first; the check sink collects every finding.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "contract/contract_schema.hpp"
#include "model/network.hpp"

namespace vesk {

// The loader's order of reading: the whole text first, then the sizes, the
// constants, the memory estimate, the nodes, the inputs and the edges.
enum class Stage : std::uint8_t {
    read,
    root,
    counts,
    sizes,
    parameters,
    sigmoid,
    coupling,
    memory,
    nodes,
    inputs,
    edges,
};
inline constexpr std::size_t stage_count = static_cast<std::size_t>(Stage::edges) + 1;

// An entry of "nodes", "inputs" or "edges": the position of its value in
// the file and, when the list is an object, its key.
struct EntryRef {
    std::uint64_t position = 0;
    bool keyed = false;
    std::string key;
};

// Where a fault stops the loader: its stage; within a list the entry (0 for
// the list itself, k + 1 for the k-th element, 1 and the key for a member
// of a list given as an object, which the loader reads in key order); and
// the step within the object (see field_step).
struct Rank {
    Stage stage = Stage::read;
    std::uint64_t element = 0;
    std::string key;
    std::uint16_t step = 0;

    auto operator<=>(const Rank&) const = default;
};

// Steps within an object: 0 is its own lookup (it is no object); field f
// is read at step 2f + 1, and the checks that follow it come at 2f + 2.
constexpr std::uint16_t field_step(int field) {
    return static_cast<std::uint16_t>(2 * field + 1);
}
constexpr std::uint16_t after_field_step(int field) {
    return static_cast<std::uint16_t>(2 * field + 2);
}
// An edge's kind and source are checked after its target.
inline constexpr std::uint16_t edge_kind_step = after_field_step(edge_weight_final) + 1;

Rank entry_rank(Stage stage, const EntryRef& entry, std::uint16_t step);
inline Rank stage_rank(Stage stage, std::uint16_t step = 0) {
    return {stage, 0, {}, step};
}

// Sizes a model can have: neither is negative.
constexpr bool counts_valid(std::int32_t n_nodes, std::int32_t n_inputs) {
    return n_nodes >= 0 && n_inputs >= 0;
}

// One error the loader would stop on.
struct Fault {
    Rank rank;
    std::string place;  // "<file>: <json path>", or the file alone
    Msg msg = Msg::parse_error;
    std::string text;  // the whole message
};

// Throws the fault as the loader does: std::runtime_error with its text, or
// the JSON library's exception of its id, whose text it is.
[[noreturn]] void raise_fault(const Fault& fault);

// Keeps the fault that ranks first, forgetting those of values that a key
// given again replaces.
class FaultRanking {
  public:
    void add(const Fault& fault);
    // Forgets the faults of a stage, or of one keyed entry of its list.
    void forget(Stage stage, const EntryRef* entry = nullptr);
    const Fault* first() const;

  private:
    std::array<std::optional<Fault>, stage_count> by_stage_;
    std::array<std::map<std::string, Fault>, stage_count> by_key_;  // lists given as objects
};

struct NodeEntry {
    EntryRef at;
    bool complete = false;  // every field read without a fault
    std::optional<std::int32_t> id;
    bool row_given = false;
    double tau = 0.0;
    bool is_excitatory = true;
    PopulationMetadata md;  // node_id and row_index whenever id is set
};

struct InputEntry {
    EntryRef at;
    bool complete = false;
    std::optional<std::int32_t> id;
    bool row_given = false;
    std::string name;  // "" when it did not read
    PopulationMetadata md;
};

// `from` is other for an unknown kind or a source_id that did not read.
enum class EdgeSource : std::uint8_t { node, input, other };

struct EdgeEntry {
    EntryRef at;
    bool complete = false;
    std::optional<std::int32_t> target;
    std::int32_t source = 0;
    EdgeSource from = EdgeSource::other;
    double weight = 0.0;
};

// What the walker reports, in the order of the file; entries of a list
// given as an object come when the list ends, in the order of their keys.
class ContractSink {
  public:
    virtual ~ContractSink() = default;
    virtual void fault(Fault&& fault) = 0;
    // Warnings are built only for a sink that wants them.
    virtual bool wants_warnings() const { return false; }
    virtual void warning(std::string /*place*/, Msg /*msg*/, std::string /*text*/) {}
    // A key given again: what the stage (or one keyed entry) reported so far
    // is replaced.
    virtual void restart(Stage stage, const EntryRef* entry) = 0;
    // The sizes, when both read; `valid` is false when one is negative.
    virtual void counts(bool valid, std::int32_t n_nodes, std::int32_t n_inputs) = 0;
    // The constants of object `ctx` (the sigmoid or the coupling), defaults
    // filled in, in their members of `values`; the others are not set.
    virtual void parameters(Ctx ctx, const NetworkParameters& values) = 0;
    virtual void node(NodeEntry&& entry) = 0;
    virtual void input(InputEntry&& entry) = 0;
    virtual void edge(const EdgeEntry& entry) = 0;
    // The text ended; `complete` when the top-level object was read whole.
    virtual void finish(bool complete) = 0;
};

// Reads the contract at `path` once (a file, a pipe or a FIFO) and reports
// to `sink`, ending with finish(). Messages and places name `path`.
void walk_contract_file(const std::string& path, ContractSink& sink);

// The same for a contract held in memory; messages name `name`.
void walk_contract_text(std::string_view text, const std::string& name, ContractSink& sink);

}  // namespace vesk
