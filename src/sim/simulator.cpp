#include "sim/simulator.hpp"

#include "sim/exp.hpp"

#if VESK_HAVE_FMA_PATH
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <tuple>

namespace vesk {
namespace {

double zero_function(double) {
    return 0.0;
}

// The element-wise loops of one right-hand side and of the RK4 stages. Each
// exists as a plain scalar loop over a range of indices, which is the whole
// baseline path, and, on the fma path, as AVX2 code over blocks of four
// elements with the scalar loop for the rest. A vector instruction does
// exactly what the scalar one does to each element, in the same order, so
// both give the same bits; the vector code is written out so that it does
// not depend on the optimisation level the project is built with.

struct NodeParams {
    double alfa, epsilon, gamma, delta, theta, beta, f_max, tau_E, tau_I;
};

// out_j of state y for j in [from, n): E_j for an excitatory node, else I_j.
[[gnu::always_inline]] inline void node_outputs_scalar(std::size_t from, std::size_t n,
                                                       const unsigned char* excitatory,
                                                       const double* y, double* out) {
    for (std::size_t j = from; j < n; ++j) out[j] = excitatory[j] ? y[j] : y[n + j];
}

// Pass 1 of the derivatives for nodes [from, n): the argument of exp of
// both equations, written into dydt.
[[gnu::always_inline]] inline void exp_arguments_scalar(std::size_t from, std::size_t n,
                                                        const NodeParams& p, const double* y,
                                                        const double* s, double* dydt) {
    for (std::size_t i = from; i < n; ++i) {
        const double e = y[i];
        const double inh = y[n + i];
        const double a_e = std::fma(p.alfa, e, -(p.epsilon * inh));
        const double a_i = std::fma(p.gamma, e, -(p.delta * inh));
        dydt[i] = -(p.beta * ((s[i] + a_e) - p.theta));
        dydt[n + i] = -(p.beta * ((s[i] + a_i) - p.theta));
    }
}

// Pass 3 for elements [from, to): the gain of exp's result, minus the
// activity, over the time constant.
[[gnu::always_inline]] inline void relax_scalar(std::size_t from, std::size_t to, double f_max,
                                                double tau, const double* y, double* dydt) {
    for (std::size_t j = from; j < to; ++j) dydt[j] = (f_max / (dydt[j] + 1.0) - y[j]) / tau;
}

// stage[j] = fma(c, k[j], y[j]) for j in [from, len).
[[gnu::always_inline]] inline void stage_state_scalar(std::size_t from, std::size_t len, double c,
                                                      const double* k, const double* y,
                                                      double* stage) {
    for (std::size_t j = from; j < len; ++j) stage[j] = std::fma(c, k[j], y[j]);
}

// y[j] += h/6 * (k1 + 2 k2 + 2 k3 + k4), summed left to right, j in [from, len).
[[gnu::always_inline]] inline void combine_stages_scalar(std::size_t from, std::size_t len,
                                                         double h_sixth, const double* k1,
                                                         const double* k2, const double* k3,
                                                         const double* k4, double* y) {
    for (std::size_t j = from; j < len; ++j) {
        double c = std::fma(k2[j], 2.0, k1[j]);
        c = std::fma(k3[j], 2.0, c);
        c = c + k4[j];
        y[j] = std::fma(h_sixth, c, y[j]);
    }
}

void node_outputs_baseline(std::size_t n, const unsigned char* excitatory, const double* y,
                           double* out) {
    node_outputs_scalar(0, n, excitatory, y, out);
}

void derivatives_baseline(std::size_t n, const NodeParams& p, const double* y, const double* s,
                          double* dydt) {
    exp_arguments_scalar(0, n, p, y, s, dydt);
    exp_in_place_baseline(dydt, 2 * n);
    relax_scalar(0, n, p.f_max, p.tau_E, y, dydt);
    relax_scalar(n, 2 * n, p.f_max, p.tau_I, y, dydt);
}

void stage_state_baseline(std::size_t len, double c, const double* k, const double* y,
                          double* stage) {
    stage_state_scalar(0, len, c, k, y, stage);
}

void combine_stages_baseline(std::size_t len, double h_sixth, const double* k1, const double* k2,
                             const double* k3, const double* k4, double* y) {
    combine_stages_scalar(0, len, h_sixth, k1, k2, k3, k4, y);
}

#if VESK_HAVE_FMA_PATH
#define VESK_FMA_TARGET [[gnu::target("avx2,fma")]]

// -v, as the scalar unary minus does it: the sign bit flipped.
VESK_FMA_TARGET inline __m256d negate(__m256d v) {
    return _mm256_xor_pd(v, _mm256_set1_pd(-0.0));
}

VESK_FMA_TARGET void node_outputs_fma(std::size_t n, const unsigned char* excitatory,
                                      const double* y, double* out) {
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        std::int32_t flags;
        std::memcpy(&flags, excitatory + j, sizeof flags);
        // All ones in the lanes of inhibitory nodes.
        const __m256i inhibitory = _mm256_cmpeq_epi64(
            _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(flags)), _mm256_setzero_si256());
        _mm256_storeu_pd(out + j,
                         _mm256_blendv_pd(_mm256_loadu_pd(y + j), _mm256_loadu_pd(y + n + j),
                                          _mm256_castsi256_pd(inhibitory)));
    }
    node_outputs_scalar(j, n, excitatory, y, out);
}

