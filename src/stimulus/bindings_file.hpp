// Parser of the bindings file: the row indices of the nodes to clamp at the
// start of a run, one per line.
#pragma once

#include <istream>
#include <string>
#include <vector>

namespace vesk {

// The binding indices in file order, duplicates kept, all >= 0. Only the
// leading integer of each line's first token counts ("12abc" is 12, "3.9" is
// 3); a line whose first token has none, or starts with '#', is skipped.
// Throws std::runtime_error with the user-facing message at the first fault
// of the file; no partial list is returned.
std::vector<int> parse_bindings_file(const std::string& path);

// The same for text that is already open; a failed read throws
// "Failed to read bindings input".
std::vector<int> parse_bindings_stream(std::istream& in);

}  // namespace vesk
