#include "contract/check_sink.hpp"

#include <new>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "contract/contract_walker.hpp"

namespace vesk {
namespace {

std::string label(std::string_view list, const EntryRef& at) {
    if (at.keyed) return std::string(list) + "." + at.key;
    return std::string(list) + "[" + std::to_string(at.position) + "]";
}

std::string id_list(const std::vector<std::int32_t>& ids) {
    constexpr std::size_t shown = 10;
    std::string text;
    for (std::size_t k = 0; k < ids.size() && k < shown; ++k) {
        text += (k ? ", " : "") + std::to_string(ids[k]);
    }
    if (ids.size() > shown) text += ", ... (" + std::to_string(ids.size()) + " in all)";
    return text;
}

struct NodeSeen {
    std::int32_t id;
    std::int32_t row;
    bool row_given;
    EntryRef at;
};

struct InputSeen {
    std::int32_t id;
    std::int32_t row;
    bool row_given;
    EntryRef at;
    std::string name;
};

struct EdgeSeen {
    std::int32_t target;
    std::int32_t source;
    EdgeSource from;
    EntryRef at;
};

// Logs every finding; the checks that need the sizes wait for them, and
// those about the whole model for the end of the text.
class CheckSink final : public ContractSink {
  public:
    CheckSink(const std::string& file, FindingLog& log, const InputReachable& reachable,
              const SizeCheck& size_check)
        : file_(file), log_(log), reachable_(reachable), size_check_(size_check) {}

    void fault(Fault&& fault) override {
        faults_.add(fault);
        log_.add(Severity::error, std::move(fault.place), std::move(fault.text),
                 std::string(message_entry(fault.msg).kind));
    }
    bool wants_warnings() const override { return true; }
    void warning(std::string place, Msg msg, std::string text) override {
        log_.add(Severity::warning, std::move(place), std::move(text),
                 std::string(message_entry(msg).kind));
    }

    void restart(Stage stage, const EntryRef* entry) override {
        faults_.forget(stage, entry);
        if (entry) return;
        if (stage == Stage::counts) counts_ = Counts::unseen;
        if (stage == Stage::nodes) nodes_.clear();
        if (stage == Stage::inputs) inputs_.clear();
        if (stage == Stage::edges) deferred_edges_.clear();
    }

    void counts(bool valid, std::int32_t n_nodes, std::int32_t n_inputs) override {
        counts_ = valid ? Counts::known : Counts::invalid;
        n_nodes_ = n_nodes;
        n_inputs_ = n_inputs;
    }
    void parameters(Ctx, const NetworkParameters&) override {}

    void node(NodeEntry&& e) override {
        if (e.id) nodes_.push_back({*e.id, e.md.row_index, e.row_given, std::move(e.at)});
    }
    void input(InputEntry&& e) override {
        if (e.id) {
            inputs_.push_back(
                {*e.id, e.md.row_index, e.row_given, std::move(e.at), std::move(e.name)});
        }
    }
    void edge(const EdgeEntry& e) override {
        if (!e.target) return;
        EdgeSeen seen{*e.target, e.source, e.from, e.at};
        if (counts_ == Counts::known) {
            check_edge_bounds(seen);
        } else if (counts_ == Counts::unseen) {
            deferred_edges_.push_back(std::move(seen));
        }
    }

    void finish(bool complete) override {
        if (!complete || counts_ != Counts::known) return;
        try {
            if (size_check_) size_check_(n_nodes_, n_inputs_);
        } catch (const std::runtime_error& e) {
            error(file_, stage_rank(Stage::memory), Msg::model_too_large, e.what());
            return;  // the checks below take memory of the model's size
        }
        facts_.complete = true;
        for (const EdgeSeen& e : deferred_edges_) check_edge_bounds(e);
        deferred_edges_.clear();
        check_nodes();
        check_inputs();
    }

    ContractCheck result() {
        ContractCheck check;
        check.facts = std::move(facts_);
        if (const Fault* first = faults_.first()) check.stop = first->text;
        return check;
    }

  private:
    std::string place(const std::string& path) const { return file_ + ": " + path; }