VESK_FMA_TARGET void derivatives_fma(std::size_t n, const NodeParams& p, const double* y,
                                     const double* s, double* dydt) {
    const __m256d alfa = _mm256_set1_pd(p.alfa), epsilon = _mm256_set1_pd(p.epsilon);
    const __m256d gamma = _mm256_set1_pd(p.gamma), delta = _mm256_set1_pd(p.delta);
    const __m256d theta = _mm256_set1_pd(p.theta), beta = _mm256_set1_pd(p.beta);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256d e = _mm256_loadu_pd(y + i);
        const __m256d inh = _mm256_loadu_pd(y + n + i);
        const __m256d si = _mm256_loadu_pd(s + i);
        const __m256d a_e = _mm256_fmadd_pd(alfa, e, negate(_mm256_mul_pd(epsilon, inh)));
        const __m256d a_i = _mm256_fmadd_pd(gamma, e, negate(_mm256_mul_pd(delta, inh)));
        _mm256_storeu_pd(dydt + i,
                         negate(_mm256_mul_pd(beta, _mm256_sub_pd(_mm256_add_pd(si, a_e), theta))));
        _mm256_storeu_pd(dydt + n + i,
                         negate(_mm256_mul_pd(beta, _mm256_sub_pd(_mm256_add_pd(si, a_i), theta))));
    }
    exp_arguments_scalar(i, n, p, y, s, dydt);

    // The three passes run apart so that the 2n exponentials run back to back.
    exp_in_place_fma(dydt, 2 * n);

    const __m256d f_max = _mm256_set1_pd(p.f_max), one = _mm256_set1_pd(1.0);
    for (const auto& [from, to, tau_value] :
         {std::tuple{std::size_t{0}, n, p.tau_E}, std::tuple{n, 2 * n, p.tau_I}}) {
        const __m256d tau = _mm256_set1_pd(tau_value);
        std::size_t j = from;
        for (; j + 4 <= to; j += 4) {
            const __m256d gain =
                _mm256_div_pd(f_max, _mm256_add_pd(_mm256_loadu_pd(dydt + j), one));
            _mm256_storeu_pd(dydt + j,
                             _mm256_div_pd(_mm256_sub_pd(gain, _mm256_loadu_pd(y + j)), tau));
        }
        relax_scalar(j, to, p.f_max, tau_value, y, dydt);
    }
}

VESK_FMA_TARGET void stage_state_fma(std::size_t len, double c, const double* k, const double* y,
                                     double* stage) {
    const __m256d cv = _mm256_set1_pd(c);
    std::size_t j = 0;
    for (; j + 4 <= len; j += 4) {
        _mm256_storeu_pd(stage + j,
                         _mm256_fmadd_pd(cv, _mm256_loadu_pd(k + j), _mm256_loadu_pd(y + j)));
    }
    stage_state_scalar(j, len, c, k, y, stage);
}

VESK_FMA_TARGET void combine_stages_fma(std::size_t len, double h_sixth, const double* k1,
                                        const double* k2, const double* k3, const double* k4,
                                        double* y) {
    const __m256d two = _mm256_set1_pd(2.0), sixth = _mm256_set1_pd(h_sixth);
    std::size_t j = 0;
    for (; j + 4 <= len; j += 4) {
        __m256d c = _mm256_fmadd_pd(_mm256_loadu_pd(k2 + j), two, _mm256_loadu_pd(k1 + j));
        c = _mm256_fmadd_pd(_mm256_loadu_pd(k3 + j), two, c);
        c = _mm256_add_pd(c, _mm256_loadu_pd(k4 + j));
        _mm256_storeu_pd(y + j, _mm256_fmadd_pd(sixth, c, _mm256_loadu_pd(y + j)));
    }
    combine_stages_scalar(j, len, h_sixth, k1, k2, k3, k4, y);
}
#undef VESK_FMA_TARGET
#endif

