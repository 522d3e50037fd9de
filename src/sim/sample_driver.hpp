// What Simulator and BatchSimulator share around their kernels: the checks
// before a run, the clamps of a run's nodes, the sampling loop and the
// release of a run's state, written once so that a single run and each lane
// of a batch sample, clamp and step alike.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "model/network.hpp"
#include "model/time_functions.hpp"

namespace vesk {

// The steps of a run from t0 to tf: round((tf - t0) / h), halves away from
// zero. Throws std::runtime_error, in this order, for a null network
// ("Simulator has null network"), h <= 0 ("Step size h must be > 0"),
// tf < t0 ("simulate: tf must be >= t0"), and a count that is not finite or
// not below 2^31.
std::int64_t checked_step_count(const Network* network, double h, double t0, double tf);

// Throws std::runtime_error "simulate: y0 size must equal n_nodes" (with
// `full_state` "simulate: the state must hold 2 * n_nodes values"), naming
// both sizes, when `size` differs from n or 2n.
void check_start_size(std::size_t size, std::size_t n_nodes, bool full_state);

// The clamps installed on the nodes of one run.
class ClampTable {
  public:
    ClampTable() = default;
    explicit ClampTable(std::size_t nodes) : functions_(nodes) {}

    // Installs the clamp of `node`; throws std::invalid_argument for an
    // empty function, which would read as none.
    void set(std::size_t node, ClampFunction f);

    // Calls hold(node, value) for each installed clamp, by ascending node,
    // that holds its node at time t. Nodes without a clamp cost nothing: a
    // pass over every node at every sample would be serial work while the
    // other threads wait.
    template <class Hold>
    void apply(double t, Hold&& hold) const {
        for (const std::size_t node : installed_) {
            if (const std::optional<double> v = functions_[node](t)) hold(node, *v);
        }
    }

  private:
    std::vector<ClampFunction> functions_;
    std::vector<std::size_t> installed_;  // ascending
};

// The sampling loop of a run of n_steps steps: at each sample time t_i =
// fma(i, h, t0), i = 0 .. n_steps, `sample(t)` (clamps, inputs, observer),
// then `step(t)` but after the last sample. `state` is released when the
// loop ends, also by an exception: it lives for one run only.
template <class State, class Sample, class Step>
void sample_loop(State& state, double t0, double h, std::int64_t n_steps, Sample&& sample,
                 Step&& step) {
    struct Release {
        State& state;
        ~Release() { State().swap(state); }
    } release{state};
    for (std::int64_t i = 0; i <= n_steps; ++i) {
        const double t = std::fma(static_cast<double>(i), h, t0);
        sample(t);
        if (i < n_steps) step(t);
    }
}

}  // namespace vesk
