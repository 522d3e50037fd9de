// Functions of time that drive the network from outside: the stimulus of an
// input channel (a list of windows) and the time profile of a node clamp.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "model/time_functions.hpp"

namespace vesk {

// One stimulus window, in ms; both edges belong to the window.
struct ScheduleWindow {
    double start_ms = 0.0;
    double end_ms = 0.0;
    double value = 0.0;
};

// Every factory below returns a callable that owns a private copy of its
// data, and whose evaluation allocates nothing.

// Value of the first window (in list order) with start_ms <= t <= end_ms,
// or 0.0 when none matches. Overlapping windows are not combined: the
// earliest in the list wins. A NaN time matches nothing.
ActivationFunction make_piecewise_activation(const std::vector<ScheduleWindow>& windows);

// Like make_piecewise_activation, but every window is shifted one margin
// e = max(0.1 * margin_steps, 1e-12) ms later and opens exclusively:
// it matches when (t - start_ms) > e and (end_ms - t) >= -e.
ActivationFunction make_piecewise_activation_legacy_window(
    const std::vector<ScheduleWindow>& windows, double margin_steps);

// `value` for t_start - 1e-12 <= t <= t_end + 1e-12, else 0.0 (also for a
// NaN time). `node_indices` is not read: which node the clamp acts on is
// decided by where the caller installs it.
ActivationFunction make_clamp_function(const std::vector<int>& node_indices, double t_start,
                                       double t_end, double value);

// One clamp window, in ms; both edges belong to it.
struct ClampWindow {
    double start_ms = 0.0;
    double end_ms = 0.0;
    double value = 0.0;
};

// The value of the last window (in list order) that holds t, 0.0 included,
// or nothing when none does (nor for a NaN time). A window holds t when
// start_ms - tolerance <= t <= end_ms + tolerance (tolerance in ms, >= 0).
ClampFunction make_clamp_windows(const std::vector<ClampWindow>& windows, double tolerance);

// values[i] from t_i = fma(i, h, t0) until just before t_(i+1): the sample
// index is round((t - t0) / h), which gives back i for every sample time of
// a run on that grid. 0.0 before t0, after the last value and for a NaN time.
// The values are shared, not copied.
ActivationFunction make_sampled_activation(std::shared_ptr<const std::vector<double>> values,
                                           double t0, double h);

}  // namespace vesk
