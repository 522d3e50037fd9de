#include "app/check_command.hpp"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "app/version.hpp"
#include "contract/check_sink.hpp"
#include "run/memory_budget.hpp"
#include "run/run_setup.hpp"
#include "run/sample_grid.hpp"
#include "stimulus/bindings_check.hpp"
#include "stimulus/instruction_check.hpp"
#include "stimulus/population_names.hpp"
#include "text/escape.hpp"

namespace vesk {
namespace {

constexpr const char* usage_text =
    "Usage: vesk-check --model FILE [--instructions FILE] [--bindings FILE]\n"
    "                  [--t-end MS | --n-steps N] [--all]\n"
    "\n"
    "Reads the files as vesk-sim would, runs nothing, and reports every problem:\n"
    "errors (vesk-sim would stop, with the message it would print) and warnings\n"
    "(vesk-sim would run, but probably not as meant). Each report names its place:\n"
    "<file>:<line> in text files, <file>: <json path> in the model.\n"
    "\n"
    "  --model FILE         simulation contract (required)\n"
    "  --instructions FILE  instruction file\n"
    "  --bindings FILE      bindings file\n"
    "  --t-end MS, --n-steps N\n"
    "                       the run's length: stimulus windows are checked against it\n"
    "  --all                report every finding (by default at most 20 of each sort)\n"
    "  --version            print the version and exit\n"
    "  --help               show this text\n"
    "\n"
    "Exit status: 0 no problem, 1 errors, 2 warnings only, 3 wrong command line.\n";

constexpr std::size_t default_per_kind_limit = 20;

struct CheckOptions {
    std::string model;
    std::string instructions;
    std::string bindings;
    std::optional<double> t_end;
    std::optional<int> n_steps;
    bool all = false;
};

int usage_error(std::ostream& err, const std::string& message) {
    err << "vesk-check: " << message << "\nTry 'vesk-check --help'.\n";
    return check_usage;
}

// The run's t_end checks, in vesk-sim's words. Returns the error, if any.
std::optional<std::string> check_run_length(const CheckOptions& o, double& t_end) {
    if (o.t_end && o.n_steps && *o.t_end > 0 && *o.n_steps > 0) {
        return std::string("--t-end and --n-steps are mutually exclusive");
    }
    if (o.n_steps && *o.n_steps > 0) {
        t_end = static_cast<double>(*o.n_steps) * grid_step_ms;
        try {
            sample_count(t_end, *o.n_steps);
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::nullopt;
    }
    t_end = *o.t_end;
    try {
        sample_count(t_end, 0);
    } catch (const std::runtime_error& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

// Word inputs are named by index, "EX1_input_W0" on; every other input a
// command can drive is in the command table.
bool reachable_by_command(const std::string& name) {
    static const std::unordered_set<std::string> targets = [] {
        std::unordered_set<std::string> set;
        for (const auto& entry : command_targets) set.insert(entry.second);
        return set;
    }();
    if (targets.count(name)) return true;
    const std::string prefix = word_input_prefix;
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    const std::string digits = name.substr(prefix.size());
    if (digits.empty() || digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) {
        return false;
    }
    for (const char c : digits) {
        if (c < '0' || c > '9') return false;
    }
    return std::stoll(digits) <= std::numeric_limits<std::int32_t>::max();
}

void print_report(const FindingLog& log, const std::optional<std::string>& stop,
                  std::ostream& out) {
    for (const Finding& f : log.kept()) {
        out << escape_control_characters(f.place)
            << (f.severity == Severity::error ? ": error: " : ": warning: ")
            << escape_control_characters(f.message) << "\n";
    }
    for (const auto& [kind, count] : log.left_out()) {
        out << "vesk-check: " << count << " more of the sort '" << kind
            << "' not shown (--all shows every one)\n";
    }
    out << "vesk-check: " << log.errors() << (log.errors() == 1 ? " error, " : " errors, ")
        << log.warnings() << (log.warnings() == 1 ? " warning" : " warnings") << "\n";
    if (stop)
        out << "vesk-sim would stop with: Error: " << escape_control_characters(*stop) << "\n";
}

int check(int argc, char** argv, std::ostream& out, std::ostream& err) {
    CheckOptions o;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help") {
            out << usage_text;
            return check_clean;
        }
        if (word == "--version") {
            out << "vesk-check " << version << "\n";
            return check_clean;
        }
        if (word == "--all") {
            o.all = true;
            continue;
        }
        const bool takes_value = word == "--model" || word == "--instructions" ||
                                 word == "--bindings" || word == "--t-end" || word == "--n-steps";
        if (!takes_value || i + 1 >= argc) {
            return usage_error(err, "unrecognized or incomplete argument '" + word + "'");
        }
        const std::string value = argv[++i];
        if (word == "--model") {
            o.model = value;
        } else if (word == "--instructions") {
            o.instructions = value;
        } else if (word == "--bindings") {
            o.bindings = value;
        } else {
            // Read as vesk-sim reads them: the leading number counts.
            char* end = nullptr;
            errno = 0;
            if (word == "--t-end") {
                const double v = std::strtod(value.c_str(), &end);
                if (end == value.c_str() || (errno == ERANGE && std::isinf(v))) {
                    return usage_error(
                        err, "--t-end needs a number of milliseconds, got '" + value + "'");
                }
                o.t_end = v;
            } else {
                const long long v = std::strtoll(value.c_str(), &end, 10);
                if (end == value.c_str() || errno == ERANGE ||
                    v < std::numeric_limits<std::int32_t>::min() ||
                    v > std::numeric_limits<std::int32_t>::max()) {
                    return usage_error(err, "--n-steps needs a whole number, got '" + value + "'");
                }
                o.n_steps = static_cast<int>(v);
            }
        }
    }
    if (o.model.empty()) return usage_error(err, "--model FILE is required");
    if ((o.t_end && *o.t_end <= 0 && !(o.n_steps && *o.n_steps > 0)) ||
        (o.n_steps && *o.n_steps <= 0 && !(o.t_end && *o.t_end > 0))) {
        return usage_error(err, "--t-end and --n-steps must be greater than 0");
    }

    FindingLog log(o.all ? 0 : default_per_kind_limit);
    // vesk-sim stops at the first of these, in this order.
    std::optional<std::string> stop_command_line, stop_model, stop_length, stop_instructions,
        stop_bindings;

    std::optional<double> t_end;
    if (o.t_end || o.n_steps) {
        double value = 0.0;
        if (auto problem = check_run_length(o, value)) {
            log.add(Severity::error, "command line", *problem, "run length");
            (problem->find("mutually") != std::string::npos ? stop_command_line : stop_length) =
                problem;
        } else {
            t_end = value;
        }
    }

    // The walker ranks every fault in the loader's order of reading: the
    // first is the error vesk-sim stops on.
    const ContractCheck model =
        check_contract(o.model, log, reachable_by_command, check_fits_in_memory);
    const ContractFacts& facts = model.facts;
    stop_model = model.stop;

    if (!o.instructions.empty()) {
        InstructionCheckOptions options;
        options.time_scale = instruction_time_scale;
        options.window_value = instruction_window_value;
        options.t_end = t_end;
        if (facts.complete) options.input_names = &facts.input_names;
        stop_instructions = check_instruction_file(o.instructions, options, log);
    }
    if (!o.bindings.empty()) {
        const std::unordered_set<int> rows(facts.node_rows.begin(), facts.node_rows.end());
        HasRow has_row;
        if (facts.complete) has_row = [&rows](int row) { return rows.count(row) != 0; };
        stop_bindings = check_bindings_file(o.bindings, log, has_row);
    }

    std::optional<std::string> stop;
    for (const auto* s :
         {&stop_command_line, &stop_model, &stop_length, &stop_instructions, &stop_bindings}) {
        if (!stop && *s) stop = *s;
    }
    print_report(log, stop, out);
    if (log.errors() > 0) return check_errors;
    return log.warnings() > 0 ? check_warnings : check_clean;
}

}  // namespace

int run_check(int argc, char** argv, std::ostream& out, std::ostream& err) {
    // The report is printed whole at the end, so a failure on the way leaves
    // only this line.
    try {
        return check(argc, argv, out, err);
    } catch (const std::bad_alloc&) {
        err << "vesk-check: out of memory: checking these files needs more memory than this "
               "machine can provide\n";
    } catch (const std::exception& e) {
        err << "vesk-check: " << escape_control_characters(e.what()) << "\n";
    }
    return check_errors;
}

}  // namespace vesk
