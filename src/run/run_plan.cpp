#include "run/run_plan.hpp"

#include <utility>

namespace vesk {

RunPlan::RunPlan(const Network& network, const SampleGrid& grid)
    : network_(&network), grid_(grid) {}

std::size_t RunPlan::add_schedule(const ScheduleMap& schedule) {
    std::vector<InputStimulus> stimuli;
    try {
        stimuli = schedule_stimuli(*network_, schedule);
    } catch (const std::runtime_error& e) {
        throw StimulusError(e.what());
    }
    stimuli_.insert(stimuli_.end(), stimuli.begin(), stimuli.end());
    return stimuli.size();
}

void RunPlan::add_drive(const std::map<std::string, std::vector<double>>& drive) {
    std::vector<InputStimulus> stimuli;
    try {
        stimuli = drive_stimuli(*network_, drive, grid_.h, grid_.n_samples);
    } catch (const std::runtime_error& e) {
        throw StimulusError(e.what());
    }
    stimuli_.insert(stimuli_.end(), stimuli.begin(), stimuli.end());
}

std::vector<std::int32_t> RunPlan::add_clamps(const std::vector<ClampRequest>& requests) {
    clamp_requests_.insert(clamp_requests_.end(), requests.begin(), requests.end());
    clamps_ = clamp_setup(*network_, clamp_requests_).clamps;
    return clamp_setup(*network_, requests).not_found;
}

void RunPlan::set_start(std::vector<double> state) {
    const auto needed = 2 * static_cast<std::size_t>(network_->n_nodes);
    if (state.size() != needed) {
        throw std::runtime_error("y0 holds " + std::to_string(state.size()) +
                                 " values, the model's state " + std::to_string(needed) +
                                 " (E and I of " + std::to_string(network_->n_nodes) + " nodes)");
    }
    start_ = std::move(state);
}

std::vector<double> RunPlan::start() const {
    if (!start_.empty()) return start_;
    return std::vector<double>(2 * static_cast<std::size_t>(network_->n_nodes), 0.0);
}

std::vector<ActivationFunction> RunPlan::input_functions() const {
    std::vector<ActivationFunction> functions(static_cast<std::size_t>(network_->n_inputs),
                                              make_piecewise_activation({}));
    for (const InputStimulus& s : stimuli_) functions[s.input] = s.function;
    return functions;
}

void RunPlan::install(Simulator& simulator) const {
    if (parameters_) simulator.set_parameters(*parameters_);
    for (const InputStimulus& s : stimuli_) simulator.set_input_function(s.input, s.function);
    for (const NodeClamp& c : clamps_) simulator.set_clamp(c.node, c.function);
}

void RunPlan::install(BatchSimulator& batch, std::size_t lane) const {
    batch.set_parameters(lane, parameters_ ? *parameters_ : network_->parameters);
    for (const InputStimulus& s : stimuli_) batch.set_input_function(lane, s.input, s.function);
    for (const NodeClamp& c : clamps_) batch.set_clamp(lane, c.node, c.function);
}

void RunPlan::run(Simulator& simulator, const Simulator::Observer& observer) const {
    simulator.simulate_stream_from_state(0.0, grid_.tf, start(), observer);
}

std::vector<PopulationMetadata> row_map_records(const Network& network) {
    std::vector<PopulationMetadata> records = network.node_metadata;
    records.insert(records.end(), network.input_metadata.begin(), network.input_metadata.end());
    return records;
}

std::vector<ClampRequest> binding_clamp_requests(const std::vector<int>& binding_indices) {
    // The edges reach 1e-12 ms further, as the command line's clamps always have.
    constexpr double edge_reach = 1e-12;
    std::vector<ClampRequest> requests;
    requests.reserve(binding_indices.size());
    for (const int index : binding_indices) {
        requests.push_back({index, clamp_t_start, clamp_t_end, clamp_value, edge_reach});
    }
    return requests;
}

}  // namespace vesk
