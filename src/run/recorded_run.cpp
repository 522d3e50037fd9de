#include "run/recorded_run.hpp"

#include <cstring>
#include <stdexcept>

#include "run/memory_budget.hpp"

namespace vesk {

double RecordingShape::bytes() const {
    return static_cast<double>(kept) * static_cast<double>(1 + node_values + input_values) *
           sizeof(double);
}

RecordingShape recording_shape(const Network& network, std::int64_t n_samples,
                               const RecordingPlan& plan) {
    if (plan.every < 1) throw std::runtime_error("every must be at least 1");
    const auto n = static_cast<std::size_t>(network.n_nodes);
    for (const std::size_t node : plan.nodes) {
        if (!plan.all_nodes && node >= n) throw std::runtime_error("node id out of range");
    }
    const std::size_t columns = plan.all_nodes ? n : plan.nodes.size();
    RecordingShape shape;
    // Samples 0, every, 2 * every, ... below n_samples; written so that no
    // sum can overflow, whatever `every`.
    shape.kept = n_samples > 0 ? 1 + (n_samples - 1) / plan.every : 0;
    shape.node_values = plan.state == RecordedState::both ? 2 * columns : columns;
    shape.input_values = plan.inputs ? static_cast<std::size_t>(network.n_inputs) : 0;
    check_bytes_fit_in_memory(shape.bytes(), "run: the kept samples");
    return shape;
}

namespace {

// Stores one kept sample into row `stored` of the buffers: its time, the
// kept nodes of the planes the plan asks for (the output row, the E values
// or the I values of the state) and the input values.
void keep_sample(const RecordingPlan& plan, const RecordingShape& shape, std::int64_t stored,
                 double t, const double* row, const double* e_values, const double* i_values,
                 const double* inputs, const RecordingBuffers& buffers) {
    const std::size_t columns =
        plan.state == RecordedState::both ? shape.node_values / 2 : shape.node_values;
    buffers.time[stored] = t;
    double* dst = buffers.nodes + static_cast<std::size_t>(stored) * shape.node_values;
    // The kept nodes of one plane.
    const auto copy = [&](const double* src) {
        if (plan.all_nodes) {
            if (columns > 0) std::memcpy(dst, src, columns * sizeof(double));
        } else {
            for (std::size_t j = 0; j < columns; ++j) dst[j] = src[plan.nodes[j]];
        }
        dst += columns;
    };
    switch (plan.state) {
        case RecordedState::output:
            copy(row);
            break;
        case RecordedState::excitatory:
            copy(e_values);
            break;
        case RecordedState::inhibitory:
            copy(i_values);
            break;
        case RecordedState::both:
            copy(e_values);
            copy(i_values);
            break;
    }
    if (shape.input_values > 0) {
        // The values the inputs took at this sample time.
        std::memcpy(buffers.inputs + static_cast<std::size_t>(stored) * shape.input_values, inputs,
                    shape.input_values * sizeof(double));
    }
}

}  // namespace

void record_run(Simulator& simulator, const RunPlan& run, const RecordingPlan& plan,
                const RecordingShape& shape, const RecordingBuffers& buffers,
                const std::function<void()>& after_sample) {
    const std::vector<double>& inputs = simulator.held_inputs();
    std::int64_t sample = 0;
    std::int64_t stored = 0;
    run.run(simulator, [&](double t, const std::vector<double>& row) {
        if (sample++ % plan.every == 0) {
            if (stored == shape.kept) throw std::logic_error("run: more samples than expected");
            const std::vector<double>& y = simulator.state();
            keep_sample(plan, shape, stored, t, row.data(), y.data(), y.data() + row.size(),
                        inputs.data(), buffers);
            ++stored;
        }
        if (after_sample) after_sample();
    });
    if (stored != shape.kept) throw std::logic_error("run: fewer samples than expected");
}

void check_batch_fits_in_memory(const Network& network, std::size_t lanes,
                                const RecordingShape& shape) {
    const double starts = 2.0 * 2.0 * static_cast<double>(network.n_nodes) * sizeof(double);
    check_bytes_fit_in_memory(BatchSimulator::bytes_needed(network, lanes) +
                                  static_cast<double>(lanes) * (shape.bytes() + starts),
                              "run_batch: the batch and its kept samples");
}

void record_batch_run(BatchSimulator& batch, const SampleGrid& grid,
                      const std::vector<std::vector<double>>& states, const RecordingPlan& plan,
                      const RecordingShape& shape, const std::vector<RecordingBuffers>& buffers,
                      const std::function<void()>& after_sample) {
    const std::size_t lanes = batch.lane_count();
    const Network* network = batch.network();
    const auto n = static_cast<std::size_t>(network ? network->n_nodes : 0);
    const auto m = static_cast<std::size_t>(network ? network->n_inputs : 0);
    const bool wants_state = plan.state != RecordedState::output;
    std::vector<double> state(wants_state ? 2 * n : 0);
    std::vector<double> inputs(m);
    std::vector<std::int64_t> sample(lanes, 0), stored(lanes, 0);
    batch.simulate_stream_from_state(
        0.0, grid.tf, states, [&](std::size_t l, double t, const std::vector<double>& row) {
            if (sample[l]++ % plan.every == 0) {
                if (stored[l] == shape.kept) {
                    throw std::logic_error("run: more samples than expected");
                }
                for (std::size_t e = 0; e < state.size(); ++e) state[e] = batch.state_value(l, e);
                for (std::size_t q = 0; q < m; ++q) inputs[q] = batch.input_value(l, q);
                keep_sample(plan, shape, stored[l], t, row.data(), state.data(), state.data() + n,
                            inputs.data(), buffers[l]);
                ++stored[l];
            }
            if (l + 1 == lanes && after_sample) after_sample();
        });
    for (const std::int64_t count : stored) {
        if (count != shape.kept) throw std::logic_error("run: fewer samples than expected");
    }
}

}  // namespace vesk
