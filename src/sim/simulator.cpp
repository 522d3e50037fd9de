#include "sim/simulator.hpp"

#include "sim/exp.hpp"
#include "sim/rk4_stages.hpp"
#include "sim/sample_driver.hpp"

#if VESK_HAVE_FMA_PATH
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "sim/thread_count.hpp"

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

// out_j of state y for j in [from, to), n nodes: E_j for an excitatory
// node, else I_j.
[[gnu::always_inline]] inline void node_outputs_scalar(std::size_t from, std::size_t to,
                                                       std::size_t n,
                                                       const unsigned char* excitatory,
                                                       const double* y, double* out) {
    for (std::size_t j = from; j < to; ++j) out[j] = excitatory[j] ? y[j] : y[n + j];
}

// Pass 1 of the derivatives for nodes [from, to): the argument of exp of
// both equations, written into dydt.
[[gnu::always_inline]] inline void exp_arguments_scalar(std::size_t from, std::size_t to,
                                                        std::size_t n, const NetworkParameters& p,
                                                        const double* y, const double* s,
                                                        double* dydt) {
    for (std::size_t i = from; i < to; ++i) {
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

void node_outputs_baseline(std::size_t from, std::size_t to, std::size_t n,
                           const unsigned char* excitatory, const double* y, double* out) {
    node_outputs_scalar(from, to, n, excitatory, y, out);
}

void derivatives_baseline(std::size_t from, std::size_t to, std::size_t n,
                          const NetworkParameters& p, const double* y, const double* s,
                          double* dydt) {
    exp_arguments_scalar(from, to, n, p, y, s, dydt);
    exp_in_place_baseline(dydt + from, to - from);
    exp_in_place_baseline(dydt + n + from, to - from);
    relax_scalar(from, to, p.f_max, p.tau_E, y, dydt);
    relax_scalar(n + from, n + to, p.f_max, p.tau_I, y, dydt);
}

#if VESK_HAVE_FMA_PATH
#define VESK_FMA_TARGET [[gnu::target("avx2,fma")]]

// -v, as the scalar unary minus does it: the sign bit flipped.
VESK_FMA_TARGET inline __m256d negate(__m256d v) {
    return _mm256_xor_pd(v, _mm256_set1_pd(-0.0));
}

// Each vector loop below takes blocks of four from the start of its range
// and leaves the rest to the scalar loop.

VESK_FMA_TARGET void node_outputs_fma(std::size_t from, std::size_t to, std::size_t n,
                                      const unsigned char* excitatory, const double* y,
                                      double* out) {
    std::size_t j = from;
    for (; j + 4 <= to; j += 4) {
        std::int32_t flags;
        std::memcpy(&flags, excitatory + j, sizeof flags);
        // All ones in the lanes of inhibitory nodes.
        const __m256i inhibitory = _mm256_cmpeq_epi64(
            _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(flags)), _mm256_setzero_si256());
        _mm256_storeu_pd(out + j,
                         _mm256_blendv_pd(_mm256_loadu_pd(y + j), _mm256_loadu_pd(y + n + j),
                                          _mm256_castsi256_pd(inhibitory)));
    }
    node_outputs_scalar(j, to, n, excitatory, y, out);
}

VESK_FMA_TARGET void derivatives_fma(std::size_t from, std::size_t to, std::size_t n,
                                     const NetworkParameters& p, const double* y, const double* s,
                                     double* dydt) {
    const __m256d alfa = _mm256_set1_pd(p.alfa), epsilon = _mm256_set1_pd(p.epsilon);
    const __m256d gamma = _mm256_set1_pd(p.gamma), delta = _mm256_set1_pd(p.delta);
    const __m256d theta = _mm256_set1_pd(p.theta), beta = _mm256_set1_pd(p.beta);
    std::size_t i = from;
    for (; i + 4 <= to; i += 4) {
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
    exp_arguments_scalar(i, to, n, p, y, s, dydt);

    // The three passes run apart so that the exponentials of each half of
    // the range run back to back.
    exp_in_place_fma(dydt + from, to - from);
    exp_in_place_fma(dydt + n + from, to - from);

    const __m256d f_max = _mm256_set1_pd(p.f_max), one = _mm256_set1_pd(1.0);
    for (const auto& [first, last, tau_value] :
         {std::tuple{from, to, p.tau_E}, std::tuple{n + from, n + to, p.tau_I}}) {
        const __m256d tau = _mm256_set1_pd(tau_value);
        std::size_t j = first;
        for (; j + 4 <= last; j += 4) {
            const __m256d gain =
                _mm256_div_pd(f_max, _mm256_add_pd(_mm256_loadu_pd(dydt + j), one));
            _mm256_storeu_pd(dydt + j,
                             _mm256_div_pd(_mm256_sub_pd(gain, _mm256_loadu_pd(y + j)), tau));
        }
        relax_scalar(j, last, p.f_max, tau_value, y, dydt);
    }
}

#undef VESK_FMA_TARGET
#endif

struct StepKernels {
    void (*node_outputs)(std::size_t, std::size_t, std::size_t, const unsigned char*, const double*,
                         double*);
    void (*derivatives)(std::size_t, std::size_t, std::size_t, const NetworkParameters&,
                        const double*, const double*, double*);
    void (*stage_state)(std::size_t, std::size_t, double, const double*, const double*, double*);
    void (*combine_stages)(std::size_t, std::size_t, double, const double*, const double*,
                           const double*, const double*, double*);
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

}  // namespace

std::vector<std::size_t> split_nodes(const Network& net, unsigned threads) {
    const auto n = static_cast<std::size_t>(net.n_nodes);
    const auto chunk = static_cast<std::size_t>(SlicedMatrix::slice_rows);
    const std::size_t chunks = (n + chunk - 1) / chunk;
    const std::size_t parts = std::max<std::size_t>(std::min<std::size_t>(threads, chunks), 1);
    const auto row_length = [](const std::optional<SparseMatrix>& m, std::size_t row) {
        if (!m || row + 1 >= m->row_ptr().size()) return std::size_t{0};
        return static_cast<std::size_t>(m->row_ptr()[row + 1] - m->row_ptr()[row]);
    };
    constexpr std::size_t node_work = 16;
    std::vector<std::size_t> done(chunks + 1, 0);  // work of the chunks before each
    for (std::size_t c = 0; c < chunks; ++c) {
        std::size_t work = 0;
        for (std::size_t i = c * chunk; i < std::min(n, (c + 1) * chunk); ++i) {
            work += node_work + row_length(net.weights, i) + row_length(net.input_weights, i);
        }
        done[c + 1] = done[c] + work;
    }
    std::vector<std::size_t> bounds{0};
    std::size_t c = 0;
    for (std::size_t p = 1; p < parts; ++p) {
        const double share =
            static_cast<double>(done[chunks]) * static_cast<double>(p) / static_cast<double>(parts);
        // At least one chunk for this part and for each one after it.
        ++c;
        while (c < chunks - (parts - p) && static_cast<double>(done[c]) < share) ++c;
        bounds.push_back(c * chunk);
    }
    bounds.push_back(n);
    return bounds;
}

double Simulator::bytes_needed(std::int32_t n_nodes, std::int32_t n_inputs) {
    // Per node: two state values (E, I) in each of the run's state, three
    // stages and four slopes, the rates, inputs and output row, the flag and
    // the clamp. Per input: the sampled value and the function. (Threaded
    // runs hold one more rate per node; the estimate, and so the message of
    // a refused model, stays as it was.)
    constexpr double per_node = (2 + 3 * 2 + 4 * 2 + 3) * sizeof(double) + sizeof(unsigned char) +
                                sizeof(ActivationFunction);
    constexpr double per_input = sizeof(double) + sizeof(ActivationFunction);
    return per_node * n_nodes + per_input * n_inputs;
}

Simulator::Simulator(const Network* net, double step)
    : Simulator(
          net, step,
          net ? threads_for_run(static_cast<std::size_t>(std::max(net->n_nodes, 0)),
                                (net->weights ? net->weights->values().size() : 0) +
                                    (net->input_weights ? net->input_weights->values().size() : 0))
              : 1) {}

Simulator::Simulator(const Network* net, double step, unsigned threads) : network(net), h(step) {
    if (!network) return;
    parameters_ = network->parameters;
    const auto n = static_cast<std::size_t>(network->n_nodes);
    const auto m = static_cast<std::size_t>(network->n_inputs);
    input_functions.assign(m, ActivationFunction(zero_function));
    clamps_ = ClampTable(n);
    input_values.assign(m, 0.0);
    for (auto* v : {&y_stage2, &y_stage3, &y_stage4, &k1, &k2, &k3, &k4}) v->assign(2 * n, 0.0);
    node_rates.assign(n, 0.0);
    node_input.assign(n, 0.0);
    output_row.assign(n, 0.0);
    node_is_excitatory.assign(n, 0);
    for (std::size_t j = 0; j < n; ++j) node_is_excitatory[j] = network->is_excitatory[j] ? 1 : 0;

    part_nodes = split_nodes(*network, threads);
    const std::vector<std::int32_t> breaks(part_nodes.begin() + 1, part_nodes.end() - 1);
    // Only the fma path multiplies with the sliced copies: on the baseline
    // path the C library's fma, not memory, sets the pace.
    if (default_kernel_path() == KernelPath::fma) {
        if (network->weights) sliced_weights = SlicedMatrix(*network->weights, breaks);
        if (network->input_weights) {
            sliced_input_weights = SlicedMatrix(*network->input_weights, breaks);
        }
    }
    for (const std::size_t first : part_nodes) {
        const auto row = static_cast<std::int32_t>(first);
        part_weight_slices.push_back(sliced_weights.first_slice_from(row));
        part_input_slices.push_back(sliced_input_weights.first_slice_from(row));
    }
    if (thread_count() > 1) {
        node_rates_next.assign(n, 0.0);
        pool = std::make_unique<ThreadPool>(thread_count());
    }
}

double Simulator::sigmoid(double x) const {
    const double d = x - parameters_.theta;
    const double e = vesk::exp(-(parameters_.beta * d));
    return parameters_.f_max / (e + 1.0);
}

void Simulator::rhs(const std::vector<double>& y, double /*t*/, std::vector<double>& dydt) const {
    const Network& net = *network;
    const std::size_t n = static_cast<std::size_t>(net.n_nodes);
    const StepKernels& kernels = step_kernels();
    kernels.node_outputs(0, n, n, node_is_excitatory.data(), y.data(), node_rates.data());
    std::fill(node_input.begin(), node_input.end(), 0.0);
    // Node-to-node terms first, then the external inputs, into the same sums.
    if (kernel_path() == KernelPath::fma) {
        if (net.weights) sliced_weights.multiply_add(node_rates, node_input);
        if (net.input_weights) sliced_input_weights.multiply_add(input_values, node_input);
    } else {
        if (net.weights) net.weights->multiply_add(node_rates, node_input);
        if (net.input_weights) net.input_weights->multiply_add(input_values, node_input);
    }
    kernels.derivatives(0, n, n, parameters_, y.data(), node_input.data(), dydt.data());
}

void Simulator::products_part(unsigned part, const std::vector<double>& rates) {
    const Network& net = *network;
    // Node-to-node terms first, then the external inputs, into the same sums.
    if (kernel_path() == KernelPath::fma) {
        if (net.weights) {
            sliced_weights.multiply_add_slices(rates.data(), node_input.data(),
                                               part_weight_slices[part],
                                               part_weight_slices[part + 1]);
        }
        if (net.input_weights) {
            sliced_input_weights.multiply_add_slices(input_values.data(), node_input.data(),
                                                     part_input_slices[part],
                                                     part_input_slices[part + 1]);
        }
        return;
    }
    const auto from = static_cast<std::int32_t>(part_nodes[part]);
    const auto to = static_cast<std::int32_t>(part_nodes[part + 1]);
    if (net.weights) net.weights->multiply_add_rows(rates, node_input, from, to);
    if (net.input_weights) net.input_weights->multiply_add_rows(input_values, node_input, from, to);
}

// Every value a thread writes belongs to its own nodes, except that the
// products read every node's output: the one meeting per stage comes after
// the outputs are written, and two buffers alternate so that a thread
// already writing the next stage's outputs never overwrites ones that a
// slower thread is still reading.
void Simulator::step_part(unsigned part, std::vector<double>& y) {
    const auto n = static_cast<std::size_t>(network->n_nodes);
    const std::size_t from = part_nodes[part];
    const std::size_t to = part_nodes[part + 1];
    const StepKernels& kernels = step_kernels();
    const NetworkParameters& params = parameters_;
    struct Stage {
        const std::vector<double>& state;
        std::vector<double>& k;
        std::vector<double>* next;  // the next stage's state, or none after the last
        double c;                   // its weight of k
    };
    const Stage stages[] = {{y, k1, &y_stage2, h * 0.5},
                            {y_stage2, k2, &y_stage3, h * 0.5},
                            {y_stage3, k3, &y_stage4, h},
                            {y_stage4, k4, nullptr, 0.0}};
    // One thread needs no second buffer.
    bool second_buffer = false;
    for (const Stage& stage : stages) {
        std::vector<double>& rates = second_buffer ? node_rates_next : node_rates;
        second_buffer = pool && !second_buffer;
        kernels.node_outputs(from, to, n, node_is_excitatory.data(), stage.state.data(),
                             rates.data());
        if (pool) pool->sync();
        std::fill(node_input.begin() + static_cast<std::ptrdiff_t>(from),
                  node_input.begin() + static_cast<std::ptrdiff_t>(to), 0.0);
        products_part(part, rates);
        kernels.derivatives(from, to, n, params, stage.state.data(), node_input.data(),
                            stage.k.data());
        for (const auto& [first, last] : {std::pair{from, to}, std::pair{n + from, n + to}}) {
            if (stage.next) {
                kernels.stage_state(first, last, stage.c, stage.k.data(), y.data(),
                                    stage.next->data());
            } else {
                kernels.combine_stages(first, last, h / 6.0, k1.data(), k2.data(), k3.data(),
                                       k4.data(), y.data());
            }
        }
    }
}

void Simulator::step_rk4(std::vector<double>& y, double /*t*/) {
    // The stage times do not enter the derivatives: the inputs are held
    // over the whole step.
    auto job = [this, &y](unsigned part) { step_part(part, y); };
    if (pool) {
        pool->run(job);
    } else {
        job(0);
    }
}

void Simulator::set_input_function(std::size_t k, ActivationFunction f) {
    input_functions.at(k) = std::move(f);
}

void Simulator::set_clamp(std::size_t node, ClampFunction f) {
    clamps_.set(node, std::move(f));
}

void Simulator::hold_inputs(const std::vector<double>& values) {
    if (values.size() != input_values.size()) {
        throw std::invalid_argument("hold_inputs: one value per input channel");
    }
    input_values = values;
}

void Simulator::simulate_stream(double t0, double tf, const std::vector<double>& y0,
                                const Observer& observer) {
    const std::int64_t n_steps = checked_step_count(network, h, t0, tf);
    const auto n = static_cast<std::size_t>(network->n_nodes);
    check_start_size(y0.size(), n, false);
    state_.resize(2 * n);
    for (std::size_t i = 0; i < n; ++i) state_[i] = state_[n + i] = y0[i];
    run_samples(t0, n_steps, observer);
}

void Simulator::simulate_stream_from_state(double t0, double tf, const std::vector<double>& state0,
                                           const Observer& observer) {
    const std::int64_t n_steps = checked_step_count(network, h, t0, tf);
    check_start_size(state0.size(), static_cast<std::size_t>(network->n_nodes), true);
    state_ = state0;
    run_samples(t0, n_steps, observer);
}

void Simulator::run_samples(double t0, std::int64_t n_steps, const Observer& observer) {
    std::vector<double>& y = state_;
    const auto n = static_cast<std::size_t>(network->n_nodes);
    const std::size_t m = input_values.size();
    sample_loop(
        state_, t0, h, n_steps,
        [&](double t) {
            clamps_.apply(t, [&](std::size_t j, double v) { y[j] = y[n + j] = v; });
            for (std::size_t k = 0; k < m; ++k) input_values[k] = input_functions[k](t);
            step_kernels().node_outputs(0, n, n, node_is_excitatory.data(), y.data(),
                                        output_row.data());
            observer(t, output_row);
        },
        [&](double t) { step_rk4(y, t); });
}

std::vector<std::vector<double>> Simulator::simulate(double t0, double tf,
                                                     const std::vector<double>& y0) {
    std::vector<std::vector<double>> rows;
    simulate_stream(t0, tf, y0,
                    [&rows](double, const std::vector<double>& row) { rows.push_back(row); });
    return rows;
}

}  // namespace vesk
