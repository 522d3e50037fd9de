// Checks a bindings file line by line: the parser's errors, and the lines
// that it skips or reads only in part, each reported at its line.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "diagnostics/finding.hpp"

namespace vesk {

// Whether some node of the model has this row index.
using HasRow = std::function<bool(int row_index)>;

// Reads the file once with the bindings parser itself. Errors (at
// "<path>:<line>", with the parser's message): negative and out-of-range
// indices. Warnings: lines skipped because their first token is no number
// ("W2"), first tokens read only in part ("14,15", "14.7"), further numbers
// on a line that are ignored ("14 15"), indices that name no node (when
// `has_row` is set), and a file whose lines end in '\r' alone. Returns the
// error a run would stop on, if any.
std::optional<std::string> check_bindings_file(const std::string& path, FindingLog& log,
                                               const HasRow& has_row = nullptr);

}  // namespace vesk
