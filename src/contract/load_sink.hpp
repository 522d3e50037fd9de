// Loading a contract: the sink that assembles the Network from what a
// reader reports (the walker, or the fast reader), and raises the error the
// loader stops on, the first in its order of reading.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "contract/contract_walker.hpp"
#include "contract/size_check.hpp"
#include "model/network.hpp"

namespace vesk {

// Keeps what a reader reports until the text has ended: only then are the
// sizes final, and only then does the first fault in the loader's order
// stand. finish() checks every id against the sizes and throws the first
// fault; build() then assembles the Network.
class LoadSink final : public ContractSink {
  public:
    // `name` is the file named in messages; `size_check` is asked by
    // finish(), before anything of the model's size is allocated (empty:
    // any size). It must outlive the sink.
    LoadSink(std::string name, const SizeCheck& size_check);

    void fault(Fault&& fault) override;
    void restart(Stage stage, const EntryRef* entry) override;
    void counts(bool valid, std::int32_t n_nodes, std::int32_t n_inputs) override;
    void parameters(Ctx ctx, const NetworkParameters& values) override;
    void node(NodeEntry&& entry) override;
    void input(InputEntry&& entry) override;
    void edge(const EdgeEntry& entry) override;
    // Throws the first fault: std::runtime_error with the loader's message,
    // or the JSON library's exception for a missing key, a wrong type or a
    // number overflow.
    void finish(bool complete) override;

    // The next element of a list of edges given as an array, read whole
    // (what edge() takes for an entry at the next position with a target),
    // without building an entry apiece: a fast reader's edges.
    void add_edge(const Triplet& edge, EdgeSource from) {
        if (from != EdgeSource::node || !refs_.empty()) note_edge(from);
        triplets_.push_back(edge);
    }
    // Room for `n` more edges, sparing the copies of a growing list.
    void reserve_edges(std::size_t n) { triplets_.reserve(triplets_.size() + n); }
    std::size_t edge_count() const { return triplets_.size(); }
    // Room for `n` more node entries.
    void reserve_nodes(std::size_t n);

    // Replaces `net` with the Network, once finish() has passed.
    void build(Network& net);

  private:
    // Records the source's list and the place of the edge about to be added.
    void note_edge(EdgeSource from);
    EntryRef ref_of(std::size_t k) const;
    // The source's list of edge k.
    EdgeSource from_of(std::size_t k, std::size_t& next_other) const;
    void check_sizes();

    std::string name_;
    const SizeCheck& size_check_;
    FaultRanking faults_;
    bool have_counts_ = false;
    std::int32_t n_nodes_ = 0;
    std::int32_t n_inputs_ = 0;
    NetworkParameters parameters_;
    // The node entries with an id, and apart from them their row-map
    // records, which become the Network's as they are when the entries name
    // every node once, in order (as the model-building tools write them).
    struct NodeRef {
        EntryRef at;
        std::int32_t id = 0;
        double tau = 0.0;
        bool is_excitatory = true;
    };
    std::vector<NodeRef> nodes_;
    std::vector<PopulationMetadata> node_records_;
    std::vector<InputEntry> inputs_;
    // The edges with a target, in the loader's order: (target, source,
    // weight); the indices and source lists of those whose source is not a
    // node (few: the input edges); and the places of all when these are not
    // simply their indices.
    struct OtherSource {
        std::size_t edge;
        EdgeSource from;
    };
    std::vector<Triplet> triplets_;
    std::vector<OtherSource> others_;
    std::vector<EntryRef> refs_;
};

// Reads the contract at `path` once (a file, a pipe or a FIFO) through the
// walker and replaces `net` with the Network it describes. Throws the first
// fault in the loader's order of reading, as LoadSink::finish(). `net` is
// left as it was on failure.
void load_contract(const std::string& path, Network& net, const SizeCheck& size_check = {});

// The same for a contract held in memory; messages name `name`.
void load_contract_text(std::string_view text, const std::string& name, Network& net,
                        const SizeCheck& size_check = {});

}  // namespace vesk
