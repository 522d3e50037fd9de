// Several runs of one network advanced together: each lane has its own
// stimuli, clamps, starting state and network parameters, and gives the
// same bits as a Simulator run with them, while every weight is read once
// per stage for all lanes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <vector>

#include "model/network.hpp"
#include "model/time_functions.hpp"
#include "sim/sliced_matrix.hpp"
#include "sim/thread_pool.hpp"

namespace vesk {

// Storage that starts on a cache line, so that the values of one node's
// lanes (up to eight) share one line.
template <class T>
struct LineAligned {
    using value_type = T;
    static constexpr std::align_val_t alignment{64};
    LineAligned() = default;
    template <class U>
    explicit LineAligned(const LineAligned<U>&) {}
    T* allocate(std::size_t count) {
        return static_cast<T*>(::operator new(count * sizeof(T), alignment));
    }
    void deallocate(T* p, std::size_t) { ::operator delete(p, alignment); }
    friend bool operator==(const LineAligned&, const LineAligned&) { return true; }
    friend bool operator!=(const LineAligned&, const LineAligned&) { return false; }
};
using LaneValues = std::vector<double, LineAligned<double>>;

// Lanes are stored interleaved: value v of lane l of a per-node (or
// per-input) quantity sits at v * lane_count + l, so that the lanes of one
// node are side by side and one weight multiplies all of them at once. Each
// lane folds its sums and computes its derivatives in exactly the order and
// with exactly the fused multiply-adds of Simulator, on both kernel paths and
// on any number of threads.
class BatchSimulator {
  public:
    // Receives each lane's sample: lane index, time and one output value per
    // node. At each sample time it is called for lane 0, 1, ... in order. The
    // row is the simulator's own buffer, overwritten at the next call.
    using Observer =
        std::function<void(std::size_t lane, double t, const std::vector<double>& row)>;

    const Network* network = nullptr;  // not owned; must outlive the simulator
    double h = 0.0;                    // step, ms, shared by every lane
    std::size_t lane_count = 0;

    // Bytes a batch of `lanes` runs of `network` holds while it runs, beside
    // the network itself (without what the installed functions capture, and
    // without the observer's own copies).
    static double bytes_needed(const Network& network, std::size_t lanes);

    // `lanes` lanes, each with the network's parameters, zero functions and
    // all values 0.0, on as many threads as a single run of the same total
    // work would use; with a null network everything stays empty.
    BatchSimulator(const Network* network, double h, std::size_t lanes);
    // The same on `threads` threads, or on fewer when the network has fewer
    // ranges of nodes (split as Simulator splits them).
    BatchSimulator(const Network* network, double h, std::size_t lanes, unsigned threads);

    // What a Simulator's setters install, for lane `lane`: its network
    // parameters (the network's until set), the function of input channel
    // k, and the clamp of `node` (as Simulator::set_clamp_function and
    // Simulator::set_clamp). Installed between runs.
    void set_parameters(std::size_t lane, const NetworkParameters& p);
    const NetworkParameters& parameters(std::size_t lane) const {
        return lanes.at(lane).parameters;
    }
    void set_input_function(std::size_t lane, std::size_t k, ActivationFunction f);
    void set_clamp_function(std::size_t lane, std::size_t node, ActivationFunction f);
    void set_clamp(std::size_t lane, std::size_t node, ClampFunction f);

    unsigned thread_count() const {
        return part_nodes.size() > 1 ? unsigned(part_nodes.size() - 1) : 1;
    }

    // Simulator::simulate_stream for every lane at once, lane l starting
    // from y0[l]. Throws std::runtime_error with Simulator's messages when the
    // run cannot start, "simulate: one y0 per lane is needed" when y0 does
    // not have lane_count entries; an exception from a function or the
    // observer ends the run of every lane.
    void simulate_stream(double t0, double tf, const std::vector<std::vector<double>>& y0,
                         const Observer& observer);
    // The same from full states: states[l] holds lane l's E values, then its
    // I values (as Simulator::simulate_stream_from_state).
    void simulate_stream_from_state(double t0, double tf,
                                    const std::vector<std::vector<double>>& states,
                                    const Observer& observer);

    // The same run returning every lane's rows: result[lane][sample][node].
    std::vector<std::vector<std::vector<double>>> simulate(
        double t0, double tf, const std::vector<std::vector<double>>& y0);

    // The value input channel `input` of lane `lane` took at the current
    // sample (inside the observer) or at the last one.
    double input_value(std::size_t lane, std::size_t input) const {
        return input_values[input * lane_count + lane];
    }

    // Element `element` (E values, then I values) of lane `lane`'s state at
    // the current sample, to be read by the observer during its call.
    double state_value(std::size_t lane, std::size_t element) const {
        return state_[element * lane_count + lane];
    }

  private:
    struct Lane {
        NetworkParameters parameters;
        std::vector<ActivationFunction> input_functions;  // one per input channel
        std::vector<ClampFunction> clamp_functions;       // one per node; empty: none installed
    };
    std::vector<Lane> lanes;

    // The checks of a run that does not depend on the starting states, in
    // Simulator's order; returns the step count.
    std::int64_t check_run(double t0, double tf, std::size_t starts) const;
    // The sampling loop, on state_ already holding the starting states.
    void run_samples(double t0, std::int64_t n_steps, const Observer& observer);
    void step_rk4(LaneValues& y);
    void step_part(unsigned part, LaneValues& y);

    // Interleaved lanes throughout (see above).
    LaneValues lane_parameters;              // a row of lane_count per network constant
    LaneValues input_values;                 // m
    LaneValues stage_y, slope_sum;           // 2n each
    LaneValues node_rates, node_rates_next;  // n each
    std::vector<double> node_input;          // n, the sums of a narrow batch
    LaneValues window_scratch;               // per thread: a window's sums and E and I slopes
    std::vector<double> output_row;          // n, one lane
    LaneValues state_;                       // 2n: during a run, the state of the current sample
    std::vector<unsigned char> node_is_excitatory;
    // Narrow batches fold the weights regrouped as for a single run (see
    // SlicedMatrix), with slices broken at the threads' node ranges; empty
    // for wider ones.
    SlicedMatrix sliced_weights;
    SlicedMatrix sliced_input_weights;
    std::vector<std::int32_t> part_weight_slices;  // per thread + 1: first slice
    std::vector<std::int32_t> part_input_slices;   // per thread + 1: first slice
    std::vector<std::size_t> part_nodes;           // per thread + 1: first node
    // Each thread takes its nodes in windows of window_nodes consecutive
    // nodes and finishes a window's stage (its sums, slopes, next state and
    // next rates) before the next, while its values are in the nearer caches.
    static constexpr std::size_t window_nodes = 64;
    std::vector<std::size_t> window_first_node;  // per window + 1
    std::vector<std::size_t> part_windows;       // per thread + 1: first window
    // One weight matrix as wider batches fold it: the rows with entries, window
    // by window, ordered by decreasing length within a window, so that rows
    // folded side by side are nearly as long; and for every stored entry,
    // where the lanes of its column's value start (col * lanes).
    struct LaneMatrix {
        std::vector<std::int32_t> rows;
        std::vector<std::size_t> window_begin;  // per window + 1: first of rows
        std::vector<std::uint32_t> x_at;
        LaneMatrix() = default;
        LaneMatrix(const SparseMatrix& m, std::size_t lanes,
                   const std::vector<std::size_t>& window_first_node);
    };
    LaneMatrix lane_weights, lane_input_weights;
    std::unique_ptr<ThreadPool> pool;  // null for one thread
};

}  // namespace vesk
