#include "sim/batch_simulator.hpp"

#include "sim/kernel_path.hpp"

#if VESK_HAVE_FMA_PATH
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
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

// Node-to-node terms, then the inputs, folded into each lane's sum of row r
// in stored order from 0.0, lanes [from, to) one by one.
[[gnu::always_inline]] inline void fold_row_scalar(const SparseMatrix* w, const SparseMatrix* v,
                                                   std::size_t r, std::size_t lanes,
                                                   std::size_t from, std::size_t to,
                                                   const double* rates, const double* inputs,
                                                   double* s) {
    for (std::size_t l = from; l < to; ++l) {
        double sum = 0.0;
        for (const auto& [m, x] : {std::pair{w, rates}, std::pair{v, inputs}}) {
            if (!m) continue;
            const auto begin = static_cast<std::size_t>(m->row_ptr[r]);
            const auto end = static_cast<std::size_t>(m->row_ptr[r + 1]);
            for (std::size_t k = begin; k < end; ++k) {
                sum = std::fma(m->values[k], x[static_cast<std::size_t>(m->col_idx[k]) * lanes + l],
                               sum);
            }
        }
        s[r * lanes + l] = sum;
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

void products_baseline(std::size_t from, std::size_t to, const Shape& b, const SparseMatrix* w,
                       const SparseMatrix* v, const double* rates, const double* inputs,
                       double* s) {
    for (std::size_t r = from; r < to; ++r)
        fold_row_scalar(w, v, r, b.lanes, 0, b.lanes, rates, inputs, s);
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

// Folds one matrix row into `blocks` vectors of four lanes held in
// registers: each weight is loaded once and multiplies every lane.
template <int blocks>
VESK_FMA_TARGET [[gnu::always_inline]] inline void fold_row_blocks(const SparseMatrix& m,
                                                                   std::size_t r, std::size_t lanes,
                                                                   const double* x, __m256d* acc) {
    const auto begin = static_cast<std::size_t>(m.row_ptr[r]);
    const auto end = static_cast<std::size_t>(m.row_ptr[r + 1]);
    const std::int32_t* col = m.col_idx.data();
    const double* val = m.values.data();
    for (std::size_t k = begin; k < end; ++k) {
        const __m256d wk = _mm256_broadcast_sd(val + k);
        const double* xk = x + static_cast<std::size_t>(col[k]) * lanes;
        for (int q = 0; q < blocks; ++q)
            acc[q] = _mm256_fmadd_pd(wk, _mm256_loadu_pd(xk + 4 * q), acc[q]);
    }
}

// Lanes [lane0, lane0 + 4 * blocks) of row r.
template <int blocks>
VESK_FMA_TARGET [[gnu::always_inline]] inline void fold_lanes(const SparseMatrix* w,
                                                              const SparseMatrix* v, std::size_t r,
                                                              std::size_t lanes, std::size_t lane0,
                                                              const double* rates,
                                                              const double* inputs, double* s) {
    __m256d acc[blocks];
    for (int q = 0; q < blocks; ++q) acc[q] = _mm256_setzero_pd();
    if (w) fold_row_blocks<blocks>(*w, r, lanes, rates + lane0, acc);
    if (v) fold_row_blocks<blocks>(*v, r, lanes, inputs + lane0, acc);
    for (int q = 0; q < blocks; ++q) _mm256_storeu_pd(s + r * lanes + lane0 + 4 * q, acc[q]);
}

VESK_FMA_TARGET void products_fma(std::size_t from, std::size_t to, const Shape& b,
                                  const SparseMatrix* w, const SparseMatrix* v, const double* rates,
                                  const double* inputs, double* s) {
    const std::size_t lanes = b.lanes;
    for (std::size_t r = from; r < to; ++r) {
        std::size_t l = 0;
        for (; l + 16 <= lanes; l += 16) fold_lanes<4>(w, v, r, lanes, l, rates, inputs, s);
        switch ((lanes - l) / 4) {
            case 3:
                fold_lanes<3>(w, v, r, lanes, l, rates, inputs, s);
                l += 12;
                break;
            case 2:
                fold_lanes<2>(w, v, r, lanes, l, rates, inputs, s);
                l += 8;
                break;
            case 1:
                fold_lanes<1>(w, v, r, lanes, l, rates, inputs, s);
                l += 4;
                break;
            default:
                break;
        }
        fold_row_scalar(w, v, r, lanes, l, lanes, rates, inputs, s);
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
    void (*products)(std::size_t, std::size_t, const Shape&, const SparseMatrix*,
                     const SparseMatrix*, const double*, const double*, double*);
    void (*derivatives)(std::size_t, std::size_t, const Shape&, const double*, const double*,
                        double*);
    void (*stage_state)(std::size_t, std::size_t, double, const double*, const double*, double*);
    void (*combine_stages)(std::size_t, std::size_t, double, const double*, const double*,
                           const double*, const double*, double*);
};

constexpr BatchKernels kernels_baseline = {products_baseline, derivatives_baseline,
                                           stage_state_baseline, combine_stages_baseline};
#if VESK_HAVE_FMA_PATH
constexpr BatchKernels kernels_fma = {products_fma, derivatives_fma, stage_state_fma,
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

NetworkParameters network_parameters(const Network& net) {
    return {net.alfa,  net.epsilon, net.gamma, net.delta, net.tau_E,
            net.tau_I, net.theta,   net.beta,  net.f_max};
}

void set_network_parameters(Network& net, const NetworkParameters& p) {
    net.alfa = p.alfa;
    net.epsilon = p.epsilon;
    net.gamma = p.gamma;
    net.delta = p.delta;
    net.tau_E = p.tau_E;
    net.tau_I = p.tau_I;
    net.theta = p.theta;
    net.beta = p.beta;
    net.f_max = p.f_max;
}

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
    lanes.assign(
        count, Lane{network_parameters(*network), std::vector<ActivationFunction>(m, zero_function),
                    std::vector<ActivationFunction>(n, zero_function)});
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
    const SparseMatrix* w = net.weights ? &*net.weights : nullptr;
    const SparseMatrix* v = net.input_weights ? &*net.input_weights : nullptr;
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
        kernels.products(from, to, shape, w, v, rates.data(), input_values.data(),
                         node_input.data());
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

void BatchSimulator::simulate_stream(double t0, double tf,
                                     const std::vector<std::vector<double>>& y0,
                                     const Observer& observer) {
    if (!network) throw std::runtime_error("Simulator has null network");
    if (h <= 0) throw std::runtime_error("Step size h must be > 0");
    if (tf < t0) throw std::runtime_error("simulate: tf must be >= t0");
    if (y0.size() != lane_count) throw std::runtime_error("simulate: one y0 per lane is needed");
    const auto n = static_cast<std::size_t>(network->n_nodes);
    for (const auto& lane_y0 : y0) {
        if (lane_y0.size() != n) throw std::runtime_error("simulate: y0 size must equal n_nodes");
    }
    const double steps = std::round((tf - t0) / h);
    if (!(steps >= 0.0 && steps <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
        throw std::runtime_error(
            "simulate: number of steps (tf - t0) / h must be a finite value below 2^31");
    }
    const auto n_steps = static_cast<std::int64_t>(steps);
    const std::size_t k = lane_count;
    const auto m = static_cast<std::size_t>(network->n_inputs);

    for (std::size_t l = 0; l < k; ++l) {
        const NetworkParameters& p = lanes[l].parameters;
        const double values[parameter_count] = {p.alfa,  p.epsilon, p.gamma, p.delta, p.tau_E,
                                                p.tau_I, p.theta,   p.beta,  p.f_max};
        for (std::size_t q = 0; q < parameter_count; ++q) lane_parameters[q * k + l] = values[q];
    }
    std::vector<double> y(2 * n * k);
    for (std::size_t l = 0; l < k; ++l) {
        for (std::size_t i = 0; i < n; ++i) y[i * k + l] = y[(n + i) * k + l] = y0[l][i];
    }
    // (lane, node) of every clamp that is not the constructor's zero function.
    std::vector<std::pair<std::size_t, std::size_t>> clamped;
    for (std::size_t l = 0; l < k; ++l) {
        for (std::size_t j = 0; j < n; ++j) {
            const auto* f = lanes[l].clamp_functions[j].target<double (*)(double)>();
            if (!f || *f != zero_function) clamped.emplace_back(l, j);
        }
    }
    for (std::int64_t i = 0; i <= n_steps; ++i) {
        const double t = std::fma(static_cast<double>(i), h, t0);
        for (const auto& [l, j] : clamped) {
            const double v = lanes[l].clamp_functions[j](t);
            if (v != 0.0) y[j * k + l] = y[(n + j) * k + l] = v;
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
