#include "run/sample_grid.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

namespace vesk {

namespace {

// How a run to t_end on the 0.1 ms grid fails, if it does.
enum class GridFault { none, off_grid, too_few, too_many };

// The samples of a run to t_end on the 0.1 ms grid (x: t_end in grid steps).
GridFault grid_samples(double t_end, double& x, double& rounded) {
    x = t_end / grid_step_ms;
    rounded = std::round(x);
    if (std::fabs(x - rounded) > 1e-9) return GridFault::off_grid;
    // NaN compares false and lands here too.
    if (!(rounded >= 2.0)) return GridFault::too_few;
    if (rounded > static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
        return GridFault::too_many;
    }
    return GridFault::none;
}

}  // namespace

std::string number_text(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    std::string s(text, ec == std::errc() ? end : text);
    // Python writes a whole float with ".0".
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}

int sample_count(double t_end, int n_steps) {
    const char* too_few = "--t-end must correspond to at least 2 output samples";
    if (n_steps > 0) {
        if (n_steps < 2) throw std::runtime_error(too_few);
        return n_steps;
    }
    double x = 0.0;
    double rounded = 0.0;
    const GridFault fault = grid_samples(t_end, x, rounded);
    std::ostringstream text;
    switch (fault) {
        case GridFault::none:
            return static_cast<int>(rounded);
        case GridFault::off_grid:
            text << "--t-end must align with h=0.1 ms from t_start=0.0 ms. Received t_end=" << t_end
                 << " (" << x << " steps).";
            break;
        case GridFault::too_few:
            throw std::runtime_error(too_few);
        case GridFault::too_many:
            text << "--t-end must correspond to at most 2147483647 output samples. Received t_end="
                 << t_end << " (" << x << " steps).";
            break;
    }
    throw std::runtime_error(text.str());
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
        throw std::runtime_error("h must be a positive number of ms, got " + number_text(h));
    }
}

SampleGrid grid_of(std::int64_t steps, double h) {
    return {std::fma(static_cast<double>(steps), h, 0.0), h, steps + 1};
}

}  // namespace

SampleGrid step_grid(double t_end, double h) {
    check_step(h);
    if (!(t_end >= 0.0 && std::isfinite(t_end))) {
        throw std::runtime_error("t_end must be a finite number of ms >= 0, got " +
                                 number_text(t_end));
    }
    const double q = t_end / h;
    const double nearest = std::round(q);
    const double steps =
        std::fabs(q - nearest) <= 1e-9 * std::max(1.0, nearest) ? nearest : std::floor(q);
    if (steps > max_steps) {
        throw std::runtime_error("t_end / h must give fewer than 2147483647 samples, got t_end=" +
                                 number_text(t_end) + " ms and h=" + number_text(h) + " ms");
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

SampleGrid argument_grid(std::optional<double> t_end, std::optional<std::int64_t> n_steps,
                         std::optional<double> h) {
    if (h) {
        if (n_steps) return step_grid_samples(*n_steps, *h);
        return step_grid(t_end.value_or(0.0), *h);
    }
    if (n_steps) {
        if (*n_steps < 2 || *n_steps > std::numeric_limits<std::int32_t>::max()) {
            throw std::runtime_error("n_steps must lie between 2 and 2147483647 without h, got " +
                                     std::to_string(*n_steps));
        }
        return command_line_grid(0.0, static_cast<int>(*n_steps));
    }
    const double t = t_end.value_or(0.0);
    if (!(t > 0.0)) throw std::runtime_error("t_end must be > 0 ms, got " + number_text(t));
    double x = 0.0;
    double rounded = 0.0;
    switch (grid_samples(t, x, rounded)) {
        case GridFault::none:
            return command_line_grid(t, 0);
        case GridFault::off_grid:
            throw std::runtime_error("t_end=" + number_text(t) +
                                     " is not a whole number of steps of h=0.1 ms");
        case GridFault::too_few:
            throw std::runtime_error("t_end=" + number_text(t) +
                                     " gives 1 sample of h=0.1 ms, a run needs at least 2");
        case GridFault::too_many:
            break;
    }
    throw std::runtime_error("t_end=" + number_text(t) +
                             " gives more than 2147483647 samples of h=0.1 ms");
}

}  // namespace vesk
