#include "app/cli.hpp"

#include <exception>
#include <new>
#include <ostream>
#include <stdexcept>
#include <string_view>
#include <variant>

#include "app/run_sequence.hpp"
#include "app/version.hpp"
#include "contract/load_network.hpp"
#include "io/output_guard.hpp"
#include "model/network.hpp"
#include "run/memory_budget.hpp"
#include "run/run_length.hpp"
#include "run/sample_grid.hpp"
#include "text/escape.hpp"

namespace vesk {
namespace {

// The options that take the next word as their value: a path, or one of
// the run-length options.
enum class LengthOption { t_end, n_steps };
using OptionField = std::variant<std::string CliOptions::*, LengthOption>;
struct ValueOption {
    std::string_view option;
    OptionField field;
};
constexpr ValueOption value_options[] = {
    {"--model", &CliOptions::model},
    {"--output", &CliOptions::output},
    {"--t-end", LengthOption::t_end},
    {"--n-steps", LengthOption::n_steps},
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

std::string program_name(int argc, char** argv) {
    return argc > 0 && argv[0] ? argv[0] : "vesk-sim";
}

// A run must neither overwrite one of its own inputs nor write two outputs
// into one file. Outputs are listed in the order the run opens them.
void check_output_paths(const CliOptions& opts) {
    refuse_overwrites({{"--output-row-map", opts.output_row_map},
                       {"--output", opts.output},
                       {"--output-inputs", opts.output_inputs}},
                      {{"the file given as --model", opts.model},
                       {"the file given as --instructions", opts.instructions},
                       {"the file given as --bindings", opts.bindings}});
}

// Stores `value` in `field`, reading the run-length options as numbers;
// false after writing the error for one that is no number.
bool store_value(const OptionField& field, const std::string& value, CliOptions& opts,
                 std::ostream& err) {
    if (std::holds_alternative<std::string CliOptions::*>(field)) {
        opts.*std::get<std::string CliOptions::*>(field) = value;
        return true;
    }
    if (std::get<LengthOption>(field) == LengthOption::t_end) {
        if (const auto t_end = read_t_end(value)) {
            opts.length.t_end = t_end->value;
            return true;
        }
        err << "Error: " << t_end_not_a_number(value) << "\n";
        return false;
    }
    if (const auto n_steps = read_n_steps(value)) {
        opts.length.n_steps = n_steps->value;
        return true;
    }
    err << "Error: " << n_steps_not_a_number(value) << "\n";
    return false;
}

// Whether the options can make a run at all; false after writing the error
// and the usage text.
bool check_required(const CliOptions& opts, const std::string& program, std::ostream& err) {
    try {
        const double t_end = opts.length.requested_t_end();
        // A NaN end time is no "t_end <= 0": it fails later, as too few samples.
        if (!opts.model.empty() && !opts.output.empty() && !(t_end <= 0)) return true;
        err << "Error: --model, --output, and one of --t-end or --n-steps (> 0) are required\n";
    } catch (const RunLengthUsageError& e) {
        err << "Error: " << e.what() << "\n";
    }
    print_usage(err, program);
    return false;
}

// Loads the model and runs it; every failure from here on becomes one error
// line. Returns the exit status.
int load_and_run(const CliOptions& opts, std::ostream& out, std::ostream& err) {
    try {
        check_output_paths(opts);
        Network network;
        out << "Loading network from " << opts.model << "...\n";
        network = load_network(opts.model, check_fits_in_memory);
        out << "  n_nodes=" << network.n_nodes << ", n_inputs=" << network.n_inputs << "\n";

        SampleGrid grid;
        try {
            grid = opts.length.grid();
        } catch (const std::runtime_error& e) {
            err << "Error: " << e.what() << "\n";
            return 1;
        }
        run_sequence(opts, grid, network, out);
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
    if (!check_required(opts, program_name(argc, argv), err)) return 1;
    return load_and_run(opts, out, err);
}

}  // namespace vesk
