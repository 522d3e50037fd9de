#include "run/sample_grid.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

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

SampleGrid command_line_grid(double t_end, int n_steps) {
    if (n_steps > 0) t_end = static_cast<double>(n_steps) * grid_step_ms;
    const int n = sample_count(t_end, n_steps);
    return {t_end, t_end / static_cast<double>(n - 1), n};
}

namespace {

constexpr double max_steps = static_cast<double>(std::numeric_limits<std::int32_t>::max()) - 1.0;

void check_step(double h) {
    if (!(h > 0.0 && std::isfinite(h))) {
        std::ostringstream text;
        text << "h must be a positive number of ms, got " << h;
        throw std::runtime_error(text.str());
    }
}

SampleGrid grid_of(std::int64_t steps, double h) {
    return {std::fma(static_cast<double>(steps), h, 0.0), h, steps + 1};
}

}  // namespace

SampleGrid step_grid(double t_end, double h) {
    check_step(h);
    if (!(t_end >= 0.0 && std::isfinite(t_end))) {
        std::ostringstream text;
        text << "t_end must be a finite number of ms >= 0, got " << t_end;
        throw std::runtime_error(text.str());
    }
    const double q = t_end / h;
    const double nearest = std::round(q);
    const double steps =
        std::fabs(q - nearest) <= 1e-9 * std::max(1.0, nearest) ? nearest : std::floor(q);
    if (steps > max_steps) {
        std::ostringstream text;
        text << "t_end / h must give fewer than 2147483647 samples, got t_end=" << t_end
             << " ms and h=" << h << " ms";
        throw std::runtime_error(text.str());
    }
    return grid_of(static_cast<std::int64_t>(steps), h);
}

SampleGrid step_grid_samples(std::int64_t n_samples, double h) {
    check_step(h);
    if (n_samples < 1 || static_cast<double>(n_samples - 1) > max_steps) {
        throw std::runtime_error("n_steps must lie between 1 and 2147483647, got " +
                                 std::to_string(n_samples));
    }
    return grid_of(n_samples - 1, h);
}

}  // namespace vesk
