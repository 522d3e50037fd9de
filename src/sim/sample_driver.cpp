#include "sim/sample_driver.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace vesk {

std::int64_t checked_step_count(const Network* network, double h, double t0, double tf) {
    if (!network) throw std::runtime_error("Simulator has null network");
    if (h <= 0) throw std::runtime_error("Step size h must be > 0");
    if (tf < t0) throw std::runtime_error("simulate: tf must be >= t0");
    // A NaN or oversized quotient would make the integer conversion
    // undefined, so it is refused.
    const double steps = std::round((tf - t0) / h);
    if (!(steps >= 0.0 && steps <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
        throw std::runtime_error(
            "simulate: number of steps (tf - t0) / h must be a finite value below 2^31");
    }
    return static_cast<std::int64_t>(steps);
}

void check_start_size(std::size_t size, std::size_t n_nodes, bool full_state) {
    const std::size_t needed = full_state ? 2 * n_nodes : n_nodes;
    if (size == needed) return;
    const std::string sizes =
        " (got " + std::to_string(size) + ", need " + std::to_string(needed) + ")";
    throw std::runtime_error(full_state ? "simulate: the state must hold 2 * n_nodes values" + sizes
                                        : "simulate: y0 size must equal n_nodes" + sizes);
}

void ClampTable::set(std::size_t node, ClampFunction f) {
    if (!f) throw std::invalid_argument("set_clamp: no clamp function");
    functions_.at(node) = std::move(f);
    const auto at = std::lower_bound(installed_.begin(), installed_.end(), node);
    if (at == installed_.end() || *at != node) installed_.insert(at, node);
}

}  // namespace vesk
