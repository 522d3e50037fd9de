// One run as every front end sets it up (vesk-sim from its files, the Python
// module from its arguments): the sample grid, the stimuli of the inputs, the
// clamps, the starting state and the network parameters, each checked once
// against the network as it is added, then installed on a Simulator or on
// one lane of a BatchSimulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/network.hpp"
#include "run/run_setup.hpp"
#include "run/sample_grid.hpp"
#include "sim/batch_simulator.hpp"
#include "sim/simulator.hpp"

namespace vesk {

// A stimulus that does not fit the network (an input name it lacks, a
// drive of the wrong length); the Python module raises it as ScheduleError.
struct StimulusError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class RunPlan {
  public:
    // A run of `network` (which must outlive the plan) over `grid`: no
    // stimulus, no clamp, all activities 0.0, the network's parameters.
    RunPlan(const Network& network, const SampleGrid& grid);

    const SampleGrid& grid() const { return grid_; }

    // Drives each input the schedule names by its windows; returns how many.
    // Throws StimulusError "Instruction target '<name>' is not an external
    // input in the loaded model" for the first (in byte order) it lacks.
    std::size_t add_schedule(const ScheduleMap& schedule);
    // Drives each named input by its time series, one value per sample.
    // Throws StimulusError as drive_stimuli does.
    void add_drive(const std::map<std::string, std::vector<double>>& drive);
    // Holds the nodes the requests name (see clamp_setup); returns the
    // requested row indices that no node holds, in order. Clamps added
    // later act as if requested after the earlier ones of their node.
    std::vector<std::int32_t> add_clamps(const std::vector<ClampRequest>& requests);
    // The starting state: E values then I values, 2 n_nodes of them. Throws
    // std::runtime_error naming both sizes when the count differs.
    void set_start(std::vector<double> state);
    void set_parameters(const NetworkParameters& parameters) { parameters_ = parameters; }

    // The function of each input channel, a zero function where nothing
    // drives it: what the run's input traces show.
    std::vector<ActivationFunction> input_functions() const;

    // Installs stimuli, clamps and parameters (installed between runs).
    void install(Simulator& simulator) const;
    void install(BatchSimulator& batch, std::size_t lane) const;

    // The run over the grid from the starting state; the observer sees
    // every sample. Throws what Simulator::simulate_stream_from_state throws.
    void run(Simulator& simulator, const Simulator::Observer& observer) const;
    // The starting state, E values then I values.
    std::vector<double> start() const;

  private:
    const Network* network_;
    SampleGrid grid_;
    std::vector<InputStimulus> stimuli_;
    std::vector<ClampRequest> clamp_requests_;
    std::vector<NodeClamp> clamps_;
    std::vector<double> start_;  // empty: all 0.0
    std::optional<NetworkParameters> parameters_;
};

// The records of the row map: every node's, then every input's.
std::vector<PopulationMetadata> row_map_records(const Network& network);

// The clamps of a bindings file: every node named by a binding index (a
// node row_index) is held at 50.0 from 0.1 ms to 4.9 ms.
std::vector<ClampRequest> binding_clamp_requests(const std::vector<int>& binding_indices);

}  // namespace vesk
