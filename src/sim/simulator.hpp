// Fourth-order Runge-Kutta integration of the Wilson-Cowan node pairs of a
// Network, with per-node clamps and per-input stimulus functions applied at
// every sample time.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "model/network.hpp"
#include "sim/kernel_path.hpp"
#include "sim/sliced_matrix.hpp"
#include "stimulus/activation.hpp"

namespace vesk {

class Simulator {
  public:
    // Receives each sample: its time and one output value per node. The row
    // is the simulator's own buffer, overwritten at the next sample.
    using Observer = std::function<void(double t, const std::vector<double>& row)>;

    const Network* network = nullptr;                 // not owned; must outlive the simulator
    double h = 0.0;                                   // step, ms
    std::vector<ActivationFunction> input_functions;  // one per input channel
    std::vector<ActivationFunction> clamp_functions;  // one per node; 0.0 = not clamped
    std::vector<double> input_values;                 // inputs held for the step after each sample
    std::vector<double> y_stage2, y_stage3, y_stage4;
    std::vector<double> k1, k2, k3, k4;
    mutable std::vector<double> node_rates;  // scratch of rhs
    mutable std::vector<double> node_input;  // scratch of rhs
    std::vector<double> output_row;
    // Copy of network->is_excitatory as bytes, for loops that vectorise.
    std::vector<unsigned char> node_is_excitatory;
    // network->weights and network->input_weights regrouped for the
    // products of rhs on the fma path (same bits). Built only when the
    // processor has that path, and empty when the network lacks the matrix.
    SlicedMatrix sliced_weights;
    SlicedMatrix sliced_input_weights;

    // Bytes a simulator of a network with n_nodes nodes and n_inputs input
    // channels holds while it runs: its state, stage and scratch vectors and
    // its clamp and input functions (without what the functions capture).
    static double bytes_needed(std::int32_t n_nodes, std::int32_t n_inputs);

    // Sizes every table from the network (all functions zero, all values
    // 0.0); with a null network everything stays empty. h is not checked.
    Simulator(const Network* network, double h);

    // Samples t_i = fma(i, h, t0) for i = 0 .. round((tf - t0) / h): at each,
    // applies the clamps, samples the inputs, calls the observer, then takes
    // one step. Throws std::runtime_error when the run cannot start.
    void simulate_stream(double t0, double tf, const std::vector<double>& y0,
                         const Observer& observer);

    // The same run, returning a copy of every output row.
    std::vector<std::vector<double>> simulate(double t0, double tf, const std::vector<double>& y0);

    // One classic RK4 step of length h from time t, in place.
    void step_rk4(std::vector<double>& y, double t);

    // Time derivative of the 2n-element state y (E values, then I values).
    void rhs(const std::vector<double>& y, double t, std::vector<double>& dydt) const;

    // The logistic gain f_max / (exp(-(beta * (x - theta))) + 1).
    double sigmoid(double x) const;
};

}  // namespace vesk