    void error(std::string place, Rank rank, Msg msg, std::string text) {
        fault({std::move(rank), std::move(place), msg, std::move(text)});
    }
    void warn(const std::string& path, Msg msg, std::initializer_list<std::string_view> args) {
        warning(place(path), msg, contract_message(msg, args));
    }

    void check_edge_bounds(const EdgeSeen& e) {
        const std::string element = label(top_fields[top_edges].key, e.at);
        if (e.target < 0 || e.target >= n_nodes_) {
            error(place(element + ".target_node_id"),
                  entry_rank(Stage::edges, e.at, after_field_step(edge_weight_final)),
                  Msg::target_bounds, contract_message(Msg::target_bounds));
        }
        if (e.from == EdgeSource::other) return;
        const bool from_node = e.from == EdgeSource::node;
        const std::int32_t limit = from_node ? n_nodes_ : n_inputs_;
        if (e.source < 0 || e.source >= limit) {
            const Msg msg = from_node ? Msg::node_source_bounds : Msg::input_source_bounds;
            error(place(element + ".source_id"), entry_rank(Stage::edges, e.at, edge_kind_step),
                  msg, contract_message(msg));
        }
    }

    void check_nodes() {
        const auto n = static_cast<std::size_t>(n_nodes_);
        const std::string_view list = top_fields[top_nodes].key;
        std::vector<std::int64_t> entry_of(n, -1);  // the entry that counts, per node_id
        for (std::size_t k = 0; k < nodes_.size(); ++k) {
            const NodeSeen& e = nodes_[k];
            const std::string element = label(list, e.at);
            if (e.id < 0 || e.id >= n_nodes_) {
                error(place(element + ".node_id"),
                      entry_rank(Stage::nodes, e.at, after_field_step(node_node_id)),
                      Msg::node_id_bounds, contract_message(Msg::node_id_bounds));
                continue;
            }
            std::int64_t& slot = entry_of[static_cast<std::size_t>(e.id)];
            if (slot >= 0) {
                warn(element + ".node_id", Msg::repeated_id,
                     {"node_id", std::to_string(e.id),
                      label(list, nodes_[static_cast<std::size_t>(slot)].at)});
            }
            slot = static_cast<std::int64_t>(k);
        }
        std::vector<std::int32_t> phantoms;
        facts_.node_rows.assign(n, 0);
        for (std::size_t id = 0; id < n; ++id) {
            const std::int64_t k = entry_of[id];
            if (k < 0) phantoms.push_back(static_cast<std::int32_t>(id));
            facts_.node_rows[id] =
                k >= 0 ? nodes_[static_cast<std::size_t>(k)].row : static_cast<std::int32_t>(id);
        }
        if (!phantoms.empty()) {
            warn("counts.n_nodes", Msg::phantom_nodes,
                 {std::to_string(n_nodes_), std::to_string(phantoms.size()), id_list(phantoms)});
        }
        // Output columns are named by row index; a binding clamps the node
        // with the highest node_id of its row index.
        std::unordered_map<std::int32_t, std::int32_t> first_with_row;
        for (std::size_t id = 0; id < n; ++id) {
            const std::int64_t k = entry_of[id];
            const std::int32_t row = facts_.node_rows[id];
            const auto [it, inserted] =
                first_with_row.try_emplace(row, static_cast<std::int32_t>(id));
            if (inserted) continue;
            std::string where = "counts.n_nodes";
            if (k >= 0) {
                const NodeSeen& e = nodes_[static_cast<std::size_t>(k)];
                where = label(list, e.at) + (e.row_given ? ".row_index" : ".node_id");
            }
            warn(where, Msg::repeated_node_row,
                 {std::to_string(row), std::to_string(id), std::to_string(it->second)});
            it->second = static_cast<std::int32_t>(id);
        }
    }

