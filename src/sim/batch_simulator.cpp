#include "sim/batch_simulator.hpp"

#include "sim/kernel_path.hpp"

#if VESK_HAVE_FMA_PATH
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>

#include "sim/exp.hpp"
#include "sim/rk4_stages.hpp"
#include "sim/simulator.hpp"
#include "sim/thread_count.hpp"

namespace vesk {
namespace {

double zero_function(double) {
    return 0.0;
}

// Rows of lane_parameters.
enum Parameter : std::size_t { alfa, epsilon, gamma, delta, tau_E, tau_I, theta, beta, f_max };
constexpr std::size_t parameter_count = 9;

// What every kernel below needs to know about the batch.
struct Shape {
    std::size_t n;      // nodes
    std::size_t lanes;  // lane_count
    const double* p;    // lane_parameters
    const double* row(Parameter which) const { return p + which * lanes; }
};

// Scalar forms of one lane's arithmetic, written as Simulator writes them.
[[gnu::always_inline]] inline void exp_arguments_lane(double e, double inh, double s, double a,
                                                      double eps, double g, double d, double th,
                                                      double b, double* arg_e, double* arg_i) {
    const double a_e = std::fma(a, e, -(eps * inh));
    const double a_i = std::fma(g, e, -(d * inh));
    *arg_e = -(b * ((s + a_e) - th));
    *arg_i = -(b * ((s + a_i) - th));
}

// One slice of a SlicedMatrix folded into the sums of its rows for every
// lane: sum[r * lanes + l] for the slice's row r; step k folds the k-th
// entry of each of its first step_width[k] rows. Rows follow one another
// within a step, so consecutive fused multiply-adds never wait on each
// other, while each row still folds its own entries in stored order.
struct SliceView {
    std::int32_t rows;  // with entries
    const std::int32_t* lane_row;
    std::int32_t steps;
    const std::int32_t* step_width;
    const std::int32_t* col;
    const double* val;
};

SliceView slice_view(const SlicedMatrix& m, std::int32_t s) {
    const auto at = [](std::int32_t i) { return static_cast<std::size_t>(i); };
    return {
        m.slice_lane[at(s) + 1] - m.slice_lane[at(s)],   m.lane_row.data() + m.slice_lane[at(s)],
        m.slice_steps[at(s) + 1] - m.slice_steps[at(s)], m.step_width.data() + m.slice_steps[at(s)],
        m.col_idx.data() + m.slice_begin[at(s)],         m.values.data() + m.slice_begin[at(s)]};
}

// The sums of the slice's rows from y, and back.
void gather_sums(const SliceView& v, std::size_t lanes, const double* y, double* sum) {
    for (std::int32_t r = 0; r < v.rows; ++r) {
        std::memcpy(sum + static_cast<std::size_t>(r) * lanes,
                    y + static_cast<std::size_t>(v.lane_row[r]) * lanes, lanes * sizeof(double));
    }
}

void scatter_sums(const SliceView& v, std::size_t lanes, const double* sum, double* y) {
    for (std::int32_t r = 0; r < v.rows; ++r) {
        std::memcpy(y + static_cast<std::size_t>(v.lane_row[r]) * lanes,
                    sum + static_cast<std::size_t>(r) * lanes, lanes * sizeof(double));
    }
}

void fold_slices_baseline(const SlicedMatrix& m, std::int32_t from, std::int32_t to,
                          std::size_t lanes, const double* x, double* y, double* sum) {
    for (std::int32_t s = from; s < to; ++s) {
        SliceView v = slice_view(m, s);
        gather_sums(v, lanes, y, sum);
        for (std::int32_t k = 0; k < v.steps; ++k) {
            for (std::int32_t r = 0; r < v.step_width[k]; ++r) {
                const double* xr = x + static_cast<std::size_t>(v.col[r]) * lanes;
                double* sr = sum + static_cast<std::size_t>(r) * lanes;
                for (std::size_t l = 0; l < lanes; ++l) sr[l] = std::fma(v.val[r], xr[l], sr[l]);
            }
            v.col += v.step_width[k];
            v.val += v.step_width[k];
        }
        scatter_sums(v, lanes, sum, y);
    }
}

// The outputs of nodes [from, to): E of an excitatory node, else I.
void node_outputs(std::size_t from, std::size_t to, const Shape& b, const unsigned char* excitatory,
                  const double* y, double* out) {
    for (std::size_t j = from; j < to; ++j) {
        const std::size_t at = excitatory[j] ? j : b.n + j;
        std::memcpy(out + j * b.lanes, y + at * b.lanes, b.lanes * sizeof(double));
    }
}

// The gain of exp's result, minus the activity, over the time constant, for
// the elements of nodes [from, to) (E) and [n + from, n + to) (I), scalar
// from lane `lane0` on.
[[gnu::always_inline]] inline void relax_lanes_scalar(std::size_t j, std::size_t lane0,
                                                      const Shape& b, const double* tau,
                                                      const double* y, double* dydt) {
    const double* fm = b.row(f_max);
    for (std::size_t l = lane0; l < b.lanes; ++l) {
        const std::size_t at = j * b.lanes + l;
        dydt[at] = (fm[l] / (dydt[at] + 1.0) - y[at]) / tau[l];
    }
}

[[gnu::always_inline]] inline void exp_arguments_lanes_scalar(std::size_t i, std::size_t lane0,
                                                              const Shape& b, const double* y,
                                                              const double* s, double* dydt) {
    const std::size_t e_at = i * b.lanes, i_at = (b.n + i) * b.lanes;
    for (std::size_t l = lane0; l < b.lanes; ++l) {
        exp_arguments_lane(y[e_at + l], y[i_at + l], s[e_at + l], b.row(alfa)[l], b.row(epsilon)[l],
                           b.row(gamma)[l], b.row(delta)[l], b.row(theta)[l], b.row(beta)[l],
                           dydt + e_at + l, dydt + i_at + l);
    }
}

void derivatives_baseline(std::size_t from, std::size_t to, const Shape& b, const double* y,
                          const double* s, double* dydt) {
    for (std::size_t i = from; i < to; ++i) exp_arguments_lanes_scalar(i, 0, b, y, s, dydt);
    exp_in_place_baseline(dydt + from * b.lanes, (to - from) * b.lanes);
    exp_in_place_baseline(dydt + (b.n + from) * b.lanes, (to - from) * b.lanes);
    for (std::size_t j = from; j < to; ++j) {
        relax_lanes_scalar(j, 0, b, b.row(tau_E), y, dydt);
        relax_lanes_scalar(b.n + j, 0, b, b.row(tau_I), y, dydt);
    }
}

#if VESK_HAVE_FMA_PATH
#define VESK_FMA_TARGET [[gnu::target("avx2,fma")]]

VESK_FMA_TARGET inline __m256d negate(__m256d v) {
    return _mm256_xor_pd(v, _mm256_set1_pd(-0.0));
}

// Lanes [lane0, lane0 + 4 * blocks) of a slice, step by step as the slice
// stores them: within a step the rows differ, so its fused multiply-adds do
// not wait on each other, and the slice's rows, whose columns ascend, sweep
// x together and mostly hit the cache. The sums of the slice's rows stay in
// `sum` (slice_rows rows of 4 * blocks lanes) until the slice is done.
constexpr std::int32_t prefetch_distance = 16;

template <int blocks>
VESK_FMA_TARGET void fold_slice_blocks(const SliceView& v, std::size_t lanes, std::size_t lane0,
                                       const double* x, double* y, double* sum) {
    constexpr std::size_t width_lanes = 4 * blocks;
    for (std::int32_t r = 0; r < v.rows; ++r) {
        const double* yr = y + static_cast<std::size_t>(v.lane_row[r]) * lanes + lane0;
        double* sr = sum + static_cast<std::size_t>(r) * width_lanes;
#pragma GCC unroll 4
        for (int q = 0; q < blocks; ++q) _mm256_storeu_pd(sr + 4 * q, _mm256_loadu_pd(yr + 4 * q));
    }
    const std::int32_t* col = v.col;
    const double* val = v.val;
    for (std::int32_t k = 0; k < v.steps; ++k) {
        const std::int32_t width = v.step_width[k];
        for (std::int32_t r = 0; r < width; ++r) {
            // The x of an entry further on is rarely in the cache: asking for
            // it early lets the misses of many entries overlap.
            if (r + prefetch_distance < width) {
                _mm_prefetch(
                    reinterpret_cast<const char*>(
                        x + static_cast<std::size_t>(col[r + prefetch_distance]) * lanes + lane0),
                    _MM_HINT_T0);
            }
            const __m256d w = _mm256_broadcast_sd(val + r);
            const double* xr = x + static_cast<std::size_t>(col[r]) * lanes + lane0;
            double* sr = sum + static_cast<std::size_t>(r) * width_lanes;
#pragma GCC unroll 4
            for (int q = 0; q < blocks; ++q) {
                _mm256_storeu_pd(sr + 4 * q, _mm256_fmadd_pd(w, _mm256_loadu_pd(xr + 4 * q),
                                                             _mm256_loadu_pd(sr + 4 * q)));
            }
        }
        col += width;
        val += width;
    }
    for (std::int32_t r = 0; r < v.rows; ++r) {
        double* yr = y + static_cast<std::size_t>(v.lane_row[r]) * lanes + lane0;
        const double* sr = sum + static_cast<std::size_t>(r) * width_lanes;
#pragma GCC unroll 4
        for (int q = 0; q < blocks; ++q) _mm256_storeu_pd(yr + 4 * q, _mm256_loadu_pd(sr + 4 * q));
    }
}

// The last `rest` (1 to 3) lanes, from lane0 on, straight into y: a pair
// in one two-lane fma, an odd one alone. Within a step the rows differ, so
// the fused multiply-adds still do not wait on each other.
template <int rest>
VESK_FMA_TARGET void fold_slice_rest(const SliceView& v, std::size_t lanes, std::size_t lane0,
                                     const double* x, double* y) {
    const std::int32_t* col = v.col;
    const double* val = v.val;
    for (std::int32_t k = 0; k < v.steps; ++k) {
        const std::int32_t width = v.step_width[k];
        for (std::int32_t r = 0; r < width; ++r) {
            const double* xr = x + static_cast<std::size_t>(col[r]) * lanes + lane0;
            double* yr = y + static_cast<std::size_t>(v.lane_row[r]) * lanes + lane0;
            if constexpr (rest >= 2) {
                _mm_storeu_pd(
                    yr, _mm_fmadd_pd(_mm_set1_pd(val[r]), _mm_loadu_pd(xr), _mm_loadu_pd(yr)));
            }
            if constexpr (rest != 2) yr[rest - 1] = std::fma(val[r], xr[rest - 1], yr[rest - 1]);
        }
        col += width;
        val += width;
    }
}

// fold_slices_baseline with the processor's fma, four lanes per vector.
VESK_FMA_TARGET void fold_slices_fma(const SlicedMatrix& m, std::int32_t from, std::int32_t to,
                                     std::size_t lanes, const double* x, double* y, double* sum) {
    for (std::int32_t s = from; s < to; ++s) {
        const SliceView v = slice_view(m, s);
        std::size_t l = 0;
        for (; l + 16 <= lanes; l += 16) fold_slice_blocks<4>(v, lanes, l, x, y, sum);
        switch ((lanes - l) / 4) {
            case 3:
                fold_slice_blocks<3>(v, lanes, l, x, y, sum);
                break;
            case 2:
                fold_slice_blocks<2>(v, lanes, l, x, y, sum);
                break;
            case 1:
                fold_slice_blocks<1>(v, lanes, l, x, y, sum);
                break;
            default:
                break;
        }
        l += (lanes - l) / 4 * 4;
        switch (lanes - l) {
            case 3:
                fold_slice_rest<3>(v, lanes, l, x, y);
                break;
            case 2:
                fold_slice_rest<2>(v, lanes, l, x, y);
                break;
            case 1:
                fold_slice_rest<1>(v, lanes, l, x, y);
                break;
            default:
                break;
        }
    }
}

VESK_FMA_TARGET void derivatives_fma(std::size_t from, std::size_t to, const Shape& b,
                                     const double* y, const double* s, double* dydt) {
    const std::size_t lanes = b.lanes;
    for (std::size_t i = from; i < to; ++i) {
        const std::size_t e_at = i * lanes, i_at = (b.n + i) * lanes;
        std::size_t l = 0;
        for (; l + 4 <= lanes; l += 4) {
            const __m256d e = _mm256_loadu_pd(y + e_at + l);
            const __m256d inh = _mm256_loadu_pd(y + i_at + l);
            const __m256d si = _mm256_loadu_pd(s + e_at + l);
            const __m256d th = _mm256_loadu_pd(b.row(theta) + l);
            const __m256d be = _mm256_loadu_pd(b.row(beta) + l);
            const __m256d a_e =
                _mm256_fmadd_pd(_mm256_loadu_pd(b.row(alfa) + l), e,
                                negate(_mm256_mul_pd(_mm256_loadu_pd(b.row(epsilon) + l), inh)));
            const __m256d a_i =
                _mm256_fmadd_pd(_mm256_loadu_pd(b.row(gamma) + l), e,
                                negate(_mm256_mul_pd(_mm256_loadu_pd(b.row(delta) + l), inh)));
            _mm256_storeu_pd(dydt + e_at + l,
                             negate(_mm256_mul_pd(be, _mm256_sub_pd(_mm256_add_pd(si, a_e), th))));
            _mm256_storeu_pd(dydt + i_at + l,
                             negate(_mm256_mul_pd(be, _mm256_sub_pd(_mm256_add_pd(si, a_i), th))));
        }
        exp_arguments_lanes_scalar(i, l, b, y, s, dydt);
    }
    exp_in_place_fma(dydt + from * lanes, (to - from) * lanes);
    exp_in_place_fma(dydt + (b.n + from) * lanes, (to - from) * lanes);

    const __m256d one = _mm256_set1_pd(1.0);
    for (const auto& [first, tau] :
         {std::pair{from, b.row(tau_E)}, std::pair{b.n + from, b.row(tau_I)}}) {
        for (std::size_t j = first; j < first + (to - from); ++j) {
            std::size_t l = 0;
            for (; l + 4 <= lanes; l += 4) {
                double* d = dydt + j * lanes + l;
                const __m256d gain = _mm256_div_pd(_mm256_loadu_pd(b.row(f_max) + l),
                                                   _mm256_add_pd(_mm256_loadu_pd(d), one));
                _mm256_storeu_pd(
                    d, _mm256_div_pd(_mm256_sub_pd(gain, _mm256_loadu_pd(y + j * lanes + l)),
                                     _mm256_loadu_pd(tau + l)));
            }
            relax_lanes_scalar(j, l, b, tau, y, dydt);
        }
    }
}
#undef VESK_FMA_TARGET
#endif

struct BatchKernels {
    void (*fold_slices)(const SlicedMatrix&, std::int32_t, std::int32_t, std::size_t, const double*,
                        double*, double*);
    void (*derivatives)(std::size_t, std::size_t, const Shape&, const double*, const double*,
                        double*);
    void (*stage_state)(std::size_t, std::size_t, double, const double*, const double*, double*);
    void (*combine_stages)(std::size_t, std::size_t, double, const double*, const double*,
                           const double*, const double*, double*);
};

constexpr BatchKernels kernels_baseline = {fold_slices_baseline, derivatives_baseline,
                                           stage_state_baseline, combine_stages_baseline};
#if VESK_HAVE_FMA_PATH
constexpr BatchKernels kernels_fma = {fold_slices_fma, derivatives_fma, stage_state_fma,
                                      combine_stages_fma};
#endif

const BatchKernels& batch_kernels() {
#if VESK_HAVE_FMA_PATH
    if (kernel_path() == KernelPath::fma) return kernels_fma;
#endif
    return kernels_baseline;
}

std::size_t stored_weights(const Network& net) {
    return (net.weights ? net.weights->values.size() : 0) +
           (net.input_weights ? net.input_weights->values.size() : 0);
}

}  // namespace

double BatchSimulator::bytes_needed(std::int32_t n_nodes, std::int32_t n_inputs,
                                    std::size_t lanes) {
    // Per node and lane: the run's state, three stages and four slopes (two
    // values each), two buffers of rates, the sums and the clamp; per node
    // the output row and the flag. Per input and lane: the value and the
    // function.
    constexpr double per_node_lane =
        (2 + 3 * 2 + 4 * 2 + 3) * sizeof(double) + sizeof(ActivationFunction);
    constexpr double per_node = sizeof(double) + sizeof(unsigned char);
    constexpr double per_input_lane = sizeof(double) + sizeof(ActivationFunction);
    const auto k = static_cast<double>(lanes);
    return (per_node_lane * k + per_node) * n_nodes + per_input_lane * k * n_inputs;
}

BatchSimulator::BatchSimulator(const Network* net, double step, std::size_t count)
    : BatchSimulator(net, step, count,
                     net ? threads_for_run(static_cast<std::size_t>(std::max(net->n_nodes, 0)),
                                           stored_weights(*net) * std::max<std::size_t>(count, 1))
                         : 1) {}

BatchSimulator::BatchSimulator(const Network* net, double step, std::size_t count, unsigned threads)
    : network(net), h(step), lane_count(count) {
    if (!network) return;
    const auto n = static_cast<std::size_t>(network->n_nodes);
    const auto m = static_cast<std::size_t>(network->n_inputs);
    lanes.assign(count,
                 Lane{network->parameters(), std::vector<ActivationFunction>(m, zero_function),
                      std::vector<ClampFunction>(n)});
    lane_parameters.assign(parameter_count * count, 0.0);
    input_values.assign(m * count, 0.0);
    for (auto* v : {&y_stage2, &y_stage3, &y_stage4, &k1, &k2, &k3, &k4}) {
        v->assign(2 * n * count, 0.0);
    }
    node_rates.assign(n * count, 0.0);
    node_input.assign(n * count, 0.0);
    output_row.assign(n, 0.0);
    node_is_excitatory.assign(n, 0);
    for (std::size_t j = 0; j < n; ++j) node_is_excitatory[j] = network->is_excitatory[j] ? 1 : 0;
    part_nodes = split_nodes(*network, threads);
    const std::vector<std::int32_t> breaks(part_nodes.begin() + 1, part_nodes.end() - 1);
    if (network->weights) sliced_weights = SlicedMatrix(*network->weights, breaks);
    if (network->input_weights)
        sliced_input_weights = SlicedMatrix(*network->input_weights, breaks);
    for (const std::size_t first : part_nodes) {
        const auto row = static_cast<std::int32_t>(first);
        part_weight_slices.push_back(sliced_weights.first_slice_from(row));
        part_input_slices.push_back(sliced_input_weights.first_slice_from(row));
    }
    slice_sums.assign(thread_count() * static_cast<std::size_t>(SlicedMatrix::slice_rows) * count,
                      0.0);
    if (thread_count() > 1) {
        node_rates_next.assign(n * count, 0.0);
        pool = std::make_unique<ThreadPool>(thread_count());
    }
}

// As Simulator::step_part, with every value widened to the lanes: each
// thread writes only its own nodes' values; the products read every node's
// rates, written before the one meeting per stage into one of two
// alternating buffers.
void BatchSimulator::step_part(unsigned part, std::vector<double>& y) {
    const Network& net = *network;
    const std::size_t n = static_cast<std::size_t>(net.n_nodes);
    const std::size_t from = part_nodes[part];
    const std::size_t to = part_nodes[part + 1];
    const std::size_t k = lane_count;
    const BatchKernels& kernels = batch_kernels();
    const Shape shape{n, k, lane_parameters.data()};
    double* sums =
        slice_sums.data() + part * static_cast<std::size_t>(SlicedMatrix::slice_rows) * k;
    struct Stage {
        const std::vector<double>& state;
        std::vector<double>& slope;
        std::vector<double>* next;  // the next stage's state, or none after the last
        double c;                   // its weight of the slope
    };
    const Stage stages[] = {{y, k1, &y_stage2, h * 0.5},
                            {y_stage2, k2, &y_stage3, h * 0.5},
                            {y_stage3, k3, &y_stage4, h},
                            {y_stage4, k4, nullptr, 0.0}};
    bool second_buffer = false;
    for (const Stage& stage : stages) {
        std::vector<double>& rates = second_buffer ? node_rates_next : node_rates;
        second_buffer = pool && !second_buffer;
        node_outputs(from, to, shape, node_is_excitatory.data(), stage.state.data(), rates.data());
        if (pool) pool->sync();
        std::fill(node_input.begin() + static_cast<std::ptrdiff_t>(from * k),
                  node_input.begin() + static_cast<std::ptrdiff_t>(to * k), 0.0);
        // Node-to-node terms first, then the external inputs, into the same sums.
        if (k == 1) {
            // One lane is laid out as a single run's vectors: its products,
            // vectorised across rows, are the ones to use.
            if (net.weights) {
                sliced_weights.multiply_add_slices(rates, node_input, part_weight_slices[part],
                                                   part_weight_slices[part + 1]);
            }
            if (net.input_weights) {
                sliced_input_weights.multiply_add_slices(
                    input_values, node_input, part_input_slices[part], part_input_slices[part + 1]);
            }
        } else {
            if (net.weights) {
                kernels.fold_slices(sliced_weights, part_weight_slices[part],
                                    part_weight_slices[part + 1], k, rates.data(),
                                    node_input.data(), sums);
            }
            if (net.input_weights) {
                kernels.fold_slices(sliced_input_weights, part_input_slices[part],
                                    part_input_slices[part + 1], k, input_values.data(),
                                    node_input.data(), sums);
            }
        }
        kernels.derivatives(from, to, shape, stage.state.data(), node_input.data(),
                            stage.slope.data());
        for (const std::size_t first : {from, n + from}) {
            const std::size_t lo = first * k, hi = (first + to - from) * k;
            if (stage.next) {
                kernels.stage_state(lo, hi, stage.c, stage.slope.data(), y.data(),
                                    stage.next->data());
            } else {
                kernels.combine_stages(lo, hi, h / 6.0, k1.data(), k2.data(), k3.data(), k4.data(),
                                       y.data());
            }
        }
    }
}

void BatchSimulator::step_rk4(std::vector<double>& y) {
    auto job = [this, &y](unsigned part) { step_part(part, y); };
    if (pool) {
        pool->run(job);
    } else {
        job(0);
    }
}

void BatchSimulator::set_parameters(std::size_t lane, const NetworkParameters& p) {
    lanes.at(lane).parameters = p;
}

void BatchSimulator::set_input_function(std::size_t lane, std::size_t k, ActivationFunction f) {
    lanes.at(lane).input_functions.at(k) = std::move(f);
}

void BatchSimulator::set_clamp_function(std::size_t lane, std::size_t node, ActivationFunction f) {
    set_clamp(lane, node, [f = std::move(f)](double t) -> std::optional<double> {
        const double v = f(t);
        if (v != 0.0) return v;
        return std::nullopt;
    });
}

void BatchSimulator::set_clamp(std::size_t lane, std::size_t node, ClampFunction f) {
    // An empty function would read as no clamp at all.
    if (!f) throw std::invalid_argument("set_clamp: no clamp function");
    lanes.at(lane).clamp_functions.at(node) = std::move(f);
}

std::int64_t BatchSimulator::check_run(double t0, double tf, std::size_t starts) const {
    if (!network) throw std::runtime_error("Simulator has null network");
    if (h <= 0) throw std::runtime_error("Step size h must be > 0");
    if (tf < t0) throw std::runtime_error("simulate: tf must be >= t0");
    if (starts != lane_count) throw std::runtime_error("simulate: one y0 per lane is needed");
    return Simulator::step_count(t0, tf, h);
}

void BatchSimulator::simulate_stream(double t0, double tf,
                                     const std::vector<std::vector<double>>& y0,
                                     const Observer& observer) {
    const std::int64_t n_steps = check_run(t0, tf, y0.size());
    const auto n = static_cast<std::size_t>(network->n_nodes);
    for (const auto& lane_y0 : y0) {
        if (lane_y0.size() != n) throw std::runtime_error("simulate: y0 size must equal n_nodes");
    }
    const std::size_t k = lane_count;
    state_.assign(2 * n * k, 0.0);
    for (std::size_t l = 0; l < k; ++l) {
        for (std::size_t i = 0; i < n; ++i) state_[i * k + l] = state_[(n + i) * k + l] = y0[l][i];
    }
    run_samples(t0, n_steps, observer);
}

void BatchSimulator::simulate_stream_from_state(double t0, double tf,
                                                const std::vector<std::vector<double>>& states,
                                                const Observer& observer) {
    const std::int64_t n_steps = check_run(t0, tf, states.size());
    const auto n = static_cast<std::size_t>(network->n_nodes);
    for (const auto& state : states) {
        if (state.size() != 2 * n) {
            throw std::runtime_error("simulate: the state must hold 2 * n_nodes values");
        }
    }
    const std::size_t k = lane_count;
    state_.assign(2 * n * k, 0.0);
    for (std::size_t l = 0; l < k; ++l) {
        for (std::size_t e = 0; e < 2 * n; ++e) state_[e * k + l] = states[l][e];
    }
    run_samples(t0, n_steps, observer);
}

void BatchSimulator::run_samples(double t0, std::int64_t n_steps, const Observer& observer) {
    // The state lives for one run only, also when the run ends by an exception.
    struct Release {
        std::vector<double>& state;
        ~Release() { std::vector<double>().swap(state); }
    } release{state_};
    std::vector<double>& y = state_;
    const auto n = static_cast<std::size_t>(network->n_nodes);
    const std::size_t k = lane_count;
    const auto m = static_cast<std::size_t>(network->n_inputs);

    for (std::size_t l = 0; l < k; ++l) {
        const NetworkParameters& p = lanes[l].parameters;
        const double values[parameter_count] = {p.alfa,  p.epsilon, p.gamma, p.delta, p.tau_E,
                                                p.tau_I, p.theta,   p.beta,  p.f_max};
        for (std::size_t q = 0; q < parameter_count; ++q) lane_parameters[q * k + l] = values[q];
    }
    // (lane, node) of every installed clamp.
    std::vector<std::pair<std::size_t, std::size_t>> clamped;
    for (std::size_t l = 0; l < k; ++l) {
        for (std::size_t j = 0; j < n; ++j) {
            if (lanes[l].clamp_functions[j]) clamped.emplace_back(l, j);
        }
    }
    for (std::int64_t i = 0; i <= n_steps; ++i) {
        const double t = std::fma(static_cast<double>(i), h, t0);
        for (const auto& [l, j] : clamped) {
            if (const std::optional<double> v = lanes[l].clamp_functions[j](t)) {
                y[j * k + l] = y[(n + j) * k + l] = *v;
            }
        }
        for (std::size_t l = 0; l < k; ++l) {
            for (std::size_t q = 0; q < m; ++q) {
                input_values[q * k + l] = lanes[l].input_functions[q](t);
            }
        }
        for (std::size_t l = 0; l < k; ++l) {
            for (std::size_t j = 0; j < n; ++j) {
                output_row[j] = y[(node_is_excitatory[j] ? j : n + j) * k + l];
            }
            observer(l, t, output_row);
        }
        if (i < n_steps) step_rk4(y);
    }
}

std::vector<std::vector<std::vector<double>>> BatchSimulator::simulate(
    double t0, double tf, const std::vector<std::vector<double>>& y0) {
    std::vector<std::vector<std::vector<double>>> rows(lane_count);
    simulate_stream(t0, tf, y0, [&rows](std::size_t lane, double, const std::vector<double>& row) {
        rows[lane].push_back(row);
    });
    return rows;
}

}  // namespace vesk
