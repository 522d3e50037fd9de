#include "run/run_setup.hpp"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <utility>

namespace vesk {
namespace {

// The node of each row index: the last node record that holds it.
std::unordered_map<std::int32_t, std::size_t> node_by_row(const Network& network) {
    std::unordered_map<std::int32_t, std::size_t> nodes;
    for (const PopulationMetadata& md : network.node_metadata) {
        nodes[md.row_index] = static_cast<std::size_t>(md.node_id);
    }
    return nodes;
}

}  // namespace

double grid_tolerance(double h) {
    return 1e-6 * h;
}

std::unordered_map<std::string, std::size_t> input_index_by_name(const Network& network) {
    std::unordered_map<std::string, std::size_t> index;
    for (std::size_t i = 0; i < network.input_names.size(); ++i) {
        index[network.input_names[i]] = i;  // later index wins
    }
    return index;
}

std::vector<InputStimulus> schedule_stimuli(const Network& network, const ScheduleMap& schedule) {
    const auto index = input_index_by_name(network);
    std::vector<InputStimulus> stimuli;
    for (const auto& [name, windows] : schedule) {
        const auto it = index.find(name);
        if (it == index.end()) {
            throw std::runtime_error("Instruction target '" + name +
                                     "' is not an external input in the loaded model");
        }
        stimuli.push_back({it->second, make_piecewise_activation(windows)});
    }
    return stimuli;
}

std::vector<InputStimulus> drive_stimuli(const Network& network,
                                         const std::map<std::string, std::vector<double>>& drive,
                                         double h, std::int64_t n_samples) {
    const auto index = input_index_by_name(network);
    std::vector<InputStimulus> stimuli;
    for (const auto& [name, values] : drive) {
        const auto it = index.find(name);
        if (it == index.end()) {
            throw std::runtime_error("drive: '" + name +
                                     "' is not an external input in the loaded model");
        }
        if (static_cast<std::int64_t>(values.size()) != n_samples) {
            throw std::runtime_error("drive: '" + name + "' has " + std::to_string(values.size()) +
                                     " values, the run has " + std::to_string(n_samples) +
                                     " samples");
        }
        stimuli.push_back(
            {it->second,
             make_sampled_activation(std::make_shared<const std::vector<double>>(values), 0.0, h)});
    }
    return stimuli;
}

ClampSetup clamp_setup(const Network& network, const std::vector<ClampRequest>& requests) {
    const auto nodes = node_by_row(network);
    std::map<std::size_t, std::vector<ClampWindow>> per_node;
    ClampSetup setup;
    for (const ClampRequest& r : requests) {
        const auto it = nodes.find(r.row_index);
        if (it == nodes.end()) {
            setup.not_found.push_back(r.row_index);
            continue;
        }
        std::vector<ClampWindow>& windows = per_node[it->second];
        // Widened by its own reach, so that requests of one node may differ in it.
        windows.push_back({r.start_ms - r.tolerance, r.end_ms + r.tolerance, r.value});
    }
    for (auto& [node, windows] : per_node) {
        // An earlier request identical to a later one never decides anything.
        std::vector<ClampWindow> kept;
        for (std::size_t i = 0; i < windows.size(); ++i) {
            const ClampWindow& w = windows[i];
            const bool repeated = std::any_of(windows.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                              windows.end(), [&w](const ClampWindow& later) {
                                                  return later.start_ms == w.start_ms &&
                                                         later.end_ms == w.end_ms &&
                                                         later.value == w.value;
                                              });
            if (!repeated) kept.push_back(w);
        }
        setup.clamps.push_back({node, make_clamp_windows(kept, 0.0)});
    }
    return setup;
}

}  // namespace vesk
