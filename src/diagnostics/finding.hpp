// Problems found in input files by the checks of vesk-check, each with the
// place it was found at, and the log that collects them.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vesk {

enum class Severity { error, warning };

struct Finding {
    Severity severity = Severity::error;
    // "<file>:<line>" for the text formats, "<file>: <json path>" for the
    // contract, "<file>" for a file as a whole.
    std::string place;
    std::string message;
    // The sort of problem ("unknown key", "phantom node"): a log keeps only
    // so many findings of one sort and counts the rest.
    std::string kind;
};

// Collects findings in the order they are added. With a limit, only the
// first `per_kind_limit` findings of each kind are kept, so that a mistake
// repeated in a million edges costs neither memory nor a million lines; the
// totals count every finding.
class FindingLog {
  public:
    explicit FindingLog(std::size_t per_kind_limit = 0) : limit_(per_kind_limit) {}

    void add(Severity severity, std::string place, std::string message, std::string kind);

    const std::vector<Finding>& kept() const { return kept_; }
    std::size_t errors() const { return errors_; }
    std::size_t warnings() const { return warnings_; }
    // Whether an error with exactly this message was added, kept or not.
    bool has_error(const std::string& message) const { return error_texts_.count(message) != 0; }
    // Kinds of which findings were left out, with how many, in the order in
    // which each kind first appeared.
    std::vector<std::pair<std::string, std::size_t>> left_out() const;

  private:
    std::size_t limit_;
    std::vector<Finding> kept_;
    std::size_t errors_ = 0;
    std::size_t warnings_ = 0;
    std::unordered_set<std::string> error_texts_;  // few: messages name no element
    std::vector<std::string> kind_order_;
    std::map<std::string, std::pair<std::size_t, std::size_t>> per_kind_;  // seen, kept
};

}  // namespace vesk
