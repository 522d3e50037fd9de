#include "stimulus/bindings_check.hpp"

#include <fstream>
#include <vector>

#include "stimulus/bindings_file.hpp"
#include "stimulus/text_lines.hpp"

namespace vesk {
namespace {

// Logs every finding of one reading, in file order, and keeps the error a
// run would stop on.
class BindingsChecker : public BindingsSink {
  public:
    BindingsChecker(const std::string& path, FindingLog& log, const HasRow& has_row)
        : path_(path), log_(log), has_row_(has_row) {}

    void fault(std::int64_t line_number, const std::string& message) override {
        if (!first_fault_) first_fault_ = message;
        log_.add(Severity::error, place(line_number), message, "bindings error");
    }

    void index(std::int64_t line_number, int index,
               const std::vector<std::string>& tokens) override {
        const LeadingInteger number = read_leading_integer(tokens[0]);
        if (number.length < tokens[0].size()) {
            log_.add(Severity::warning, place(line_number),
                     "'" + escape_control_characters(tokens[0]) + "' is read as " +
                         std::to_string(index) + "; the rest, '" +
                         escape_control_characters(tokens[0].substr(number.length)) +
                         "', is ignored: write one whole index a line",
                     "binding read in part");
        } else if (tokens.size() > 1 && read_leading_integer(tokens[1]).found) {
            log_.add(Severity::warning, place(line_number),
                     "only the first index, " + std::to_string(index) +
                         ", is read; the rest of the line is ignored: write one index a line",
                     "binding read in part");
        }
        if (has_row_ && !has_row_(index)) {
            log_.add(Severity::warning, place(line_number),
                     "binding index " + std::to_string(index) +
                         " names no node: no node of the model has this row_index",
                     "binding not in model");
        }
    }

    void skipped(std::int64_t line_number, const std::string& first_token) override {
        log_.add(Severity::warning, place(line_number),
                 "line skipped: '" + escape_control_characters(first_token) +
                     "' does not begin with a number",
                 "skipped binding line");
    }

    void carriage_return_inside(std::int64_t line_number) override {
        if (carriage_return_seen_) return;
        carriage_return_seen_ = true;
        log_.add(Severity::warning, path_, carriage_return_warning(line_number),
                 "carriage return line ends");
    }

    const std::optional<std::string>& first_fault() const { return first_fault_; }

  private:
    std::string place(std::int64_t line_number) const {
        return path_ + ":" + std::to_string(line_number);
    }

    const std::string& path_;
    FindingLog& log_;
    const HasRow& has_row_;
    std::optional<std::string> first_fault_;
    bool carriage_return_seen_ = false;
};

}  // namespace

std::optional<std::string> check_bindings_file(const std::string& path, FindingLog& log,
                                               const HasRow& has_row) {
    // Opened and read once, so that a pipe or a FIFO is checked as a run
    // would read it.
    std::ifstream in(path);
    if (!in) {
        const std::string message = "Failed to open bindings file: " + path;
        log.add(Severity::error, path, message, "unreadable file");
        return message;
    }
    BindingsChecker checker(path, log, has_row);
    read_bindings(in, checker);
    if (in.bad()) {
        // A run stops on a fault before the failed read, if any.
        const std::string message = "Failed to read bindings file: " + path;
        log.add(Severity::error, path, message, "unreadable file");
        return checker.first_fault().value_or(message);
    }
    return checker.first_fault();
}

}  // namespace vesk
