// Parser of the bindings file: the row indices of the nodes to clamp at the
// start of a run, one per line.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace vesk {

// Receives what one reading of a bindings file finds, line by line in file
// order. The run collects the indices; vesk-check collects every finding.
class BindingsSink {
  public:
    virtual ~BindingsSink() = default;
    // The fault of line `line_number`, with the run's message. Throw to stop
    // the reading; return to go on with the next line. A line too long to
    // hold ends the reading either way.
    virtual void fault(std::int64_t line_number, const std::string& message) = 0;
    // The index that line `line_number` gives; `tokens` are the line's first
    // two tokens (one if it has no more).
    virtual void index(std::int64_t line_number, int index,
                       const std::vector<std::string>& tokens) = 0;
    // Line `line_number` is skipped: its first token does not begin with a
    // number.
    virtual void skipped(std::int64_t /*line_number*/, const std::string& /*first_token*/) {}
    // Line `line_number` goes on after a '\r' (has_inner_carriage_return).
    virtual void carriage_return_inside(std::int64_t /*line_number*/) {}
};

// Reads `in` to its end (or to its first read failure, which leaves the
// stream's badbit for the caller) and reports to `sink`.
void read_bindings(std::istream& in, BindingsSink& sink);

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
