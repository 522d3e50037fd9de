// The plain form of the simulator's arithmetic: one row at a time, one node
// at a time, every fma through std::fma, every exp through exp_baseline. The fast kernels in
// model/sparse_matrix.cpp and sim/simulator.cpp must give exactly these bits;
// the differential tests compare them, and the benchmarks time this form as
// the baseline (compiled without -march, std::fma is the C library's fma).
//
// Header-only so that each user compiles it with its own flags.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "model/network.hpp"
#include "model/sparse_matrix.hpp"
#include "sim/exp.hpp"

namespace vesk::reference {

// y[i] += row i of `m` times x, folded one stored entry at a time.
inline void multiply_add(const SparseMatrix& m, const std::vector<double>& x,
                         std::vector<double>& y) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(m.rows()); ++i) {
        double s = y[i];
        for (auto k = static_cast<std::size_t>(m.row_ptr()[i]);
             k < static_cast<std::size_t>(m.row_ptr()[i + 1]); ++k) {
            s = std::fma(m.values()[k], x[static_cast<std::size_t>(m.col_idx()[k])], s);
        }
        y[i] = s;
    }
}

// Right-hand side, RK4 step and sampling loop of one network, with buffers
// of its own.
class Kernel {
  public:
    explicit Kernel(const Network& network, double step)
        : net(network), h(step), n(static_cast<std::size_t>(network.n_nodes)) {
        input_values.assign(static_cast<std::size_t>(network.n_inputs), 0.0);
        for (auto* v : {&y_stage2, &y_stage3, &y_stage4, &k1, &k2, &k3, &k4}) v->assign(2 * n, 0.0);
        node_rates.assign(n, 0.0);
        node_input.assign(n, 0.0);
    }

    const Network& net;
    double h;
    std::size_t n;
    std::vector<double> input_values;
    std::vector<double> y_stage2, y_stage3, y_stage4, k1, k2, k3, k4;
    std::vector<double> node_rates, node_input;

    void rhs(const std::vector<double>& y, std::vector<double>& dydt) {
        for (std::size_t j = 0; j < n; ++j) node_rates[j] = net.is_excitatory[j] ? y[j] : y[n + j];
        for (double& v : node_input) v = 0.0;
        if (net.weights) multiply_add(*net.weights, node_rates, node_input);
        if (net.input_weights) multiply_add(*net.input_weights, input_values, node_input);
        for (std::size_t i = 0; i < n; ++i) {
            const double e = y[i];
            const double inh = y[n + i];
            const double s = node_input[i];
            const double a_e = std::fma(net.parameters.alfa, e, -(net.parameters.epsilon * inh));
            const double x_e = (s + a_e) - net.parameters.theta;
            dydt[i] =
                (net.parameters.f_max / (exp_baseline(-(net.parameters.beta * x_e)) + 1.0) - e) /
                net.parameters.tau_E;
            const double a_i = std::fma(net.parameters.gamma, e, -(net.parameters.delta * inh));
            const double x_i = (s + a_i) - net.parameters.theta;
            dydt[n + i] =
                (net.parameters.f_max / (exp_baseline(-(net.parameters.beta * x_i)) + 1.0) - inh) /
                net.parameters.tau_I;
        }
    }

    void step_rk4(std::vector<double>& y, double t) {
        (void)t;  // the inputs are held, so the stage times do not matter
        const std::size_t len = y.size();
        const double half_h = h * 0.5;
        rhs(y, k1);
        for (std::size_t j = 0; j < len; ++j) y_stage2[j] = std::fma(half_h, k1[j], y[j]);
        rhs(y_stage2, k2);
        for (std::size_t j = 0; j < len; ++j) y_stage3[j] = std::fma(half_h, k2[j], y[j]);
        rhs(y_stage3, k3);
        for (std::size_t j = 0; j < len; ++j) y_stage4[j] = std::fma(h, k3[j], y[j]);
        rhs(y_stage4, k4);
        const double h_sixth = h / 6.0;
        for (std::size_t j = 0; j < len; ++j) {
            double c = std::fma(k2[j], 2.0, k1[j]);
            c = std::fma(k3[j], 2.0, c);
            c = c + k4[j];
            y[j] = std::fma(h_sixth, c, y[j]);
        }
    }

    // The sampling loop from t0 over `n_steps` steps: clamps, inputs, the
    // full 2n-element state handed to `observer`, then one step.
    void run(double t0, std::int64_t n_steps, const std::vector<double>& y0,
             const std::vector<std::function<double(double)>>& clamps,
             const std::vector<std::function<double(double)>>& inputs,
             const std::function<void(double, const std::vector<double>&)>& observer) {
        std::vector<double> y(2 * n);
        for (std::size_t i = 0; i < n; ++i) y[i] = y[n + i] = y0[i];
        for (std::int64_t i = 0; i <= n_steps; ++i) {
            const double t = std::fma(static_cast<double>(i), h, t0);
            for (std::size_t j = 0; j < n; ++j) {
                const double v = clamps[j](t);
                if (v != 0.0) y[j] = y[n + j] = v;
            }
            for (std::size_t k = 0; k < input_values.size(); ++k) input_values[k] = inputs[k](t);
            observer(t, y);
            if (i < n_steps) step_rk4(y, t);
        }
    }
};

}  // namespace vesk::reference