struct StepKernels {
    void (*node_outputs)(std::size_t, const unsigned char*, const double*, double*);
    void (*derivatives)(std::size_t, const NodeParams&, const double*, const double*, double*);
    void (*stage_state)(std::size_t, double, const double*, const double*, double*);
    void (*combine_stages)(std::size_t, double, const double*, const double*, const double*,
                           const double*, double*);
};

constexpr StepKernels step_kernels_baseline = {node_outputs_baseline, derivatives_baseline,
                                               stage_state_baseline, combine_stages_baseline};
#if VESK_HAVE_FMA_PATH
constexpr StepKernels step_kernels_fma = {node_outputs_fma, derivatives_fma, stage_state_fma,
                                          combine_stages_fma};
#endif

const StepKernels& step_kernels() {
#if VESK_HAVE_FMA_PATH
    if (kernel_path() == KernelPath::fma) return step_kernels_fma;
#endif
    return step_kernels_baseline;
}

NodeParams node_params(const Network& net) {
    return {net.alfa, net.epsilon, net.gamma, net.delta, net.theta,
            net.beta, net.f_max,   net.tau_E, net.tau_I};
}

}  // namespace

double Simulator::bytes_needed(std::int32_t n_nodes, std::int32_t n_inputs) {
    // Per node: two state values (E, I) in each of the run's state, three
    // stages and four slopes, the rates, inputs and output row, the flag and
    // the clamp. Per input: the sampled value and the function.
    constexpr double per_node = (2 + 3 * 2 + 4 * 2 + 3) * sizeof(double) + sizeof(unsigned char) +
                                sizeof(ActivationFunction);
    constexpr double per_input = sizeof(double) + sizeof(ActivationFunction);
    return per_node * n_nodes + per_input * n_inputs;
}

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
    node_is_excitatory.assign(n, 0);
    for (std::size_t j = 0; j < n; ++j) node_is_excitatory[j] = network->is_excitatory[j] ? 1 : 0;
    // Only the fma path multiplies with the sliced copies: on the baseline
    // path the C library's fma, not memory, sets the pace.
    if (default_kernel_path() == KernelPath::fma) {
        if (network->weights) sliced_weights = SlicedMatrix(*network->weights);
        if (network->input_weights) sliced_input_weights = SlicedMatrix(*network->input_weights);
    }
}

double Simulator::sigmoid(double x) const {
    const double d = x - network->theta;
    const double e = vesk::exp(-(network->beta * d));
    return network->f_max / (e + 1.0);
}

void Simulator::rhs(const std::vector<double>& y, double /*t*/, std::vector<double>& dydt) const {
    const Network& net = *network;
    const std::size_t n = static_cast<std::size_t>(net.n_nodes);
    const StepKernels& kernels = step_kernels();
    kernels.node_outputs(n, node_is_excitatory.data(), y.data(), node_rates.data());
    std::fill(node_input.begin(), node_input.end(), 0.0);
    // Node-to-node terms first, then the external inputs, into the same sums.
    if (kernel_path() == KernelPath::fma) {
        if (net.weights) sliced_weights.multiply_add(node_rates, node_input);
        if (net.input_weights) sliced_input_weights.multiply_add(input_values, node_input);
    } else {
        if (net.weights) net.weights->multiply_add(node_rates, node_input);
        if (net.input_weights) net.input_weights->multiply_add(input_values, node_input);
    }
    const NodeParams params = node_params(net);
    kernels.derivatives(n, params, y.data(), node_input.data(), dydt.data());
}

void Simulator::step_rk4(std::vector<double>& y, double t) {
    const std::size_t len = y.size();
    const double half_h = h * 0.5;
    const double t_half = std::fma(h, 0.5, t);
    const StepKernels& kernels = step_kernels();

    rhs(y, t, k1);
    kernels.stage_state(len, half_h, k1.data(), y.data(), y_stage2.data());
    rhs(y_stage2, t_half, k2);
    kernels.stage_state(len, half_h, k2.data(), y.data(), y_stage3.data());
    rhs(y_stage3, t_half, k3);
    kernels.stage_state(len, h, k3.data(), y.data(), y_stage4.data());
    rhs(y_stage4, t + h, k4);
    kernels.combine_stages(len, h / 6.0, k1.data(), k2.data(), k3.data(), k4.data(), y.data());
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
        step_kernels().node_outputs(n, node_is_excitatory.data(), y.data(), output_row.data());
        observer(t, output_row);
        if (i < n_steps) step_rk4(y, t);
    }
}

std::vector<std::vector<double>> Simulator::simulate(double t0, double tf,
                                                     const std::vector<double>& y0) {
    std::vector<std::vector<double>> rows;
    simulate_stream(t0, tf, y0,
                    [&rows](double, const std::vector<double>& row) { rows.push_back(row); });
    return rows;
}

}  // namespace vesk
