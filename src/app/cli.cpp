#include "app/cli.hpp"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string_view>
#include <variant>

#include "app/run_sequence.hpp"
#include "app/version.hpp"
#include "contract/load_network.hpp"
#include "model/network.hpp"
#include "run/memory_budget.hpp"
#include "run/sample_grid.hpp"
#include "text/escape.hpp"

namespace vesk {
namespace {

// The options that take the next word as their value, and where it goes.
using OptionField =
    std::variant<std::string CliOptions::*, double CliOptions::*, int CliOptions::*>;
struct ValueOption {
    std::string_view option;
    OptionField field;
};
constexpr ValueOption value_options[] = {
    {"--model", &CliOptions::model},
    {"--output", &CliOptions::output},
    {"--t-end", &CliOptions::t_end},
    {"--n-steps", &CliOptions::n_steps},
    {"--instructions", &CliOptions::instructions},
    {"--bindings", &CliOptions::bindings},
    {"--output-inputs", &CliOptions::output_inputs},
    {"--output-row-map", &CliOptions::output_row_map},
};

const ValueOption* find_value_option(std::string_view word) {
    for (const ValueOption& o : value_options) {
        if (o.option == word) return &o;
    }
    return nullptr;
}

// strtod semantics: leading blanks skipped, longest leading number taken,
// trailing characters ignored. Returns false when there is no number or it
// overflows a double.
bool convert_t_end(const std::string& text, double& value) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(begin, &end);
    if (end == begin) return false;
    if (errno == ERANGE && std::isinf(v)) return false;
    value = v;
    return true;
}

// strtol semantics in base 10; the value must fit a signed 32-bit integer.
bool convert_n_steps(const std::string& text, int& value) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(begin, &end, 10);
    if (end == begin || errno == ERANGE || v < std::numeric_limits<std::int32_t>::min() ||
        v > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    value = static_cast<int>(v);
    return true;
}

std::string program_name(int argc, char** argv) {
    return argc > 0 && argv[0] ? argv[0] : "vesk-sim";
}

// Derives the number of samples once the model has loaded. Returns 0 after
// writing an error.
int derive_sample_count(const CliOptions& opts, double t_end, std::ostream& err) {
    try {
        return sample_count(t_end, opts.n_steps);
    } catch (const std::runtime_error& e) {
        err << "Error: " << e.what() << "\n";
        return 0;
    }
}

// Whether two paths name one regular file, or one file still to be created.
// Existing files are compared by identity, so links and other spellings of
// the path are caught; devices such as /dev/null never count as the same.
bool same_regular_file(const std::string& a, const std::string& b) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(a, ec);
    if (fs::exists(status)) {
        if (!fs::is_regular_file(status)) return false;
        const bool same = fs::equivalent(a, b, ec);
        return !ec && same;
    }
    const fs::path ca = fs::weakly_canonical(fs::absolute(a, ec), ec);
    if (ec) return false;
    const fs::path cb = fs::weakly_canonical(fs::absolute(b, ec), ec);
    return !ec && ca == cb;
}

// A run must neither overwrite one of its own inputs nor write two outputs
// into one file, where the later would truncate or garble the earlier.
// Outputs are listed in the order the run opens them.
void check_output_paths(const CliOptions& opts) {
    struct Named {
        const char* option;
        const std::string& path;
    };
    const Named inputs[] = {{"--model", opts.model},
                            {"--instructions", opts.instructions},
                            {"--bindings", opts.bindings}};
    const Named outputs[] = {{"--output-row-map", opts.output_row_map},
                             {"--output", opts.output},
                             {"--output-inputs", opts.output_inputs}};
    auto refuse = [](const Named& output, const Named& other) {
        throw std::runtime_error(std::string(output.option) +
                                 " would overwrite the file given as " + other.option + ": " +
                                 output.path);
    };
    for (std::size_t i = 0; i < std::size(outputs); ++i) {
        if (outputs[i].path.empty()) continue;
        for (const Named& input : inputs) {
            if (!input.path.empty() && same_regular_file(outputs[i].path, input.path)) {
                refuse(outputs[i], input);
            }
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (!outputs[j].path.empty() && same_regular_file(outputs[i].path, outputs[j].path)) {
                refuse(outputs[i], outputs[j]);
            }
        }
    }
}

// Stores `value` in `field`, converting the numbers; false after writing
// the error for a number that does not convert.
bool store_value(const OptionField& field, const std::string& value, CliOptions& opts,
                 std::ostream& err) {
    if (std::holds_alternative<std::string CliOptions::*>(field)) {
        const auto path = std::get<std::string CliOptions::*>(field);
        opts.*path = value;
        return true;
    }
    if (std::holds_alternative<double CliOptions::*>(field)) {
        const auto t_end = std::get<double CliOptions::*>(field);
        if (convert_t_end(value, opts.*t_end)) return true;
        err << "Error: --t-end needs a number of milliseconds within the range of a double, got '"
            << value << "'\n";
        return false;
    }
    const auto n_steps = std::get<int CliOptions::*>(field);
    if (convert_n_steps(value, opts.*n_steps)) return true;
    err << "Error: --n-steps needs a whole number between -2147483648 and 2147483647, got '"
        << value << "'\n";
    return false;
}

