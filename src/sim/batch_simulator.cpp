#include "sim/batch_simulator.hpp"

#include "sim/kernel_path.hpp"

#if VESK_HAVE_FMA_PATH
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "contract/contract_schema.hpp"
#include "sim/exp.hpp"
#include "sim/rk4_stages.hpp"
#include "sim/sample_driver.hpp"
#include "sim/simulator.hpp"
#include "sim/thread_count.hpp"

namespace vesk {
namespace {

double zero_function(double) {
    return 0.0;
}

// Batches of up to this many lanes fold the weights as SlicedMatrix holds
// them (see fold_slices_baseline), wider ones row by row (fold_rows_baseline).
constexpr std::size_t max_sliced_lanes = 3;

// Rows of lane_parameters: the network constants in the schema's order.
enum Parameter : std::size_t {
    alfa = parameter_index(&NetworkParameters::alfa),
    epsilon = parameter_index(&NetworkParameters::epsilon),
    gamma = parameter_index(&NetworkParameters::gamma),
    delta = parameter_index(&NetworkParameters::delta),
    tau_E = parameter_index(&NetworkParameters::tau_E),
    tau_I = parameter_index(&NetworkParameters::tau_I),
    theta = parameter_index(&NetworkParameters::theta),
    beta = parameter_index(&NetworkParameters::beta),
    f_max = parameter_index(&NetworkParameters::f_max),
};

// What every kernel below needs to know about the batch.
struct Shape {
    std::size_t n;      // nodes
    std::size_t lanes;  // lane_count
    const double* p;    // lane_parameters
    const double* row(Parameter which) const { return p + which * lanes; }
};

// `count` consecutive nodes, all lanes: their E values, I values and input
// sums, and where their slopes go.
struct Stretch {
    std::size_t count;
    const double* e;
    const double* inh;
    const double* sum;
    double* d_e;
    double* d_i;
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

// Rows of a weight matrix to fold into their sums for every lane: the
// sums of rows[0 .. count) sit at (row - first_row) * lanes in y, the lanes
// of x's value `col` at x_at[entry] = col * lanes.
struct LaneFold {
    const std::int32_t* row_ptr;
    const double* values;
    const std::uint32_t* x_at;
    const std::int32_t* rows;
    std::size_t count;
    std::size_t first_row;
    std::size_t lanes;
};

// Each row's sums take one fused multiply-add per stored entry of the row,
// in stored order, exactly as a single run folds that row.
void fold_rows_baseline(const LaneFold& f, const double* x, double* y) {
    for (std::size_t g = 0; g < f.count; ++g) {
        const auto row = static_cast<std::size_t>(f.rows[g]);
        double* yr = y + (row - f.first_row) * f.lanes;
        for (std::int32_t e = f.row_ptr[row]; e < f.row_ptr[row + 1]; ++e) {
            const auto at = static_cast<std::size_t>(e);
            const double* xr = x + f.x_at[at];
            for (std::size_t l = 0; l < f.lanes; ++l) yr[l] = std::fma(f.values[at], xr[l], yr[l]);
        }
    }
}

// Two or three lanes fold as SlicedMatrix stores the weights: step k of a
// slice takes the k-th entry of each of its first step_width[k] rows, so the
// slice's rows, whose columns ascend, sweep x together and find most of its
// lines in the cache, where a few rows at a time would not. Each row still
// folds its own entries in stored order, straight into y.
void fold_slices_baseline(const SlicedMatrix& m, std::int32_t from, std::int32_t to,
                          std::size_t lanes, const double* x, double* y) {
    for (std::int32_t s = from; s < to; ++s) {
        SlicedMatrix::Slice v = m.slice(s);
        for (std::int32_t k = 0; k < v.steps; ++k) {
            for (std::int32_t r = 0; r < v.step_width[k]; ++r) {
                const double* xr = x + static_cast<std::size_t>(v.col[r]) * lanes;
                double* yr = y + static_cast<std::size_t>(v.lane_row[r]) * lanes;
                for (std::size_t l = 0; l < lanes; ++l) yr[l] = std::fma(v.val[r], xr[l], yr[l]);
            }
            v.col += v.step_width[k];
            v.val += v.step_width[k];
        }
    }
}

// The outputs of nodes [from, to): E of an excitatory node, else I.
void node_outputs(std::size_t from, std::size_t to, const Shape& b, const unsigned char* excitatory,
                  const double* y, double* out) {
    if (b.lanes == 1) {
        for (std::size_t j = from; j < to; ++j) out[j] = y[excitatory[j] ? j : b.n + j];
        return;
    }
    for (std::size_t j = from; j < to; ++j) {
        const double* from_lanes = y + (excitatory[j] ? j : b.n + j) * b.lanes;
        double* to_lanes = out + j * b.lanes;
        for (std::size_t l = 0; l < b.lanes; ++l) to_lanes[l] = from_lanes[l];
    }
}

// The gain of exp's result, minus the activity, over the time constant, for
// node j of a stretch, scalar from lane `lane0` on: activity y, exp's result
// in d, replaced by the slope.
[[gnu::always_inline]] inline void relax_lanes_scalar(std::size_t j, std::size_t lane0,
                                                      const Shape& b, const double* tau,
                                                      const double* y, double* d) {
    const double* fm = b.row(f_max);
    for (std::size_t l = lane0; l < b.lanes; ++l) {
        const std::size_t at = j * b.lanes + l;
        d[at] = (fm[l] / (d[at] + 1.0) - y[at]) / tau[l];
    }
}

[[gnu::always_inline]] inline void exp_arguments_lanes_scalar(std::size_t i, std::size_t lane0,
                                                              const Shape& b, const Stretch& n) {
    const std::size_t at = i * b.lanes;
    for (std::size_t l = lane0; l < b.lanes; ++l) {
        exp_arguments_lane(n.e[at + l], n.inh[at + l], n.sum[at + l], b.row(alfa)[l],
                           b.row(epsilon)[l], b.row(gamma)[l], b.row(delta)[l], b.row(theta)[l],
                           b.row(beta)[l], n.d_e + at + l, n.d_i + at + l);
    }
}

void derivatives_baseline(const Shape& b, const Stretch& n) {
    for (std::size_t i = 0; i < n.count; ++i) exp_arguments_lanes_scalar(i, 0, b, n);
    exp_in_place_baseline(n.d_e, n.count * b.lanes);
    exp_in_place_baseline(n.d_i, n.count * b.lanes);
    for (std::size_t j = 0; j < n.count; ++j) {
        relax_lanes_scalar(j, 0, b, b.row(tau_E), n.e, n.d_e);
        relax_lanes_scalar(j, 0, b, b.row(tau_I), n.inh, n.d_i);
    }
}

#if VESK_HAVE_FMA_PATH
#define VESK_FMA_TARGET [[gnu::target("avx2,fma")]]

VESK_FMA_TARGET inline __m256d negate(__m256d v) {
    return _mm256_xor_pd(v, _mm256_set1_pd(-0.0));
}

// Vectors of 4, 2 and 1 lanes, for fold_lane_block.
struct Pack4 {
    using reg = __m256d;
    static constexpr std::size_t width = 4;
    VESK_FMA_TARGET static reg load(const double* p) { return _mm256_loadu_pd(p); }
    VESK_FMA_TARGET static void store(double* p, reg v) { _mm256_storeu_pd(p, v); }
    VESK_FMA_TARGET static reg splat(double v) { return _mm256_set1_pd(v); }
    VESK_FMA_TARGET static reg fma(reg a, reg b, reg c) { return _mm256_fmadd_pd(a, b, c); }
};
struct Pack2 {
    using reg = __m128d;
    static constexpr std::size_t width = 2;
    VESK_FMA_TARGET static reg load(const double* p) { return _mm_loadu_pd(p); }
    VESK_FMA_TARGET static void store(double* p, reg v) { _mm_storeu_pd(p, v); }
    VESK_FMA_TARGET static reg splat(double v) { return _mm_set1_pd(v); }
    VESK_FMA_TARGET static reg fma(reg a, reg b, reg c) { return _mm_fmadd_pd(a, b, c); }
};
struct Pack1 {
    using reg = __m128d;
    static constexpr std::size_t width = 1;
    VESK_FMA_TARGET static reg load(const double* p) { return _mm_load_sd(p); }
    VESK_FMA_TARGET static void store(double* p, reg v) { _mm_store_sd(p, v); }
    VESK_FMA_TARGET static reg splat(double v) { return _mm_set_sd(v); }
    VESK_FMA_TARGET static reg fma(reg a, reg b, reg c) { return _mm_fmadd_sd(a, b, c); }
};

// Lanes [lane0, lane0 + width * blocks) of fold_rows_baseline, `group` rows
// at a time: each row keeps its sums in registers and folds its own entries
// in order, while the rows of a group take turns, so that consecutive fused
// multiply-adds never wait on each other. Rows come in windows ordered by
// decreasing length (see BatchSimulator::RowOrder), so the rows of a group
// mostly end together; each finishes its own entries alone. Rows left over
// go in smaller groups.
template <class Pack, int blocks>
[[gnu::always_inline]] VESK_FMA_TARGET inline void fold_entry(typename Pack::reg* acc,
                                                              double weight, const double* xr) {
    const typename Pack::reg w = Pack::splat(weight);
#pragma GCC unroll 4
    for (int q = 0; q < blocks; ++q) {
        acc[q] = Pack::fma(w, Pack::load(xr + Pack::width * static_cast<std::size_t>(q)), acc[q]);
    }
}

template <class Pack, int blocks, int group>
VESK_FMA_TARGET void fold_lane_block(const LaneFold& f, std::size_t g, std::size_t lane0,
                                     const double* x, double* y) {
    using reg = typename Pack::reg;
    constexpr std::size_t w = Pack::width;
    x += lane0;
    y += lane0;
    for (; g + group <= f.count; g += group) {
        reg acc[group][blocks];
        double* yr[group];
        std::int32_t begin[group];
        std::int32_t end[group];
        std::int32_t common = std::numeric_limits<std::int32_t>::max();
#pragma GCC unroll 16
        for (int r = 0; r < group; ++r) {
            const auto row = static_cast<std::size_t>(f.rows[g + static_cast<std::size_t>(r)]);
            begin[r] = f.row_ptr[row];
            end[r] = f.row_ptr[row + 1];
            common = std::min(common, end[r] - begin[r]);
            yr[r] = y + (row - f.first_row) * f.lanes;
#pragma GCC unroll 4
            for (int q = 0; q < blocks; ++q) acc[r][q] = Pack::load(yr[r] + w * q);
        }
        for (std::int32_t k = 0; k < common; ++k) {
#pragma GCC unroll 16
            for (int r = 0; r < group; ++r) {
                const auto at = static_cast<std::size_t>(begin[r] + k);
                fold_entry<Pack, blocks>(acc[r], f.values[at], x + f.x_at[at]);
            }
        }
#pragma GCC unroll 16
        for (int r = 0; r < group; ++r) {
            for (auto at = static_cast<std::size_t>(begin[r] + common);
                 at < static_cast<std::size_t>(end[r]); ++at) {
                fold_entry<Pack, blocks>(acc[r], f.values[at], x + f.x_at[at]);
            }
#pragma GCC unroll 4
            for (int q = 0; q < blocks; ++q) Pack::store(yr[r] + w * q, acc[r][q]);
        }
    }
    if constexpr (group > 1) {
        if (g < f.count)
            fold_lane_block<Pack, blocks, group / 2>(f, g, lane0, x - lane0, y - lane0);
    }
}

// fold_rows_baseline with the processor's fma, up to sixteen lanes per pass
// over the rows; groups are sized so that about eight vectors of sums are
// under way at once, enough to cover the fma's latency.
VESK_FMA_TARGET void fold_rows_fma(const LaneFold& f, const double* x, double* y) {
    const std::size_t lanes = f.lanes;
    std::size_t l = 0;
    for (; l + 16 <= lanes; l += 16) fold_lane_block<Pack4, 4, 2>(f, 0, l, x, y);
    switch ((lanes - l) / 4) {
        case 3:
            fold_lane_block<Pack4, 3, 3>(f, 0, l, x, y);
            break;
        case 2:
            fold_lane_block<Pack4, 2, 4>(f, 0, l, x, y);
            break;
        case 1:
            fold_lane_block<Pack4, 1, 8>(f, 0, l, x, y);
            break;
        default:
            break;
    }
    l += (lanes - l) / 4 * 4;
    if (lanes - l >= 2) {
        fold_lane_block<Pack2, 1, 8>(f, 0, l, x, y);
        l += 2;
    }
    if (lanes - l == 1) fold_lane_block<Pack1, 1, 8>(f, 0, l, x, y);
}

// fold_slices_baseline for two or three lanes: a pair in one two-lane fma,
// an odd one alone.
template <std::size_t lanes>
VESK_FMA_TARGET void fold_narrow_slices(const SlicedMatrix& m, std::int32_t from, std::int32_t to,
                                        const double* x, double* y) {
    for (std::int32_t s = from; s < to; ++s) {
        SlicedMatrix::Slice v = m.slice(s);
        for (std::int32_t k = 0; k < v.steps; ++k) {
            for (std::int32_t r = 0; r < v.step_width[k]; ++r) {
                const double* xr = x + static_cast<std::size_t>(v.col[r]) * lanes;
                double* yr = y + static_cast<std::size_t>(v.lane_row[r]) * lanes;
                _mm_storeu_pd(
                    yr, _mm_fmadd_pd(_mm_set1_pd(v.val[r]), _mm_loadu_pd(xr), _mm_loadu_pd(yr)));
                if constexpr (lanes == 3) yr[2] = std::fma(v.val[r], xr[2], yr[2]);
            }
            v.col += v.step_width[k];
            v.val += v.step_width[k];
        }
    }
}

VESK_FMA_TARGET void fold_slices_fma(const SlicedMatrix& m, std::int32_t from, std::int32_t to,
                                     std::size_t lanes, const double* x, double* y) {
    if (lanes == 2) {
        fold_narrow_slices<2>(m, from, to, x, y);
    } else {
        fold_narrow_slices<3>(m, from, to, x, y);
    }
}

// Four values of the exp arguments: exp_arguments_lane side by side.
struct LaneParameters {
    __m256d alfa, epsilon, gamma, delta, theta, beta;
};

VESK_FMA_TARGET inline void exp_arguments4(const LaneParameters& p, const double* e,
                                           const double* inh, const double* s, double* arg_e,
                                           double* arg_i) {
    const __m256d ev = _mm256_loadu_pd(e), iv = _mm256_loadu_pd(inh), sv = _mm256_loadu_pd(s);
    const __m256d a_e = _mm256_fmadd_pd(p.alfa, ev, negate(_mm256_mul_pd(p.epsilon, iv)));
    const __m256d a_i = _mm256_fmadd_pd(p.gamma, ev, negate(_mm256_mul_pd(p.delta, iv)));
    _mm256_storeu_pd(arg_e,
                     negate(_mm256_mul_pd(p.beta, _mm256_sub_pd(_mm256_add_pd(sv, a_e), p.theta))));
    _mm256_storeu_pd(arg_i,
                     negate(_mm256_mul_pd(p.beta, _mm256_sub_pd(_mm256_add_pd(sv, a_i), p.theta))));
}

// Four values of relax_lanes_scalar: d = (f_max / (d + 1) - y) / tau.
VESK_FMA_TARGET inline void relax4(__m256d f_max_v, __m256d tau, const double* y, double* d) {
    const __m256d gain =
        _mm256_div_pd(f_max_v, _mm256_add_pd(_mm256_loadu_pd(d), _mm256_set1_pd(1.0)));
    _mm256_storeu_pd(d, _mm256_div_pd(_mm256_sub_pd(gain, _mm256_loadu_pd(y)), tau));
}

VESK_FMA_TARGET inline LaneParameters lane_parameters_at(const Shape& b, std::size_t l) {
    return {_mm256_loadu_pd(b.row(alfa) + l),  _mm256_loadu_pd(b.row(epsilon) + l),
            _mm256_loadu_pd(b.row(gamma) + l), _mm256_loadu_pd(b.row(delta) + l),
            _mm256_loadu_pd(b.row(theta) + l), _mm256_loadu_pd(b.row(beta) + l)};
}

// Lanes side by side, four at a time; a batch of one lane takes four nodes
// at a time instead, as a single run does.
VESK_FMA_TARGET void derivatives_fma(const Shape& b, const Stretch& n) {
    const std::size_t lanes = b.lanes;
    if (lanes == 1) {
        const LaneParameters p{_mm256_set1_pd(b.row(alfa)[0]),  _mm256_set1_pd(b.row(epsilon)[0]),
                               _mm256_set1_pd(b.row(gamma)[0]), _mm256_set1_pd(b.row(delta)[0]),
                               _mm256_set1_pd(b.row(theta)[0]), _mm256_set1_pd(b.row(beta)[0])};
        std::size_t i = 0;
        for (; i + 4 <= n.count; i += 4) {
            exp_arguments4(p, n.e + i, n.inh + i, n.sum + i, n.d_e + i, n.d_i + i);
        }
        for (; i < n.count; ++i) exp_arguments_lanes_scalar(i, 0, b, n);
    } else {
        for (std::size_t i = 0; i < n.count; ++i) {
            const std::size_t at = i * lanes;
            std::size_t l = 0;
            for (; l + 4 <= lanes; l += 4) {
                exp_arguments4(lane_parameters_at(b, l), n.e + at + l, n.inh + at + l,
                               n.sum + at + l, n.d_e + at + l, n.d_i + at + l);
            }
            exp_arguments_lanes_scalar(i, l, b, n);
        }
    }
    exp_in_place_fma(n.d_e, n.count * lanes);
    exp_in_place_fma(n.d_i, n.count * lanes);

    for (const auto& [y, d, tau] :
         {std::tuple{n.e, n.d_e, b.row(tau_E)}, std::tuple{n.inh, n.d_i, b.row(tau_I)}}) {
        if (lanes == 1) {
            const __m256d f_max_v = _mm256_set1_pd(b.row(f_max)[0]), tau_v = _mm256_set1_pd(tau[0]);
            std::size_t j = 0;
            for (; j + 4 <= n.count; j += 4) relax4(f_max_v, tau_v, y + j, d + j);
            for (; j < n.count; ++j) relax_lanes_scalar(j, 0, b, tau, y, d);
            continue;
        }
        for (std::size_t j = 0; j < n.count; ++j) {
            std::size_t l = 0;
            for (; l + 4 <= lanes; l += 4) {
                relax4(_mm256_loadu_pd(b.row(f_max) + l), _mm256_loadu_pd(tau + l),
                       y + j * lanes + l, d + j * lanes + l);
            }
            relax_lanes_scalar(j, l, b, tau, y, d);
        }
    }
}
#undef VESK_FMA_TARGET
#endif

struct BatchKernels {
    void (*fold_rows)(const LaneFold&, const double*, double*);
    void (*fold_slices)(const SlicedMatrix&, std::int32_t, std::int32_t, std::size_t, const double*,
                        double*);
    void (*derivatives)(const Shape&, const Stretch&);
    void (*stage_state)(std::size_t, std::size_t, double, const double*, const double*, double*);
    void (*add_doubled)(std::size_t, std::size_t, const double*, double*);
    void (*finish_step)(std::size_t, std::size_t, double, const double*, const double*, double*);
};

constexpr BatchKernels kernels_baseline = {fold_rows_baseline,   fold_slices_baseline,
                                           derivatives_baseline, stage_state_baseline,
                                           add_doubled_baseline, finish_step_baseline};
#if VESK_HAVE_FMA_PATH
constexpr BatchKernels kernels_fma = {fold_rows_fma,   fold_slices_fma, derivatives_fma,
                                      stage_state_fma, add_doubled_fma, finish_step_fma};
#endif

const BatchKernels& batch_kernels() {
#if VESK_HAVE_FMA_PATH
    if (kernel_path() == KernelPath::fma) return kernels_fma;
#endif
    return kernels_baseline;
}

std::size_t stored_weights(const Network& net) {
    return (net.weights ? net.weights->values().size() : 0) +
           (net.input_weights ? net.input_weights->values().size() : 0);
}

}  // namespace

BatchSimulator::LaneMatrix::LaneMatrix(const SparseMatrix& m, std::size_t lanes,
                                       const std::vector<std::size_t>& window_first_node) {
    // Every offset below is at most cols * lanes, which the run's memory
    // check keeps far below this bound; a batch past it cannot run.
    if (static_cast<double>(m.cols()) * static_cast<double>(lanes) >
        static_cast<double>(std::numeric_limits<std::uint32_t>::max())) {
        throw std::length_error("BatchSimulator: too many lanes for this network");
    }
    x_at.reserve(m.col_idx().size());
    for (const std::int32_t col : m.col_idx()) {
        x_at.push_back(static_cast<std::uint32_t>(static_cast<std::size_t>(col) * lanes));
    }
    const auto length = [&m](std::int32_t row) {
        const auto at = static_cast<std::size_t>(row);
        return m.row_ptr()[at + 1] - m.row_ptr()[at];
    };
    window_begin.push_back(0);
    for (std::size_t w = 0; w + 1 < window_first_node.size(); ++w) {
        for (std::size_t row = window_first_node[w]; row < window_first_node[w + 1]; ++row) {
            if (length(static_cast<std::int32_t>(row)) > 0) {
                rows.push_back(static_cast<std::int32_t>(row));
            }
        }
        std::stable_sort(
            rows.begin() + static_cast<std::ptrdiff_t>(window_begin.back()), rows.end(),
            [&length](std::int32_t a, std::int32_t b) { return length(a) > length(b); });
        window_begin.push_back(rows.size());
    }
}

double BatchSimulator::bytes_needed(const Network& network, std::size_t lanes) {
    // Per node and lane: the run's state, the stage state and the running
    // sum of the slopes (two values each), two buffers of rates, the sums and
    // the clamp; per node the output row and the flag. Per input and lane:
    // the value and the function. (The scratch of a window is a few pages.)
    constexpr double per_node_lane = (3 * 2 + 3) * sizeof(double) + sizeof(ActivationFunction);
    constexpr double per_node = sizeof(double) + sizeof(unsigned char);
    constexpr double per_input_lane = sizeof(double) + sizeof(ActivationFunction);
    // Per stored weight: its offset into x, or a narrow batch's regrouped
    // copy of the weights; per row its place in the folding order.
    const double per_weight = lanes <= max_sliced_lanes ? sizeof(double) + 2 * sizeof(std::int32_t)
                                                        : sizeof(std::uint32_t);
    const auto k = static_cast<double>(lanes);
    const double n = network.n_nodes, m = network.n_inputs;
    return (per_node_lane * k + per_node + 2 * sizeof(std::int32_t)) * n + per_input_lane * k * m +
           per_weight * static_cast<double>(stored_weights(network));
}

BatchSimulator::BatchSimulator(const Network* net, double step, std::size_t count)
    : BatchSimulator(net, step, count,
                     net ? threads_for_run(static_cast<std::size_t>(std::max(net->n_nodes, 0)),
                                           stored_weights(*net) * std::max<std::size_t>(count, 1))
                         : 1) {}

BatchSimulator::BatchSimulator(const Network* net, double step, std::size_t count, unsigned threads)
    : network_(net), h_(step), lane_count_(count) {
    if (!network_) return;
    const auto n = static_cast<std::size_t>(network_->n_nodes);
    const auto m = static_cast<std::size_t>(network_->n_inputs);
    lanes.assign(count, Lane{network_->parameters,
                             std::vector<ActivationFunction>(m, zero_function), ClampTable(n)});
    lane_parameters.assign(parameter_count * count, 0.0);
    input_values.assign(m * count, 0.0);
    for (auto* v : {&stage_y, &slope_sum}) v->assign(2 * n * count, 0.0);
    node_rates.assign(n * count, 0.0);
    output_row.assign(n, 0.0);
    node_is_excitatory.assign(n, 0);
    for (std::size_t j = 0; j < n; ++j) node_is_excitatory[j] = network_->is_excitatory[j] ? 1 : 0;
    part_nodes = split_nodes(*network_, threads);
    for (std::size_t p = 0; p + 1 < part_nodes.size(); ++p) {
        part_windows.push_back(window_first_node.size());
        for (std::size_t first = part_nodes[p]; first < part_nodes[p + 1]; first += window_nodes) {
            window_first_node.push_back(first);
        }
    }
    part_windows.push_back(window_first_node.size());
    window_first_node.push_back(n);
    window_scratch.assign(thread_count() * 3 * window_nodes * count, 0.0);
    if (count <= max_sliced_lanes) {
        node_input.assign(n * count, 0.0);
        const std::vector<std::int32_t> breaks(part_nodes.begin() + 1, part_nodes.end() - 1);
        if (network_->weights) sliced_weights = SlicedMatrix(*network_->weights, breaks);
        if (network_->input_weights) {
            sliced_input_weights = SlicedMatrix(*network_->input_weights, breaks);
        }
        for (const std::size_t first : part_nodes) {
            const auto row = static_cast<std::int32_t>(first);
            part_weight_slices.push_back(sliced_weights.first_slice_from(row));
            part_input_slices.push_back(sliced_input_weights.first_slice_from(row));
        }
    } else {
        if (network_->weights) {
            lane_weights = LaneMatrix(*network_->weights, count, window_first_node);
        }
        if (network_->input_weights) {
            lane_input_weights = LaneMatrix(*network_->input_weights, count, window_first_node);
        }
    }
    node_rates_next.assign(n * count, 0.0);
    if (thread_count() > 1) {
        pool = std::make_unique<ThreadPool>(thread_count());
    }
}

// As Simulator::step_part, with every value widened to the lanes: each
// thread writes only its own nodes' values; the products read every node's
// rates, written before the one meeting per stage into one of two
// alternating buffers. A thread takes its nodes window by window: a
// window's sums, its slopes, its share of the next state and of the next
// stage's rates are done while they are in the nearer caches. Each stage's state overwrites the
// last in stage_y, and slope_sum keeps k1 + 2 k2 + 2 k3 as it grows, in the order and with the
// fused multiply-adds of Simulator's final combination.
void BatchSimulator::step_part(unsigned part, LaneValues& y) {
    const Network& net = *network_;
    const std::size_t n = static_cast<std::size_t>(net.n_nodes);
    const std::size_t from = part_nodes[part];
    const std::size_t to = part_nodes[part + 1];
    const std::size_t k = lane_count_;
    const BatchKernels& kernels = batch_kernels();
    const Shape shape{n, k, lane_parameters.data()};
    double* const sums = window_scratch.data() + part * 3 * window_nodes * k;
    double* const slope_e = sums + window_nodes * k;
    double* const slope_i = slope_e + window_nodes * k;
    for (int stage = 0; stage < 4; ++stage) {
        const double* state = stage == 0 ? y.data() : stage_y.data();
        // Stage s reads the rates of buffer s % 2; the next stage's go into
        // the other one as its states are made. Once every thread has met at
        // stage s, none reads that other buffer any more.
        LaneValues& rates = stage % 2 == 0 ? node_rates : node_rates_next;
        LaneValues& next_rates = stage % 2 == 0 ? node_rates_next : node_rates;
        // The rates of a step's first stage come from its state as the
        // clamps left it.
        if (stage == 0)
            node_outputs(from, to, shape, node_is_excitatory.data(), state, rates.data());
        if (pool) pool->sync();
        const bool sliced = k <= max_sliced_lanes;
        if (sliced) {
            // Node-to-node terms first, then the external inputs, into the
            // same sums. One lane is laid out as a single run's vectors: its
            // products, vectorised across rows, are the ones to use.
            std::fill(node_input.begin() + static_cast<std::ptrdiff_t>(from * k),
                      node_input.begin() + static_cast<std::ptrdiff_t>(to * k), 0.0);
            for (const auto& [matrix, x, slices] :
                 {std::tuple{net.weights ? &sliced_weights : nullptr, rates.data(),
                             &part_weight_slices},
                  std::tuple{net.input_weights ? &sliced_input_weights : nullptr,
                             input_values.data(), &part_input_slices}}) {
                if (!matrix) continue;
                const std::int32_t begin = (*slices)[part], end = (*slices)[part + 1];
                if (k == 1) {
                    matrix->multiply_add_slices(x, node_input.data(), begin, end);
                } else {
                    kernels.fold_slices(*matrix, begin, end, k, x, node_input.data());
                }
            }
        }
        for (std::size_t w = part_windows[part]; w < part_windows[part + 1]; ++w) {
            const std::size_t first = window_first_node[w];
            const std::size_t count = window_first_node[w + 1] - first;
            if (!sliced) {
                std::fill_n(sums, count * k, 0.0);
                for (const auto& [matrix, lane_matrix, x] :
                     {std::tuple{net.weights ? &*net.weights : nullptr, &lane_weights,
                                 rates.data()},
                      std::tuple{net.input_weights ? &*net.input_weights : nullptr,
                                 &lane_input_weights, input_values.data()}}) {
                    if (!matrix) continue;
                    const std::size_t begin = lane_matrix->window_begin[w];
                    kernels.fold_rows(
                        LaneFold{matrix->row_ptr().data(), matrix->values().data(),
                                 lane_matrix->x_at.data(), lane_matrix->rows.data() + begin,
                                 lane_matrix->window_begin[w + 1] - begin, first, k},
                        x, sums);
                }
            }
            const double* window_sums = sliced ? node_input.data() + first * k : sums;
            // The first stage's slopes are where the running sum starts.
            double* const e_slope = stage == 0 ? slope_sum.data() + first * k : slope_e;
            double* const i_slope = stage == 0 ? slope_sum.data() + (n + first) * k : slope_i;
            kernels.derivatives(shape, Stretch{count, state + first * k, state + (n + first) * k,
                                               window_sums, e_slope, i_slope});
            for (const auto& [at, slope] :
                 {std::pair{first * k, e_slope}, std::pair{(n + first) * k, i_slope}}) {
                const std::size_t values = count * k;
                double* const acc = slope_sum.data() + at;
                switch (stage) {
                    case 0:
                        kernels.stage_state(0, values, h_ * 0.5, slope, y.data() + at,
                                            stage_y.data() + at);
                        break;
                    case 1:
                    case 2:
                        kernels.stage_state(0, values, stage == 1 ? h_ * 0.5 : h_, slope,
                                            y.data() + at, stage_y.data() + at);
                        kernels.add_doubled(0, values, slope, acc);
                        break;
                    default:
                        kernels.finish_step(0, values, h_ / 6.0, acc, slope, y.data() + at);
                        break;
                }
            }
            if (stage < 3) {
                node_outputs(first, first + count, shape, node_is_excitatory.data(), stage_y.data(),
                             next_rates.data());
            }
        }
    }
}

void BatchSimulator::step_rk4(LaneValues& y) {
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

void BatchSimulator::set_clamp(std::size_t lane, std::size_t node, ClampFunction f) {
    lanes.at(lane).clamps.set(node, std::move(f));
}

std::int64_t BatchSimulator::check_run(double t0, double tf, std::size_t starts) const {
    const std::int64_t n_steps = checked_step_count(network_, h_, t0, tf);
    if (starts != lane_count_) throw std::runtime_error("simulate: one y0 per lane is needed");
    return n_steps;
}

void BatchSimulator::simulate_stream(double t0, double tf,
                                     const std::vector<std::vector<double>>& y0,
                                     const Observer& observer) {
    const std::int64_t n_steps = check_run(t0, tf, y0.size());
    const auto n = static_cast<std::size_t>(network_->n_nodes);
    for (const auto& lane_y0 : y0) check_start_size(lane_y0.size(), n, false);
    const std::size_t k = lane_count_;
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
    const auto n = static_cast<std::size_t>(network_->n_nodes);
    for (const auto& state : states) check_start_size(state.size(), n, true);
    const std::size_t k = lane_count_;
    state_.assign(2 * n * k, 0.0);
    for (std::size_t l = 0; l < k; ++l) {
        for (std::size_t e = 0; e < 2 * n; ++e) state_[e * k + l] = states[l][e];
    }
    run_samples(t0, n_steps, observer);
}

void BatchSimulator::run_samples(double t0, std::int64_t n_steps, const Observer& observer) {
    LaneValues& y = state_;
    const auto n = static_cast<std::size_t>(network_->n_nodes);
    const std::size_t k = lane_count_;
    const auto m = static_cast<std::size_t>(network_->n_inputs);

    for (std::size_t l = 0; l < k; ++l) {
        const NetworkParameters& p = lanes[l].parameters;
        for (std::size_t q = 0; q < parameter_count; ++q) {
            lane_parameters[q * k + l] = p.*parameter_rows[q].member;
        }
    }
    sample_loop(
        state_, t0, h_, n_steps,
        [&](double t) {
            for (std::size_t l = 0; l < k; ++l) {
                lanes[l].clamps.apply(
                    t, [&](std::size_t j, double v) { y[j * k + l] = y[(n + j) * k + l] = v; });
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
        },
        [&](double) { step_rk4(y); });
}

std::vector<std::vector<std::vector<double>>> BatchSimulator::simulate(
    double t0, double tf, const std::vector<std::vector<double>>& y0) {
    std::vector<std::vector<std::vector<double>>> rows(lane_count_);
    simulate_stream(t0, tf, y0, [&rows](std::size_t lane, double, const std::vector<double>& row) {
        rows[lane].push_back(row);
    });
    return rows;
}

}  // namespace vesk
