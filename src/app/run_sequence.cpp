#include "app/run_sequence.hpp"

#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>

#include "app/progress.hpp"
#include "io/background_writer.hpp"
#include "io/csv_writer.hpp"
#include "run/run_plan.hpp"
#include "sim/thread_count.hpp"
#include "stimulus/bindings_file.hpp"
#include "stimulus/instruction_file.hpp"

namespace vesk {
namespace {

// Column k of the node-trace file carries node k, named by its row index.
std::vector<std::string> node_column_names(const Network& network) {
    const auto n = static_cast<std::size_t>(network.n_nodes);
    std::vector<std::string> names(n);
    for (const PopulationMetadata& md : network.node_metadata) {
        if (md.node_id < 0 || md.node_id >= network.n_nodes) {
            throw std::runtime_error("Invalid node_id while building CSV node names");
        }
        names[static_cast<std::size_t>(md.node_id)] = std::to_string(md.row_index);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (names[i].empty()) names[i] = std::to_string(i);
    }
    return names;
}

}  // namespace

void run_sequence(const CliOptions& opts, const SampleGrid& grid, const Network& network,
                  std::ostream& out, const ProgressTiming& progress_timing) {
    out << "Creating simulator...\n";
    Simulator simulator(&network, grid.h);
    RunPlan plan(network, grid);

    if (!opts.instructions.empty()) {
        out << "Parsing instruction file: " << opts.instructions << "\n";
        out << "  Instruction format: unified (strict parsing)\n";
        const std::size_t driven = plan.add_schedule(parse_instruction_file(
            opts.instructions, instruction_time_scale, instruction_window_value));
        out << "  Applied schedules to " << driven << " inputs\n";
    }
    if (!opts.bindings.empty()) {
        out << "Parsing bindings file: " << opts.bindings << "\n";
        const std::vector<int> indices = parse_bindings_file(opts.bindings);
        const std::size_t not_found = plan.add_clamps(binding_clamp_requests(indices)).size();
        out << "  Applied clamps to " << indices.size() - not_found << " nodes";
        if (not_found > 0) out << " (" << not_found << " binding indices not found in model)";
        out << "\n";
    }
    plan.install(simulator);
    // The driver keeps its own copy of the input functions for the input
    // traces, so the simulator's table stays its own business.
    const std::vector<ActivationFunction> input_table = plan.input_functions();

    out << "Running simulation...\n";
    if (!opts.output_row_map.empty()) {
        out << "Writing row-map to " << opts.output_row_map << "...\n";
        write_row_map_csv(opts.output_row_map, row_map_records(network));
    }

    const std::vector<std::string> node_names = node_column_names(network);
    out << "Writing output to " << opts.output << "...\n";
    CsvStreamWriter node_writer(opts.output, node_names);
    // With a second CPU to spare, the node rows are formatted and written
    // while the simulation goes on.
    std::optional<BackgroundRowWriter> node_rows;
    if (configured_threads() > 1) node_rows.emplace(node_writer);

    std::unique_ptr<CsvStreamWriter> input_writer;
    std::vector<double> input_row;
    if (!opts.output_inputs.empty()) {
        std::vector<std::string> input_names;
        input_names.reserve(network.input_row_index.size());
        for (const int row : network.input_row_index) input_names.push_back(std::to_string(row));
        out << "Writing input traces to " << opts.output_inputs << "...\n";
        input_writer = std::make_unique<CsvStreamWriter>(opts.output_inputs, input_names);
        input_row.assign(static_cast<std::size_t>(network.n_inputs), 0.0);
    }

    ProgressDisplay progress(out, is_terminal_stdout(out), grid.n_samples, grid.tf,
                             progress_timing);
    plan.run(simulator, [&](double t, const std::vector<double>& row) {
        progress.sample(t);
        if (node_rows) {
            node_rows->write_row(t, row);
        } else {
            node_writer.write_row(t, row);
        }
        if (!input_writer) return;
        for (std::size_t i = 0; i < input_row.size(); ++i) {
            input_row[i] = input_table[i](t);
        }
        input_writer->write_row(t, input_row);
    });
    progress.clear();

    // A full disk must not pass for a completed run.
    if (node_rows) node_rows->close();
    node_writer.finish();
    if (input_writer) input_writer->finish();
    out << "Done.\n";
}

}  // namespace vesk