    void check_inputs() {
        const auto n = static_cast<std::size_t>(n_inputs_);
        const std::string_view list = top_fields[top_inputs].key;
        std::vector<std::int64_t> entry_of(n, -1);
        for (std::size_t k = 0; k < inputs_.size(); ++k) {
            const InputSeen& e = inputs_[k];
            const std::string element = label(list, e.at);
            if (e.id < 0 || e.id >= n_inputs_) {
                error(place(element + ".input_id"),
                      entry_rank(Stage::inputs, e.at, after_field_step(input_input_id)),
                      Msg::input_id_bounds, contract_message(Msg::input_id_bounds));
                continue;
            }
            std::int64_t& slot = entry_of[static_cast<std::size_t>(e.id)];
            if (slot >= 0) {
                warn(element + ".input_id", Msg::repeated_id,
                     {"input_id", std::to_string(e.id),
                      label(list, inputs_[static_cast<std::size_t>(slot)].at)});
            }
            slot = static_cast<std::int64_t>(k);
        }
        std::vector<std::int32_t> unnamed;
        for (std::size_t id = 0; id < n; ++id) {
            if (entry_of[id] < 0) unnamed.push_back(static_cast<std::int32_t>(id));
        }
        if (!unnamed.empty()) {
            warn("counts.n_inputs", Msg::phantom_inputs,
                 {std::to_string(n_inputs_), std::to_string(unnamed.size()), id_list(unnamed)});
        }
        facts_.input_names.assign(n, std::string());
        std::unordered_map<std::string, std::int32_t> id_with_name;
        std::unordered_map<std::int32_t, std::int32_t> id_with_row;
        for (std::size_t id = 0; id < n; ++id) {
            const std::int64_t k = entry_of[id];
            if (k < 0) continue;
            const InputSeen& e = inputs_[static_cast<std::size_t>(k)];
            facts_.input_names[id] = e.name;
            const std::string element = label(list, e.at);
            const auto [named, fresh_name] = id_with_name.try_emplace(e.name, e.id);
            if (!fresh_name) {
                warn(element + ".input_name", Msg::repeated_input_name,
                     {e.name, std::to_string(named->second), std::to_string(e.id)});
                named->second = e.id;
            }
            const auto [rowed, fresh_row] = id_with_row.try_emplace(e.row, e.id);
            if (!fresh_row) {
                warn(element + (e.row_given ? ".row_index" : ".input_id"), Msg::repeated_input_row,
                     {std::to_string(e.row), std::to_string(e.id), std::to_string(rowed->second)});
            }
            if (reachable_ && !reachable_(e.name)) {
                warn(element + ".input_name", Msg::unreachable_input, {e.name});
            }
        }
    }

    enum class Counts : std::uint8_t { unseen, known, invalid };

    const std::string& file_;
    FindingLog& log_;
    const InputReachable& reachable_;
    const SizeCheck& size_check_;
    FaultRanking faults_;
    ContractFacts facts_;
    Counts counts_ = Counts::unseen;
    std::int32_t n_nodes_ = 0;
    std::int32_t n_inputs_ = 0;
    std::vector<NodeSeen> nodes_;
    std::vector<InputSeen> inputs_;
    std::vector<EdgeSeen> deferred_edges_;  // read before "counts"
};

template <class Walk>
ContractCheck check_with(const std::string& name, FindingLog& log, const InputReachable& reachable,
                         const SizeCheck& size_check, Walk&& walk) {
    try {
        CheckSink sink(name, log, reachable, size_check);
        walk(sink);
        return sink.result();
    } catch (const std::bad_alloc&) {
        ContractCheck check;
        check.stop = contract_message(Msg::out_of_memory);
        log.add(Severity::error, name, *check.stop,
                std::string(message_entry(Msg::out_of_memory).kind));
        return check;
    }
}

}  // namespace

ContractCheck check_contract(const std::string& path, FindingLog& log,
                             const InputReachable& reachable, const SizeCheck& size_check) {
    return check_with(path, log, reachable, size_check,
                      [&path](ContractSink& sink) { walk_contract_file(path, sink); });
}

ContractCheck check_contract_text(std::string_view text, const std::string& name, FindingLog& log,
                                  const InputReachable& reachable, const SizeCheck& size_check) {
    return check_with(name, log, reachable, size_check,
                      [&](ContractSink& sink) { walk_contract_text(text, name, sink); });
}

std::vector<Finding> contract_findings(const std::string& path, const SizeCheck& size_check) {
    FindingLog log;
    check_contract(path, log, nullptr, size_check);
    return log.kept();
}

std::vector<Finding> contract_text_findings(std::string_view text, const std::string& name,
                                            const SizeCheck& size_check) {
    FindingLog log;
    check_contract_text(text, name, log, nullptr, size_check);
    return log.kept();
}

}  // namespace vesk