// The end time the options ask for; nothing after writing the error and the
// usage text for options that cannot make a run.
std::optional<double> checked_t_end(const CliOptions& opts, const std::string& program,
                                    std::ostream& err) {
    if (opts.t_end > 0 && opts.n_steps > 0) {
        err << "Error: --t-end and --n-steps are mutually exclusive\n";
        print_usage(err, program);
        return std::nullopt;
    }
    const double t_end =
        opts.n_steps > 0 ? static_cast<double>(opts.n_steps) * grid_step_ms : opts.t_end;
    if (opts.model.empty() || opts.output.empty() || t_end <= 0) {
        err << "Error: --model, --output, and one of --t-end or --n-steps (> 0) are required\n";
        print_usage(err, program);
        return std::nullopt;
    }
    return t_end;
}

// Loads the model and runs it; every failure from here on becomes one error
// line. Returns the exit status.
int load_and_run(const CliOptions& opts, double t_end, std::ostream& out, std::ostream& err) {
    try {
        check_output_paths(opts);
        Network network;
        out << "Loading network from " << opts.model << "...\n";
        network = load_network(opts.model, check_fits_in_memory);
        out << "  n_nodes=" << network.n_nodes << ", n_inputs=" << network.n_inputs << "\n";

        const int n_samples = derive_sample_count(opts, t_end, err);
        if (n_samples == 0) return 1;

        run_sequence(opts, t_end, n_samples, network, out);
        return 0;
    } catch (const std::bad_alloc&) {
        err << "Error: out of memory: the model or the run needs more memory than this machine "
               "can provide\n";
        return 1;
    } catch (const std::exception& e) {
        // Messages quote text from the input files and the command line;
        // none may break the line or drive the terminal.
        err << "Error: " << escape_control_characters(e.what()) << "\n";
        return 1;
    }
}

}  // namespace

ScanResult scan_arguments(int argc, char** argv, CliOptions& opts, std::ostream& err) {
    const std::string program = program_name(argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--help") {
            print_usage(err, program);
            return ScanResult::help;
        }
        if (word == "--version") return ScanResult::version;
        if (const ValueOption* option = find_value_option(word); option && i + 1 < argc) {
            if (!store_value(option->field, argv[++i], opts, err)) return ScanResult::error;
            continue;
        }
        if (word == "--reproducible") continue;
        err << "Error: unrecognized or incomplete argument '" << word << "'\n\n";
        print_usage(err, program);
        return ScanResult::error;
    }
    return ScanResult::proceed;
}

void print_usage(std::ostream& err, const std::string& program_name) {
    err << "Usage:\n"
        << "  " << program_name << " --model FILE --output FILE --t-end MS [options]\n"
        << "\n"
           "Required arguments:\n"
           "  --model FILE\n"
           "      Path to an VESK simulation contract JSON file exported from Python.\n"
           "  --output FILE\n"
           "      Path to the output CSV file. The CSV contains one row per timestep\n"
           "      with header: time_ms,<node_row_index_0>,<node_row_index_1>,...\n"
           "\n"
           "  --t-end MS\n"
           "      Simulation end time in milliseconds (t_start is fixed at 0.0 ms).\n"
           "      Mutually exclusive with --n-steps.\n"
           "\n"
           "  --n-steps N\n"
           "      Number of output timesteps (each h=0.1 ms). Equivalent to\n"
           "      --t-end N*0.1. Mutually exclusive with --t-end.\n"
           "\n"
           "Optional arguments:\n"
           "  --instructions FILE\n"
           "      Instruction file in the unified VESK text format (legacy QA and\n"
           "      SGall files are valid subsets; parsed strictly). If provided,\n"
           "      instruction windows are mapped onto model input populations.\n"
           "  --bindings FILE\n"
           "      WM bindings file in the existing VESK text format. If provided,\n"
           "      listed node row indices are clamped using QA defaults\n"
           "      (t_start=0.1 ms, t_end=4.9 ms, value=50.0).\n"
           "  --output-inputs FILE\n"
           "      Optional CSV path to write per-timestep input-channel traces\n"
           "      (header: time_ms,<input_row_index_0>,...).\n"
           "  --output-row-map FILE\n"
           "      Optional CSV path to write row-index metadata mapping\n"
           "      (row_index,pop_id,pop_typ,con_typ,circ_id,h_row,d_row,mat_id).\n"
           "  --reproducible\n"
           "      Reserved flag for future reproducibility controls. It is currently\n"
           "      accepted but has no additional effect.\n"
           "  --help\n"
           "      Show this help message and exit.\n"
           "\n"
           "Examples:\n"
           "  Success scenario:\n"
        << "    " << program_name
        << " --model data/kaldo_contract.json --t-end 180.0"
           " --instructions ../tests/QA_3NVN_O_success.txt"
           " --bindings ../tests/VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt"
           " --output /tmp/qa_success_cpp.csv\n"
        << "  Fail scenario:\n"
        << "    " << program_name
        << " --model data/kaldo_contract.json --t-end 180.0"
           " --instructions ../tests/QA_3NVN_O_fail.txt"
           " --bindings ../tests/VESK_SGall_KALDO_Bindings_Sentence_3NVN.txt"
           " --output /tmp/qa_fail_cpp.csv\n";
}

int run_main(int argc, char** argv, std::ostream& out, std::ostream& err) {
    CliOptions opts;
    switch (scan_arguments(argc, argv, opts, err)) {
        case ScanResult::help:
            return 0;
        case ScanResult::version:
            out << "vesk-sim " << version << "\n";
            return 0;
        case ScanResult::error:
            return 1;
        case ScanResult::proceed:
            break;
    }
    const std::optional<double> t_end = checked_t_end(opts, program_name(argc, argv), err);
    if (!t_end) return 1;
    return load_and_run(opts, *t_end, out, err);
}

}  // namespace vesk
