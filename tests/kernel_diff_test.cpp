// The fast kernels (interleaved and sliced sparse products, vectorised
// right-hand side and RK4 stages, on both the fma and the baseline path)
// against the plain arithmetic of reference_kernel.hpp, bit for bit, on
// random networks.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "model/network.hpp"
#include "model/sparse_matrix.hpp"
#include "reference_kernel.hpp"
#include "sim/batch_simulator.hpp"
#include "sim/simulator.hpp"
#include "stimulus/activation.hpp"
#include "test_support.hpp"

namespace vesk {
namespace {

// Selects a kernel path (where the processor has it) for the lifetime of
// the object.
struct PathScope {
    explicit PathScope(KernelPath path) : saved(kernel_path()) { set_kernel_path(path); }
    ~PathScope() { set_kernel_path(saved); }
    KernelPath saved;
};

// Threads a run of n nodes gets when given `threads`.
std::size_t sim_threads(std::size_t n, unsigned threads) {
    return std::clamp<std::size_t>((n + 127) / 128, 1, threads);
}

constexpr KernelPath paths[] = {KernelPath::baseline, KernelPath::fma};

// A clamp at `value` from `from` to `to` ms, as the reference takes it (0.0:
// free), and as the simulators take it.
ActivationFunction window_clamp(double from, double to, double value) {
    return [=](double t) { return t >= from && t <= to ? value : 0.0; };
}
ClampFunction as_clamp(ActivationFunction f) {
    return [f = std::move(f)](double t) -> std::optional<double> {
        const double v = f(t);
        if (v != 0.0) return v;
        return std::nullopt;
    };
}

// Equal as bit patterns (so -0.0 differs from 0.0); names the first mismatch.
::testing::AssertionResult same_bits(const std::vector<double>& expected,
                                     const std::vector<double>& actual) {
    std::size_t i = 0;
    while (i < expected.size() && i < actual.size() &&
           std::memcmp(&expected[i], &actual[i], sizeof(double)) == 0) {
        ++i;
    }
    if (i == expected.size() && i == actual.size()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "sizes " << expected.size() << " and " << actual.size()
                                         << ", first difference at " << i;
}

struct Shape {
    int nodes;
    int inputs;
    int max_degree;             // incoming node edges of a node: 0 .. max_degree (duplicates kept)
    bool with_weights;          // network has a node weight matrix
    bool with_inputs;           // network has an input weight matrix
    double weight_scale = 1.0;  // above 1: strong couplings
};

class RandomNetworks {
  public:
    explicit RandomNetworks(std::uint64_t seed) : rng_(seed) {}

    double uniform(double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(rng_);
    }
    int below(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }

    // A weight: mostly mixed-sign values of varied magnitude, some exact
    // zeros of both signs.
    double weight() {
        const int kind = below(10);
        return kind < 2 ? (kind ? -0.0 : 0.0) : uniform(-3.0, 3.0) * std::ldexp(1.0, below(9) - 4);
    }

    // A matrix with empty rows, one long row, adjacent duplicates and
    // triplets in random order, its weights multiplied by `scale`.
    SparseMatrix matrix(int rows, int cols, int max_degree, double scale = 1.0) {
        std::vector<Triplet> t;
        const int hub = rows > 0 ? below(rows) : 0;
        for (int r = 0; r < rows && cols > 0; ++r) {
            const int degree = r == hub ? 3 * max_degree + 5 : below(max_degree + 1);
            for (int k = 0; k < degree; ++k) {
                const int c = below(cols);
                t.push_back({r, c, weight() * scale});
                if (below(8) == 0) t.push_back({r, c, weight() * scale});
            }
        }
        std::shuffle(t.begin(), t.end(), rng_);
        SparseMatrix m(rows, cols);
        m.build_from_triplets(rows, t);
        return m;
    }

    Network network(const Shape& s) {
        Network net;
        net.n_nodes = s.nodes;
        net.n_inputs = s.inputs;
        for (int i = 0; i < s.nodes; ++i) net.is_excitatory.push_back(below(3) != 0);
        net.parameters = parameters();
        if (s.with_weights) net.weights = matrix(s.nodes, s.nodes, s.max_degree, s.weight_scale);
        if (s.with_inputs) net.input_weights = matrix(s.nodes, s.inputs, 3);
        return net;
    }

    NetworkParameters parameters() {
        NetworkParameters p;
        for (double* v : {&p.alfa, &p.epsilon, &p.gamma, &p.delta}) *v = uniform(0.0, 2.0);
        for (double* v : {&p.tau_E, &p.tau_I}) *v = uniform(0.5, 5.0);
        p.theta = uniform(-5.0, 20.0);
        p.beta = uniform(0.05, 1.5);
        p.f_max = uniform(1.0, 100.0);
        return p;
    }

    std::vector<double> values(std::size_t n, double lo, double hi) {
        std::vector<double> v(n);
        for (double& x : v) x = below(16) == 0 ? -0.0 : uniform(lo, hi);
        return v;
    }

  private:
    std::mt19937_64 rng_;
};

// Sizes around the interleave widths (4 lanes, 4-wide vectors, slices of
// SlicedMatrix::slice_rows), both matrices present or absent, and sizes that
// split unevenly between threads.
const std::vector<Shape> shapes = {
    {0, 0, 0, true, true},           {0, 2, 3, false, false},   {1, 1, 0, true, true},
    {1, 0, 4, true, false},          {2, 3, 5, true, true},     {3, 1, 2, false, true},
    {5, 2, 7, true, true},           {7, 0, 6, true, false},    {13, 4, 1, true, true},
    {127, 5, 9, true, true},         {128, 3, 20, true, true},  {129, 6, 12, true, false},
    {300, 8, 40, true, true},        {301, 2, 0, true, true},   {1000, 9, 30, true, true},
    {1001, 3, 3, true, true},        {1283, 0, 9, true, false}, {700, 5, 0, false, true},
    {1100, 2, 12, true, true, 30.0},
};

// Lane counts of the batch runs, one per shape in turn: single lanes, part
// and whole vectors of four, and more than the sixteen held in registers.
constexpr std::size_t lane_counts[] = {3, 1, 2, 4, 5, 7, 8, 9, 12, 13, 16, 17, 20, 6};

// On each path and shape: the sparse products (CSR, sliced, in place), and
// whole runs with clamps and inputs on every thread count.
TEST(KernelDiff, FastKernelsMatchThePlainOnes) {
    RandomNetworks gen(1);
    for (const KernelPath path : paths) {
        const PathScope scope(path);
        for (const Shape& s : shapes) {
            SCOPED_TRACE("shape " + std::to_string(&s - shapes.data()) +
                         (path == KernelPath::fma ? ", fma path" : ", baseline path"));
            const auto n = static_cast<std::size_t>(s.nodes);
            for (const int cols : {s.nodes, s.inputs + 1}) {
                const SparseMatrix m = gen.matrix(s.nodes, cols, s.max_degree);
                const std::vector<double> x = gen.values(static_cast<std::size_t>(cols), -50, 50);
                const std::vector<double> y0 = gen.values(n, -1.0, 1.0);
                std::vector<double> expected = y0, csr = y0, sliced = y0;
                reference::multiply_add(m, x, expected);
                m.multiply_add(x, csr);
                SlicedMatrix(m).multiply_add(x, sliced);
                EXPECT_TRUE(same_bits(expected, csr)) << "CSR, " << cols << " columns";
                EXPECT_TRUE(same_bits(expected, sliced)) << "sliced, " << cols << " columns";
                // Split at a row: each side's product touches its own rows only.
                const auto split = static_cast<std::int32_t>(s.nodes / 3);
                const SlicedMatrix broken(m, {split});
                const std::int32_t middle = broken.first_slice_from(split);
                std::vector<double> halves = y0, rows_halves = y0;
                broken.multiply_add_slices(x.data(), halves.data(), 0, middle);
                m.multiply_add_rows(x, rows_halves, 0, split);
                std::vector<double> first_rows = y0;
                std::copy_n(expected.begin(), split, first_rows.begin());
                EXPECT_TRUE(same_bits(first_rows, halves)) << "sliced, first rows";
                EXPECT_TRUE(same_bits(first_rows, rows_halves)) << "CSR, first rows";
                broken.multiply_add_slices(x.data(), halves.data(), middle, broken.slices());
                m.multiply_add_rows(x, rows_halves, split, s.nodes);
                EXPECT_TRUE(same_bits(expected, halves)) << "sliced in two";
                EXPECT_TRUE(same_bits(expected, rows_halves)) << "CSR in two";
                if (cols == s.nodes) {
                    // In place: later rows see what earlier rows wrote.
                    std::vector<double> plain_in_place = x, in_place = x;
                    reference::multiply_add(m, plain_in_place, plain_in_place);
                    m.multiply_add(in_place, in_place);
                    EXPECT_TRUE(same_bits(plain_in_place, in_place)) << "in place";
                }
            }

            const Network net = gen.network(s);
            const double h = 0.1;
            std::vector<ActivationFunction> clamps(n, [](double) { return 0.0; });
            for (std::size_t j = 0; j < n; j += 3) {
                const double from = 0.1 * static_cast<double>(j % 4);
                clamps[j] = window_clamp(from, from + 0.25, j % 2 ? 50.0 : -0.5);
            }
            std::vector<ActivationFunction> inputs;
            for (int k = 0; k < s.inputs; ++k) {
                inputs.push_back(make_piecewise_activation(
                    {{0.05 * k, 0.05 * k + 0.3, 100.0}, {0.6, 0.7, gen.uniform(1.0, 50.0)}}));
            }
            const std::vector<double> y0 = gen.values(n, 0.0, 10.0);
            std::vector<std::vector<double>> expected;
            reference::Kernel ref(net, h);
            ref.run(0.0, 10, y0, clamps, inputs, [&](double, const std::vector<double>& y) {
                std::vector<double> row(n);
                for (std::size_t j = 0; j < n; ++j) row[j] = net.is_excitatory[j] ? y[j] : y[n + j];
                expected.push_back(row);
            });
            for (const unsigned threads : {1u, 2u, 3u, 5u, 8u}) {
                Simulator sim(&net, h, threads);
                ASSERT_EQ(sim.thread_count(), sim_threads(n, threads));
                for (std::size_t j = 0; j < clamps.size(); ++j)
                    sim.set_clamp(j, as_clamp(clamps[j]));
                for (std::size_t k = 0; k < inputs.size(); ++k)
                    sim.set_input_function(k, inputs[k]);
                const auto rows = sim.simulate(0.0, 1.0, y0);
                ASSERT_EQ(rows.size(), expected.size());
                for (std::size_t i = 0; i < rows.size(); ++i) {
                    ASSERT_TRUE(same_bits(expected[i], rows[i]))
                        << threads << " threads, sample " << i;
                }
            }

            // A batch: every lane with its own parameters, stimuli, clamps
            // and start against its own single run.
            const std::size_t lanes =
                lane_counts[static_cast<std::size_t>(&s - shapes.data()) % std::size(lane_counts)];
            struct LaneSetup {
                NetworkParameters parameters;
                std::vector<ActivationFunction> inputs, clamps;
            };
            std::vector<LaneSetup> lane_setup;
            std::vector<std::vector<double>> lane_y0;
            std::vector<std::vector<std::vector<double>>> lane_expected;
            for (std::size_t l = 0; l < lanes; ++l) {
                // Lane 0 runs on the network's own parameters.
                const NetworkParameters parameters = l == 0 ? net.parameters : gen.parameters();
                std::vector<ActivationFunction> lane_clamps(n, [](double) { return 0.0; });
                for (std::size_t j = l % 2; j < n; j += 2 + l % 3) {
                    lane_clamps[j] =
                        window_clamp(0.1 * static_cast<double>(l % 3), 0.35, l % 2 ? -0.5 : 50.0);
                }
                std::vector<ActivationFunction> lane_inputs = inputs;
                for (std::size_t q = l % 2; q < lane_inputs.size(); q += 2) {
                    lane_inputs[q] = make_piecewise_activation(
                        {{0.02 * static_cast<double>(l), 0.4, gen.uniform(1.0, 80.0)}});
                }
                lane_y0.push_back(l == 0 ? y0 : gen.values(n, 0.0, 10.0));
                Simulator single(&net, h, 1);
                single.set_parameters(parameters);
                for (std::size_t j = 0; j < n; ++j) single.set_clamp(j, as_clamp(lane_clamps[j]));
                for (std::size_t q = 0; q < lane_inputs.size(); ++q) {
                    single.set_input_function(q, lane_inputs[q]);
                }
                lane_expected.push_back(single.simulate(0.0, 1.0, lane_y0.back()));
                lane_setup.push_back({parameters, lane_inputs, lane_clamps});
            }
            for (const unsigned threads : {1u, 2u, 3u}) {
                BatchSimulator batch(&net, h, lanes, threads);
                ASSERT_EQ(batch.thread_count(), sim_threads(n, threads));
                for (std::size_t l = 0; l < lanes; ++l) {
                    batch.set_parameters(l, lane_setup[l].parameters);
                    for (std::size_t j = 0; j < n; ++j) {
                        batch.set_clamp(l, j, as_clamp(lane_setup[l].clamps[j]));
                    }
                    for (std::size_t q = 0; q < lane_setup[l].inputs.size(); ++q) {
                        batch.set_input_function(l, q, lane_setup[l].inputs[q]);
                    }
                }
                const auto runs = batch.simulate(0.0, 1.0, lane_y0);
                ASSERT_EQ(runs.size(), lanes);
                for (std::size_t l = 0; l < lanes; ++l) {
                    ASSERT_EQ(runs[l].size(), lane_expected[l].size());
                    for (std::size_t i = 0; i < runs[l].size(); ++i) {
                        ASSERT_TRUE(same_bits(lane_expected[l][i], runs[l][i]))
                            << lanes << " lanes, lane " << l << ", " << threads
                            << " threads, sample " << i;
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace vesk
