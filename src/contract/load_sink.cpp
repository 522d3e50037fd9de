#include "contract/load_sink.hpp"

#include <stdexcept>
#include <utility>

namespace vesk {
namespace {

// Sizes the per-node arrays of `net` to its n_nodes: every node excitatory
// with tau 0 until an entry says otherwise, and a node that no entry names
// keeps its own id and row index, so it can neither rename node 0's column
// nor catch node 0's bindings.
void reset_node_records(Network& net) {
    const auto nn = static_cast<std::size_t>(net.n_nodes);
    net.tau.assign(nn, 0.0);
    net.is_excitatory.assign(nn, true);
    net.node_metadata.assign(nn, PopulationMetadata{});
    for (std::size_t i = 0; i < nn; ++i) {
        net.node_metadata[i].node_id = static_cast<std::int32_t>(i);
        net.node_metadata[i].row_index = static_cast<std::int32_t>(i);
    }
}

}  // namespace

LoadSink::LoadSink(std::string name, const SizeCheck& size_check)
    : name_(std::move(name)), size_check_(size_check) {}

void LoadSink::fault(Fault&& fault) {
    faults_.add(fault);
}

void LoadSink::restart(Stage stage, const EntryRef* entry) {
    faults_.forget(stage, entry);
    if (entry) return;  // the walker drops a keyed entry given again itself
    switch (stage) {
        case Stage::counts:
            have_counts_ = false;
            break;
        case Stage::coupling:
            default_parameters(Ctx::coupling, parameters_);
            break;
        case Stage::nodes:
            nodes_.clear();
            node_records_.clear();
            break;
        case Stage::inputs:
            inputs_.clear();
            break;
        case Stage::edges:
            triplets_.clear();
            others_.clear();
            refs_.clear();
            break;
        default:
            break;
    }
}

void LoadSink::counts(bool valid, std::int32_t n_nodes, std::int32_t n_inputs) {
    have_counts_ = valid;
    n_nodes_ = n_nodes;
    n_inputs_ = n_inputs;
}

void LoadSink::parameters(Ctx ctx, const NetworkParameters& values) {
    copy_parameters(ctx, values, parameters_);
}

void LoadSink::node(NodeEntry&& entry) {
    if (!entry.id) return;
    nodes_.push_back({std::move(entry.at), *entry.id, entry.tau, entry.is_excitatory});
    node_records_.push_back(std::move(entry.md));
}

void LoadSink::input(InputEntry&& entry) {
    if (entry.id) inputs_.push_back(std::move(entry));
}

void LoadSink::edge(const EdgeEntry& entry) {
    if (!entry.target) return;
    // Entries that are not the list's elements one for one keep their
    // places, for the rank of a bounds fault.
    const bool plain = !entry.at.keyed && entry.at.position == triplets_.size();
    if (!plain && refs_.empty()) {
        refs_.reserve(triplets_.size() + 1);
        for (std::size_t k = 0; k < triplets_.size(); ++k) refs_.push_back({k, false, {}});
    }
    if (entry.from != EdgeSource::node) others_.push_back({triplets_.size(), entry.from});
    if (!plain || !refs_.empty()) refs_.push_back(entry.at);
    triplets_.push_back({*entry.target, entry.source, entry.weight});
}

void LoadSink::note_edge(EdgeSource from) {
    if (from != EdgeSource::node) others_.push_back({triplets_.size(), from});
    if (!refs_.empty()) refs_.push_back({triplets_.size(), false, {}});
}

void LoadSink::reserve_nodes(std::size_t n) {
    nodes_.reserve(nodes_.size() + n);
    node_records_.reserve(node_records_.size() + n);
}

void LoadSink::finish(bool /*complete*/) {
    if (have_counts_) check_sizes();
    if (const Fault* first = faults_.first()) raise_fault(*first);
}

void LoadSink::build(Network& net) {
    Network loaded;
    loaded.n_nodes = n_nodes_;
    loaded.n_inputs = n_inputs_;
    loaded.parameters = parameters_;

    const auto ni = static_cast<std::size_t>(n_inputs_);
    const auto in_order = [this] {
        if (nodes_.size() != static_cast<std::size_t>(n_nodes_)) return false;
        for (std::size_t i = 0; i < nodes_.size(); ++i) {
            if (nodes_[i].id != static_cast<std::int32_t>(i)) return false;
        }
        return true;
    };
    if (in_order()) {
        loaded.tau.reserve(nodes_.size());
        loaded.is_excitatory.reserve(nodes_.size());
        for (const NodeRef& e : nodes_) {
            loaded.tau.push_back(e.tau);
            loaded.is_excitatory.push_back(e.is_excitatory);
        }
        loaded.node_metadata = std::move(node_records_);
    } else {
        reset_node_records(loaded);
        for (std::size_t k = 0; k < nodes_.size(); ++k) {
            const auto i = static_cast<std::size_t>(nodes_[k].id);
            loaded.tau[i] = nodes_[k].tau;
            loaded.is_excitatory[i] = nodes_[k].is_excitatory;
            loaded.node_metadata[i] = std::move(node_records_[k]);
        }
    }
    std::vector<NodeRef>().swap(nodes_);
    std::vector<PopulationMetadata>().swap(node_records_);
    loaded.input_names.assign(ni, std::string());
    loaded.input_row_index.assign(ni, 0);
    loaded.input_metadata.reserve(ni);
    for (InputEntry& e : inputs_) {
        const auto i = static_cast<std::size_t>(*e.id);
        loaded.input_names[i] = std::move(e.name);
        loaded.input_row_index[i] = e.md.row_index;
        loaded.input_metadata.push_back(std::move(e.md));
    }
    std::vector<InputEntry>().swap(inputs_);

    // The node list takes over the triplets, with the others taken out and
    // the rest moved up over them.
    std::vector<Triplet> node_triplets = std::move(triplets_);
    std::vector<Triplet> input_triplets;
    input_triplets.reserve(others_.size());
    std::size_t kept = others_.empty() ? node_triplets.size() : others_.front().edge;
    for (std::size_t j = 0; j < others_.size(); ++j) {
        input_triplets.push_back(node_triplets[others_[j].edge]);
        const std::size_t end = j + 1 < others_.size() ? others_[j + 1].edge : node_triplets.size();
        for (std::size_t k = others_[j].edge + 1; k < end; ++k)
            node_triplets[kept++] = node_triplets[k];
    }
    node_triplets.resize(kept);
    std::vector<OtherSource>().swap(others_);

    loaded.weights.emplace(n_nodes_, n_nodes_);
    loaded.input_weights.emplace(n_nodes_, n_inputs_);
    loaded.weights->build_from_triplets(n_nodes_, node_triplets);
    std::vector<Triplet>().swap(node_triplets);
    loaded.input_weights->build_from_triplets(n_nodes_, input_triplets);
    net = std::move(loaded);
}

EntryRef LoadSink::ref_of(std::size_t k) const {
    if (refs_.empty()) return {k, false, {}};
    return refs_[k];
}

// Edges are asked for in order: `next_other` is the first of others_ not
// before k.
EdgeSource LoadSink::from_of(std::size_t k, std::size_t& next_other) const {
    if (next_other < others_.size() && others_[next_other].edge == k) {
        return others_[next_other++].from;
    }
    return EdgeSource::node;
}

// The checks that need the final sizes, each reporting only its first
// fault: later ones rank after it.
void LoadSink::check_sizes() {
    try {
        if (size_check_) size_check_(n_nodes_, n_inputs_);
    } catch (const std::runtime_error& e) {
        faults_.add({stage_rank(Stage::memory), name_, Msg::model_too_large, e.what()});
        return;  // nothing of the model's size is allocated
    }
    for (const NodeRef& e : nodes_) {
        if (e.id < 0 || e.id >= n_nodes_) {
            faults_.add({entry_rank(Stage::nodes, e.at, after_field_step(node_node_id)), name_,
                         Msg::node_id_bounds, contract_message(Msg::node_id_bounds)});
            break;
        }
    }
    for (const InputEntry& e : inputs_) {
        if (*e.id < 0 || *e.id >= n_inputs_) {
            faults_.add({entry_rank(Stage::inputs, e.at, after_field_step(input_input_id)), name_,
                         Msg::input_id_bounds, contract_message(Msg::input_id_bounds)});
            break;
        }
    }
    std::size_t next_other = 0;
    for (std::size_t k = 0; k < triplets_.size(); ++k) {
        const Triplet& t = triplets_[k];
        const EdgeSource from = from_of(k, next_other);
        Msg msg;
        std::uint16_t step = edge_kind_step;
        if (t.row < 0 || t.row >= n_nodes_) {
            msg = Msg::target_bounds;
            step = after_field_step(edge_weight_final);
        } else if (from == EdgeSource::node && (t.col < 0 || t.col >= n_nodes_)) {
            msg = Msg::node_source_bounds;
        } else if (from == EdgeSource::input && (t.col < 0 || t.col >= n_inputs_)) {
            msg = Msg::input_source_bounds;
        } else {
            continue;
        }
        faults_.add({entry_rank(Stage::edges, ref_of(k), step), name_, msg, contract_message(msg)});
        break;
    }
}

void load_contract(const std::string& path, Network& net, const SizeCheck& size_check) {
    LoadSink sink(path, size_check);
    walk_contract_file(path, sink);
    sink.build(net);
}

void load_contract_text(std::string_view text, const std::string& name, Network& net,
                        const SizeCheck& size_check) {
    LoadSink sink(name, size_check);
    walk_contract_text(text, name, sink);
    sink.build(net);
}

}  // namespace vesk
