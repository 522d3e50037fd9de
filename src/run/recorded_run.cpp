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

void record_run(Simulator& simulator, const SampleGrid& grid, const std::vector<double>& state0,
                const RecordingPlan& plan, const RecordingShape& shape,
                const RecordingBuffers& buffers, const std::function<void()>& after_sample) {
    const std::vector<double>& inputs = simulator.held_inputs();
    const std::size_t columns =
        plan.state == RecordedState::both ? shape.node_values / 2 : shape.node_values;
    std::int64_t sample = 0;
    std::int64_t stored = 0;
    simulator.simulate_stream_from_state(
        0.0, grid.tf, state0, [&](double t, const std::vector<double>& row) {
            if (sample++ % plan.every == 0) {
                if (stored == shape.kept) throw std::logic_error("run: more samples than expected");
                buffers.time[stored] = t;
                const std::vector<double>& y = simulator.state();
                const std::size_t n = row.size();
                double* dst = buffers.nodes + static_cast<std::size_t>(stored) * shape.node_values;
                // The kept nodes of one plane: the output row, or E or I.
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
                        copy(row.data());
                        break;
                    case RecordedState::excitatory:
                        copy(y.data());
                        break;
                    case RecordedState::inhibitory:
                        copy(y.data() + n);
                        break;
                    case RecordedState::both:
                        copy(y.data());
                        copy(y.data() + n);
                        break;
                }
                if (shape.input_values > 0) {
                    // The values the inputs took at this sample time.
                    std::memcpy(
                        buffers.inputs + static_cast<std::size_t>(stored) * shape.input_values,
                        inputs.data(), shape.input_values * sizeof(double));
                }
                ++stored;
            }
            if (after_sample) after_sample();
        });
    if (stored != shape.kept) throw std::logic_error("run: fewer samples than expected");
}

}  // namespace vesk
