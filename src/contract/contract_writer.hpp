// Writing simulation contracts: a Network, or entries streamed one by one,
// as contract JSON that the loader reads back to the same Network. Every
// key and its place come from the contract's schema.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "model/network.hpp"

namespace vesk {

// Writes one contract to `out` in the loader's order of reading: the
// counts and constants first, then every node, then every input, then
// every edge, one entry per line. Throws std::invalid_argument for a
// number that JSON cannot hold (NaN, an infinity), for an entry out of
// that order, or for an input record without its input_id.
class ContractWriter {
  public:
    ContractWriter(std::ostream& out, std::int32_t n_nodes, std::int32_t n_inputs,
                   const NetworkParameters& parameters);

    // A node entry; `md` names its node_id and row_index.
    void node(const PopulationMetadata& md, double tau, bool is_excitatory);
    // An input entry; `md` names its input_id and row_index. Its pop_typ is
    // not written: the loader makes every input "external".
    void input(const PopulationMetadata& md, const std::string& input_name);
    // An edge from node (or, with `from_input`, input) `source`.
    void edge(bool from_input, std::int32_t source, std::int32_t target, double weight);
    // Closes the document; the stream's state tells whether all went out.
    void finish();

  private:
    enum class Part : std::uint8_t { nodes, inputs, edges, done };
    void enter(Part part);
    void begin_entry();
    void flush();

    std::ostream& out_;
    std::string text_;  // written out in blocks
    Part part_ = Part::nodes;
    bool first_ = true;  // of the current list
};

// Writes `net` whole: every node by node_id, the inputs as they were read
// (input_metadata, with the names by input_id), the edges row by row; with
// `parameters` in place of the network's own constants.
void write_contract_json(const Network& net, const NetworkParameters& parameters,
                         std::ostream& out);
std::string contract_json(const Network& net, const NetworkParameters& parameters);

// write_contract_json into the file at `path`, created or replaced. Throws
// std::runtime_error naming the path when it cannot be written whole, and
// then leaves no file behind.
void write_contract_file(const Network& net, const NetworkParameters& parameters,
                         const std::string& path);

}  // namespace vesk
