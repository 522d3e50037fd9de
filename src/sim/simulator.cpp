#include "sim/simulator.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

namespace vesk {
namespace {

double zero_function(double) { return 0.0; }

}  // namespace

Simulator::Simulator(const Network* net, double step) : network(net), h(step) {
    if (!network) return;
    const auto n = static_cast<std::size_t>(network->n_nodes);
    const auto m = static_cast<std::size_t>(network->n_inputs);
    input_functions.assign(m, ActivationFunction(zero_function));
    clamp_functions.assign(n, ActivationFunction(zero_function));
    input_values.assign(m, 0.0);
    for (auto* v : {&y_stage2, &y_stage3, &y_stage4, &k1, &k2, &k3, &k4}) v->assign(2 * n, 0.0);
    node_rates.assign(n, 0.0);
    node_input.assign(n, 0.0);
    output_row.assign(n, 0.0);
}

double Simulator::sigmoid(double x) const {
    const double d = x - network->theta;
    const double e = std::exp(-(network->beta * d));
    return network->f_max / (e + 1.0);
}

void Simulator::rhs(const std::vector<double>& y, double /*t*/, std::vector<double>& dydt) const {
    const Network& net = *network;
    const std::size_t n = static_cast<std::size_t>(net.n_nodes);
    for (std::size_t j = 0; j < n; ++j) node_rates[j] = net.is_excitatory[j] ? y[j] : y[n + j];
    std::fill(node_input.begin(), node_input.end(), 0.0);
    // Node-to-node terms first, then the external inputs, into the same sums.
    if (net.weights) net.weights->multiply_add(node_rates, node_input);
    if (net.input_weights) net.input_weights->multiply_add(input_values, node_input);

    for (std::size_t i = 0; i < n; ++i) {
        const double e = y[i];
        const double inh = y[n + i];
        const double s = node_input[i];
        const double a_e = std::fma(net.alfa, e, -(net.epsilon * inh));
        const double x_e = (s + a_e) - net.theta;
        dydt[i] = (net.f_max / (std::exp(-(net.beta * x_e)) + 1.0) - e) / net.tau_E;
        const double a_i = std::fma(net.gamma, e, -(net.delta * inh));
        const double x_i = (s + a_i) - net.theta;
        dydt[n + i] = (net.f_max / (std::exp(-(net.beta * x_i)) + 1.0) - inh) / net.tau_I;
    }
}

void Simulator::step_rk4(std::vector<double>& y, double t) {
    const std::size_t len = y.size();
    const double half_h = h * 0.5;
    const double t_half = std::fma(h, 0.5, t);

    rhs(y, t, k1);
    for (std::size_t j = 0; j < len; ++j) y_stage2[j] = std::fma(half_h, k1[j], y[j]);
    rhs(y_stage2, t_half, k2);
    for (std::size_t j = 0; j < len; ++j) y_stage3[j] = std::fma(half_h, k2[j], y[j]);
    rhs(y_stage3, t_half, k3);
    for (std::size_t j = 0; j < len; ++j) y_stage4[j] = std::fma(h, k3[j], y[j]);
    rhs(y_stage4, t + h, k4);

    const double h_sixth = h / 6.0;
    for (std::size_t j = 0; j < len; ++j) {
        double c = std::fma(k2[j], 2.0, k1[j]);
        c = std::fma(k3[j], 2.0, c);
        c = c + k4[j];
        y[j] = std::fma(h_sixth, c, y[j]);
    }
}

void Simulator::simulate_stream(double t0, double tf, const std::vector<double>& y0,
                                const Observer& observer) {
    if (!network) throw std::runtime_error("Simulator has null network");
    if (h <= 0) throw std::runtime_error("Step size h must be > 0");
    if (tf < t0) throw std::runtime_error("simulate: tf must be >= t0");
    const std::size_t n = static_cast<std::size_t>(network->n_nodes);
    if (y0.size() != n) throw std::runtime_error("simulate: y0 size must equal n_nodes");

    // std::round rounds halves away from zero. A NaN or oversized quotient
    // would make the integer conversion undefined, so it is refused.
    const double steps = std::round((tf - t0) / h);
    if (!(steps >= 0.0 && steps <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
        throw std::runtime_error(
            "simulate: number of steps (tf - t0) / h must be a finite value below 2^31");
    }
    const auto n_steps = static_cast<std::int64_t>(steps);

    std::vector<double> y(2 * n);
    for (std::size_t i = 0; i < n; ++i) y[i] = y[n + i] = y0[i];

    const std::size_t m = input_values.size();
    for (std::int64_t i = 0; i <= n_steps; ++i) {
        const double t = std::fma(static_cast<double>(i), h, t0);
        for (std::size_t j = 0; j < n; ++j) {
            const double v = clamp_functions[j](t);
            if (v != 0.0) y[j] = y[n + j] = v;
        }
        for (std::size_t k = 0; k < m; ++k) input_values[k] = input_functions[k](t);
        for (std::size_t j = 0; j < n; ++j) {
            output_row[j] = network->is_excitatory[j] ? y[j] : y[n + j];
        }
        observer(t, output_row);
        if (i < n_steps) step_rk4(y, t);
    }
}

std::vector<std::vector<double>> Simulator::simulate(double t0, double tf,
                                                     const std::vector<double>& y0) {
    std::vector<std::vector<double>> rows;
    simulate_stream(t0, tf, y0, [&rows](double, const std::vector<double>& row) {
        rows.push_back(row);
    });
    return rows;
}

}  // namespace vesk
