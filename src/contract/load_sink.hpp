// Loading a contract through the walker: the Network it describes, or the
// error the loader stops on, the first in its order of reading.
#pragma once

#include <string>
#include <string_view>

#include "contract/size_check.hpp"
#include "model/network.hpp"

namespace vesk {

// Reads the contract at `path` once (a file, a pipe or a FIFO) and replaces
// `net` with the Network it describes. Throws the first fault in the
// loader's order of reading: std::runtime_error with the loader's message,
// or the JSON library's exception for a missing key, a wrong type or a
// number overflow. `size_check` is asked once the sizes are known, before
// anything of their size is allocated (empty: any size). `net` is left as it
// was on failure.
void load_contract(const std::string& path, Network& net, const SizeCheck& size_check = {});

// The same for a contract held in memory; messages name `name`.
void load_contract_text(std::string_view text, const std::string& name, Network& net,
                        const SizeCheck& size_check = {});

// Sizes the per-node arrays of `net` to its n_nodes, as both readers start
// them: every node excitatory with tau 0 until an entry says otherwise, and a
// node that no entry names keeps its own id and row index, so it can neither
// rename node 0's column nor catch node 0's bindings.
void reset_node_records(Network& net);

}  // namespace vesk
