// Checks a simulation contract for everything the loader would stop on and
// for mistakes that it accepts silently, each reported with its JSON path.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "model/finding.hpp"

namespace vesk {

// Whether some instruction command can drive the input channel of this name.
using InputReachable = std::function<bool(const std::string& input_name)>;

// What the model holds, as far as the checks of the other files need it.
struct ContractFacts {
    bool complete = false;                 // the file was read to its end, with valid sizes
    std::vector<std::string> input_names;  // by input_id; "" for an input no entry names
    std::vector<std::int32_t> node_rows;   // the row index of every node, by node_id
};

// Reads the contract at `path` once, as a stream of parser events: the
// document is never built, so memory stays far below the file size. Adds to
// `log`, in file order and then the findings about the whole file:
// - errors with the loader's own message (type errors, missing keys, ids
//   out of bounds, negative sizes, unknown edge kinds, malformed JSON);
// - warnings: unknown keys (with a guess at the key meant), keys given
//   twice in one object, node or input ids given twice, ids that no entry
//   names (phantom nodes), row indices or input names used twice, and, when
//   `reachable` is set, inputs that it rejects.
// Places read "<path>: nodes[12].mat_id".
ContractFacts check_contract(const std::string& path, FindingLog& log,
                             const InputReachable& reachable = nullptr);

}  // namespace vesk
