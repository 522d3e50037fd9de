#include "app/run_sequence.hpp"

#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>

#include "app/progress.hpp"
#include "io/background_writer.hpp"
#include "io/csv_writer.hpp"
#include "run/run_setup.hpp"
#include "sim/thread_count.hpp"
#include "stimulus/bindings_file.hpp"
#include "stimulus/instruction_file.hpp"

namespace vesk {
namespace {

void apply_instructions(const std::string& path, const Network& network, Simulator& simulator,
                        std::vector<ActivationFunction>& input_table, std::ostream& out) {
    out << "Parsing instruction file: " << path << "\n";
    out << "  Instruction format: unified (strict parsing)\n";
    const ScheduleMap schedules =
        parse_instruction_file(path, instruction_time_scale, instruction_window_value);
    const std::vector<InputStimulus> stimuli = schedule_stimuli(network, schedules);
    install(simulator, stimuli);
    for (const InputStimulus& s : stimuli) input_table[s.input] = s.function;
    out << "  Applied schedules to " << stimuli.size() << " inputs\n";
}

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

void run_sequence(const CliOptions& opts, double t_end, int n_samples, const Network& network,
                  std::ostream& out, const ProgressTiming& progress_timing) {
    out << "Creating simulator...\n";
    Simulator simulator(&network, t_end / static_cast<double>(n_samples - 1));

    // The driver keeps its own copy of the input functions for the input
    // traces, so the simulator's table stays its own business.
    std::vector<ActivationFunction> input_table(static_cast<std::size_t>(network.n_inputs),
                                                make_piecewise_activation({}));

    if (!opts.instructions.empty()) {
        apply_instructions(opts.instructions, network, simulator, input_table, out);
    }
    if (!opts.bindings.empty()) {
        out << "Parsing bindings file: " << opts.bindings << "\n";
        install_binding_clamps(network, simulator, parse_bindings_file(opts.bindings), out);
    }

    out << "Running simulation...\n";
    const std::vector<double> initial_state(static_cast<std::size_t>(network.n_nodes), 0.0);

    if (!opts.output_row_map.empty()) {
        out << "Writing row-map to " << opts.output_row_map << "...\n";
        std::vector<PopulationMetadata> records = network.node_metadata;
        records.insert(records.end(), network.input_metadata.begin(), network.input_metadata.end());
        write_row_map_csv(opts.output_row_map, records);
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

    ProgressDisplay progress(out, is_terminal_stdout(out), n_samples, t_end, progress_timing);
    simulator.simulate_stream(0.0, t_end, initial_state,
                              [&](double t, const std::vector<double>& row) {
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
