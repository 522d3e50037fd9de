#include "stimulus/instruction_check.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <stdexcept>

#include "stimulus/instruction_file.hpp"
#include "stimulus/text_lines.hpp"

namespace vesk {
namespace {

std::string ms(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

// Logs every finding of one reading, in file order, and keeps the error a
// run would stop on.
class InstructionChecker : public InstructionSink {
  public:
    InstructionChecker(const std::string& path, const InstructionCheckOptions& options,
                       FindingLog& log)
        : path_(path), options_(options), log_(log) {}

    void fault(std::int64_t line_number, const std::string& message) override {
        if (!first_fault_) first_fault_ = line_error_text(path_, line_number, message);
        log_.add(Severity::error, place(line_number), message, "instruction error");
    }

    void window(std::int64_t line_number, const std::string& command, const std::string& target,
                const ScheduleWindow& w) override {
        if (options_.input_names &&
            std::find(options_.input_names->begin(), options_.input_names->end(), target) ==
                options_.input_names->end() &&
            missing_.insert(target).second) {
            log_.add(
                Severity::error, place(line_number),
                "Instruction target '" + target + "' is not an external input in the loaded model",
                "unknown input");
        }
        if (!options_.t_end) return;
        constexpr double tolerance = 1e-9;  // ms; unit counts times 0.1 are not exact
        const double t_end = *options_.t_end;
        const std::string what = "the window of " + command + " (" + target + ")";
        if (w.start_ms > t_end + tolerance) {
            log_.add(Severity::warning, place(line_number),
                     what + " starts at " + ms(w.start_ms) + " ms, after the run ends (" +
                         ms(t_end) + " ms): it never acts",
                     "window after t_end");
        } else if (w.end_ms > t_end + tolerance) {
            log_.add(Severity::warning, place(line_number),
                     what + " ends at " + ms(w.end_ms) + " ms, after the run ends (" + ms(t_end) +
                         " ms): it is cut short",
                     "window cut by t_end");
        }
    }

    void carriage_return_inside(std::int64_t line_number) override {
        if (carriage_return_seen_) return;
        carriage_return_seen_ = true;
        log_.add(Severity::warning, path_, carriage_return_warning(line_number),
                 "carriage return line ends");
    }

    const std::optional<std::string>& first_fault() const { return first_fault_; }

    // A parse error stops a run first; else the first target the model
    // lacks, as a run resolves its targets in name order.
    std::optional<std::string> run_error() const {
        if (first_fault_) return first_fault_;
        if (missing_.empty()) return std::nullopt;
        return "Instruction target '" + *missing_.begin() +
               "' is not an external input in the loaded model";
    }

  private:
    std::string place(std::int64_t line_number) const {
        return path_ + ":" + std::to_string(line_number);
    }

    const std::string& path_;
    const InstructionCheckOptions& options_;
    FindingLog& log_;
    std::optional<std::string> first_fault_;
    std::set<std::string> missing_;  // targets the model lacks, each reported once
    bool carriage_return_seen_ = false;
};

}  // namespace

std::optional<std::string> check_instruction_file(const std::string& path,
                                                  const InstructionCheckOptions& options,
                                                  FindingLog& log) {
    // Opened and read once, so that a pipe or a FIFO is checked as a run
    // would read it.
    std::ifstream in(path);
    if (!in) {
        const std::string message = "Failed to open instruction file: " + path;
        log.add(Severity::error, path, message, "unreadable file");
        return message;
    }
    InstructionChecker checker(path, options, log);
    read_instructions(in, options.time_scale, options.window_value, checker);
    if (in.bad()) {
        // A run stops on a fault before the failed read, if any.
        const std::string message = "Failed to read instruction file: " + path;
        log.add(Severity::error, path, message, "unreadable file");
        return checker.first_fault().value_or(message);
    }
    return checker.run_error();
}

}  // namespace vesk
