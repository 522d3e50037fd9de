#include "app/sample_grid.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace vesk {

int sample_count(double t_end, int n_steps) {
    const char* too_few = "--t-end must correspond to at least 2 output samples";
    if (n_steps > 0) {
        if (n_steps < 2) throw std::runtime_error(too_few);
        return n_steps;
    }
    const double x = t_end / grid_step_ms;
    const double rounded = std::round(x);
    std::ostringstream text;
    if (std::fabs(x - rounded) > 1e-9) {
        text << "--t-end must align with h=0.1 ms from t_start=0.0 ms. Received t_end=" << t_end
             << " (" << x << " steps).";
        throw std::runtime_error(text.str());
    }
    // NaN compares false and lands here too.
    if (!(rounded >= 2.0)) throw std::runtime_error(too_few);
    if (rounded > static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
        text << "--t-end must correspond to at most 2147483647 output samples. Received t_end="
             << t_end << " (" << x << " steps).";
        throw std::runtime_error(text.str());
    }
    return static_cast<int>(rounded);
}

}  // namespace vesk
