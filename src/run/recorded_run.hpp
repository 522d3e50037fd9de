// A run that keeps chosen samples of chosen nodes in memory, for front ends
// that hand arrays to their caller (the Python module) rather than stream
// rows into files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "model/network.hpp"
#include "run/run_plan.hpp"
#include "run/sample_grid.hpp"
#include "sim/batch_simulator.hpp"
#include "sim/simulator.hpp"

namespace vesk {

// Which activity of a node is kept: its traced output (E for an excitatory
// node, I for an inhibitory one), E, I, or E and I.
enum class RecordedState { output, excitatory, inhibitory, both };

struct RecordingPlan {
    bool all_nodes = true;
    std::vector<std::size_t> nodes;  // without all_nodes: the kept nodes, in column order
    std::int64_t every = 1;          // keep samples 0, every, 2 * every, ...
    RecordedState state = RecordedState::output;
    bool inputs = false;  // keep the input channels' values too
};

// What a recording holds: `kept` rows of time, of `node_values` (the kept
// nodes' values; with RecordedState::both their E values, then their I
// values) and of `input_values`.
struct RecordingShape {
    std::int64_t kept = 0;
    std::size_t node_values = 0;
    std::size_t input_values = 0;
    double bytes() const;
};

// The shape of a recording of `n_samples` samples. Throws std::runtime_error
// when a node is out of range, `every` is below 1, or the kept values
// cannot fit in memory (with the size they need), before anything is
// allocated.
RecordingShape recording_shape(const Network& network, std::int64_t n_samples,
                               const RecordingPlan& plan);

// Where the rows go: arrays of shape.kept rows, each as wide as the shape
// says (`inputs` may be null when the plan keeps none).
struct RecordingBuffers {
    double* time = nullptr;
    double* nodes = nullptr;
    double* inputs = nullptr;
};

// Runs `simulator` (the run plan installed) over the plan's grid from its
// starting state and fills the buffers. `after_sample`, when given, is
// called after every sample; what it throws ends the run. Throws what the
// simulator throws.
void record_run(Simulator& simulator, const RunPlan& run, const RecordingPlan& plan,
                const RecordingShape& shape, const RecordingBuffers& buffers,
                const std::function<void()>& after_sample = {});

// Throws std::runtime_error "run_batch: the batch and its kept samples need
// <x> GiB of memory, ..." when a batch of `lanes` runs of the network, each
// keeping a recording of `shape` and its starting state held twice (by the
// caller and by the batch), cannot fit in memory.
void check_batch_fits_in_memory(const Network& network, std::size_t lanes,
                                const RecordingShape& shape);

// record_run for every lane of `batch` at once: lane l starts from
// states[l] and fills buffers[l]; each lane's rows are those record_run
// gives for its run alone.
void record_batch_run(BatchSimulator& batch, const SampleGrid& grid,
                      const std::vector<std::vector<double>>& states, const RecordingPlan& plan,
                      const RecordingShape& shape, const std::vector<RecordingBuffers>& buffers,
                      const std::function<void()>& after_sample = {});

}  // namespace vesk
