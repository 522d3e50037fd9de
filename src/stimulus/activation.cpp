#include "stimulus/activation.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <memory>
#include <queue>
#include <utility>
#include <vector>

namespace vesk {
namespace {

// Edge tolerance, in ms, of clamps and of the legacy window margin.
constexpr double kEdgeTolerance = 1e-12;

// The first-match value of a window list as a step function, so that an
// evaluation costs a binary search instead of a scan of every window (an
// instruction file may hold a hundred thousand). Between two neighbouring
// edge times no window opens or closes, so one value holds there; at an edge
// time itself the windows that close there still hold and those that open
// there already do. The values are copies of window values, so that every
// evaluation gives the bits the plain scan gives, at any time and in any
// order of calls.
class WindowSteps {
  public:
    explicit WindowSteps(const std::vector<ScheduleWindow>& windows) {
        // Windows that never match (end before start, a NaN edge) are left
        // out: every comparison with them is false.
        std::vector<std::size_t> order;
        for (std::size_t i = 0; i < windows.size(); ++i) {
            if (windows[i].start_ms <= windows[i].end_ms) {
                order.push_back(i);
                edges_.push_back(windows[i].start_ms);
                edges_.push_back(windows[i].end_ms);
            }
        }
        std::sort(edges_.begin(), edges_.end());
        // -0.0 and 0.0 are one edge: both compare equal to either time.
        edges_.erase(std::unique(edges_.begin(), edges_.end()), edges_.end());
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return windows[a].start_ms < windows[b].start_ms;
        });

        // Sweep the edges in time order with the open windows in a heap that
        // yields the earliest in list order; a window that has closed is
        // dropped once it comes to the top.
        std::priority_queue<std::size_t, std::vector<std::size_t>, std::greater<>> open;
        const auto first_open = [&](auto closed) {
            while (!open.empty() && closed(windows[open.top()].end_ms)) open.pop();
            return open.empty() ? 0.0 : windows[open.top()].value;
        };
        at_edge_.reserve(edges_.size());
        after_edge_.reserve(edges_.size());
        std::size_t next = 0;
        for (const double edge : edges_) {
            for (; next < order.size() && windows[order[next]].start_ms == edge; ++next) {
                open.push(order[next]);
            }
            at_edge_.push_back(first_open([edge](double end) { return end < edge; }));
            after_edge_.push_back(first_open([edge](double end) { return end <= edge; }));
        }
    }

    double operator()(double t) const {
        // The first edge >= t; none for a NaN time, which lands before all.
        const auto it = std::lower_bound(edges_.begin(), edges_.end(), t);
        const auto i = static_cast<std::size_t>(it - edges_.begin());
        if (it != edges_.end() && *it == t) return at_edge_[i];
        return i == 0 ? 0.0 : after_edge_[i - 1];
    }

  private:
    std::vector<double> edges_;       // distinct edge times, ascending
    std::vector<double> at_edge_;     // the value at edges_[i]
    std::vector<double> after_edge_;  // the value after edges_[i], before edges_[i + 1]
};

}  // namespace

ActivationFunction make_piecewise_activation(const std::vector<ScheduleWindow>& windows) {
    if (windows.empty()) return [](double) { return 0.0; };
    return [steps = std::make_shared<const WindowSteps>(windows)](double t) { return (*steps)(t); };
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

ActivationFunction make_clamp_function(const std::vector<int>& /*node_indices*/, double t_start,
                                       double t_end, double value) {
    return [t_start, t_end, value](double t) {
        // Both comparisons below are false for NaN, which would otherwise clamp.
        if (std::isnan(t)) return 0.0;
        if ((t + kEdgeTolerance) < t_start) return 0.0;
        if (t > (t_end + kEdgeTolerance)) return 0.0;
        return value;
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
