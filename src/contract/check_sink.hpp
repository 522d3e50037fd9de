// Checking a contract through the walker: every fault the loader could stop
// on and every mistake it accepts silently, each with its place, and the
// one error vesk-sim would stop on.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contract/size_check.hpp"
#include "diagnostics/finding.hpp"
#include "model/network.hpp"

namespace vesk {

// Whether some instruction command can drive the input channel of this name.
using InputReachable = std::function<bool(const std::string& input_name)>;

// What the model holds, as far as the checks of the other files need it.
struct ContractFacts {
    bool complete = false;                 // the file was read to its end, with valid sizes
    std::vector<std::string> input_names;  // by input_id; "" for an input no entry names
    std::vector<std::int32_t> node_rows;   // the row index of every node, by node_id
};

struct ContractCheck {
    ContractFacts facts;
    // The message vesk-sim stops with on this model, if it does.
    std::optional<std::string> stop;
};

// Reads the contract at `path` once (a file, a pipe or a FIFO) and adds to
// `log`, in file order and then the findings about the whole file:
// - errors with the loader's own message (type errors, missing keys, ids
//   out of bounds, negative sizes, unknown edge kinds, malformed JSON, a
//   model too large for memory);
// - warnings: unknown keys (with a guess at the key meant), keys given
//   twice in one object, booleans read as integers, lists given as objects,
//   node or input ids given twice, ids that no entry names (phantom nodes),
//   row indices or input names used twice, and, when `reachable` is set,
//   inputs that it rejects.
// Places read "<path>: nodes[12].mat_id". `size_check` is the loader's
// (vesk-sim passes its memory budget): its refusal is one error, and the
// checks that take memory of the model's size are then left out. Running
// out of memory is one error, never an exception.
ContractCheck check_contract(const std::string& path, FindingLog& log,
                             const InputReachable& reachable = nullptr,
                             const SizeCheck& size_check = {});

// The same for a contract held in memory; places and messages name `name`.
ContractCheck check_contract_text(std::string_view text, const std::string& name, FindingLog& log,
                                  const InputReachable& reachable = nullptr,
                                  const SizeCheck& size_check = {});

// Every finding about the contract at `path`, or held in `text`, in order.
std::vector<Finding> contract_findings(const std::string& path, const SizeCheck& size_check = {});
std::vector<Finding> contract_text_findings(std::string_view text, const std::string& name,
                                            const SizeCheck& size_check = {});

}  // namespace vesk
