// Fourth-order Runge-Kutta integration of the Wilson-Cowan node pairs of a
// Network, with per-node clamps and per-input stimulus functions applied at
// every sample time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "model/network.hpp"
#include "model/time_functions.hpp"
#include "sim/kernel_path.hpp"
#include "sim/sliced_matrix.hpp"
#include "sim/thread_pool.hpp"

namespace vesk {

// Node ranges for `threads` threads (first node of each, then n_nodes):
// whole SlicedMatrix::slice_rows chunks, split where the running sum of each
// node's work (a fixed share for its own passes plus its stored weights)
// passes each thread's fair share; fewer ranges when there are fewer chunks.
std::vector<std::size_t> split_nodes(const Network& net, unsigned threads);

class Simulator {
  public:
    // Receives each sample: its time and one output value per node. The row
    // is the simulator's own buffer, overwritten at the next sample.
    using Observer = std::function<void(double t, const std::vector<double>& row)>;

    // Bytes a simulator of a network with n_nodes nodes and n_inputs input
    // channels holds while it runs: its state, stage and scratch vectors and
    // its clamp and input functions (without what the functions capture).
    static double bytes_needed(std::int32_t n_nodes, std::int32_t n_inputs);

    // Sizes every table from the network (all functions zero, all values
    // 0.0); with a null network everything stays empty. h is not checked.
    // Runs on threads_for_run() threads.
    Simulator(const Network* network, double h);
    // The same on `threads` threads, or fewer when the network has fewer
    // than that many ranges of slice_rows nodes.
    Simulator(const Network* network, double h, unsigned threads);

    // Threads step_rk4 runs on.
    unsigned thread_count() const {
        return part_nodes.size() > 1 ? unsigned(part_nodes.size() - 1) : 1;
    }

    // Installs the stimulus of input channel k (0 <= k < n_inputs): sampled
    // once at every sample time and held over the following step.
    void set_input_function(std::size_t k, ActivationFunction f);
    // Installs the clamp of `node`, called at every sample time: a result
    // other than 0.0 sets both activities of the node, 0.0 leaves it free.
    void set_clamp_function(std::size_t node, ActivationFunction f);
    // The same for a clamp that may hold a node at 0.0: it says itself
    // whether it acts at time t, and with which value.
    void set_clamp(std::size_t node, ClampFunction f);

    // The input values held since the last sample (one per input channel).
    const std::vector<double>& held_inputs() const { return input_values; }
    // Holds these input values for the steps to come (benchmarks step
    // without sampling); one value per input channel.
    void hold_inputs(const std::vector<double>& values);
    // The state at the current sample, E values then I values (2 n_nodes),
    // to be read by an observer during its call; empty between runs.
    const std::vector<double>& state() const { return state_; }

    // The number of steps simulate_stream takes from t0 to tf:
    // round((tf - t0) / h), halves away from zero. Throws
    // std::runtime_error when it is not a finite count below 2^31.
    static std::int64_t step_count(double t0, double tf, double h);

    // Samples t_i = fma(i, h, t0) for i = 0 .. round((tf - t0) / h): at each,
    // applies the clamps, samples the inputs, calls the observer, then takes
    // one step. Throws std::runtime_error when the run cannot start.
    void simulate_stream(double t0, double tf, const std::vector<double>& y0,
                         const Observer& observer);
    // The same run from a full state: E values then I values (2 n_nodes).
    void simulate_stream_from_state(double t0, double tf, const std::vector<double>& state0,
                                    const Observer& observer);

    // The same run, returning a copy of every output row.
    std::vector<std::vector<double>> simulate(double t0, double tf, const std::vector<double>& y0);

    // One classic RK4 step of length h from time t, in place, on the
    // simulator's threads.
    void step_rk4(std::vector<double>& y, double t);

    // Time derivative of the 2n-element state y (E values, then I values).
    void rhs(const std::vector<double>& y, double t, std::vector<double>& dydt) const;

    // The logistic gain f_max / (exp(-(beta * (x - theta))) + 1) of
    // parameters().
    double sigmoid(double x) const;

    // The constants of the dynamics: the network's, unless replaced before
    // a run, so that runs of one loaded network may differ in them alone.
    const NetworkParameters& parameters() const { return parameters_; }
    void set_parameters(const NetworkParameters& p) { parameters_ = p; }

  private:
    const Network* network = nullptr;                 // not owned; must outlive the simulator
    double h = 0.0;                                   // step, ms
    std::vector<ActivationFunction> input_functions;  // one per input channel
    std::vector<ClampFunction> clamp_functions;       // one per node
    std::vector<unsigned char> clamp_installed;       // per node: a clamp was set
    std::vector<double> input_values;                 // inputs held for the step after each sample
    std::vector<double> y_stage2, y_stage3, y_stage4;
    std::vector<double> k1, k2, k3, k4;
    mutable std::vector<double> node_rates;  // scratch of rhs
    mutable std::vector<double> node_input;  // scratch of rhs
    std::vector<double> output_row;
    std::vector<double> state_;  // during a run: the state of the current sample
    // Copy of network->is_excitatory as bytes, for loops that vectorise.
    std::vector<unsigned char> node_is_excitatory;
    NetworkParameters parameters_;
    // network->weights and network->input_weights regrouped for the
    // products of rhs on the fma path (same bits). Built only when the
    // processor has that path, and empty when the network lacks the matrix.
    SlicedMatrix sliced_weights;
    SlicedMatrix sliced_input_weights;

    // Threads of step_rk4. The nodes are split into one range per thread,
    // each a whole number of SlicedMatrix::slice_rows rows (the last one
    // takes the rest), balanced by their work; each thread computes every
    // value of its nodes (their rows of both products, their derivatives,
    // their elements of the stage states) with the same code as a single
    // thread would, so any thread count gives the same bits. The sliced
    // matrices break their slices at the range boundaries.
    std::vector<std::size_t> part_nodes;           // per thread + 1: first node
    std::vector<std::int32_t> part_weight_slices;  // per thread + 1: first slice
    std::vector<std::int32_t> part_input_slices;   // per thread + 1: first slice
    // The node outputs of every second stage on more than one thread (else
    // empty), so that a thread writing one stage's outputs never overwrites
    // those a slower thread still reads.
    std::vector<double> node_rates_next;
    std::unique_ptr<ThreadPool> pool;  // null for one thread

    // The sampling loop, on state_ already holding the starting state.
    void run_samples(double t0, std::int64_t n_steps, const Observer& observer);
    // Thread `part`'s share of one step_rk4.
    void step_part(unsigned part, std::vector<double>& y);
    // Thread `part`'s rows of both products into node_input.
    void products_part(unsigned part, const std::vector<double>& rates);
};

}  // namespace vesk
