#include "stimulus/activation.hpp"

#include <cmath>
#include <utility>

namespace vesk {
namespace {

// The least margin, in ms, of the legacy window.
constexpr double kEdgeTolerance = 1e-12;

}  // namespace

ActivationFunction make_piecewise_activation(const std::vector<ScheduleWindow>& windows) {
    return [windows](double t) {
        for (const ScheduleWindow& w : windows) {
            if (t >= w.start_ms && t <= w.end_ms) return w.value;
        }
        return 0.0;
    };
}

ActivationFunction make_piecewise_activation_legacy_window(
    const std::vector<ScheduleWindow>& windows, double margin_steps) {
    const double product = 0.1 * margin_steps;
    // std::max would pass a NaN product through; a NaN margin means "none".
    const double margin =
        (std::isnan(product) || product < kEdgeTolerance) ? kEdgeTolerance : product;
    return [windows, margin](double t) {
        for (const ScheduleWindow& w : windows) {
            if ((t - w.start_ms) > margin && (w.end_ms - t) >= -margin) return w.value;
        }
        return 0.0;
    };
}

ClampFunction make_clamp_windows(const std::vector<ClampWindow>& windows, double tolerance) {
    return [windows, tolerance](double t) -> std::optional<double> {
        for (auto w = windows.rbegin(); w != windows.rend(); ++w) {
            if (t >= w->start_ms - tolerance && t <= w->end_ms + tolerance) return w->value;
        }
        return std::nullopt;
    };
}

ActivationFunction make_sampled_activation(std::shared_ptr<const std::vector<double>> values,
                                           double t0, double h) {
    return [values = std::move(values), t0, h](double t) {
        const double index = std::round((t - t0) / h);
        // Also false for NaN.
        if (!(index >= 0.0 && index < static_cast<double>(values->size()))) return 0.0;
        return (*values)[static_cast<std::size_t>(index)];
    };
}

}  // namespace vesk
