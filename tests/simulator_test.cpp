#include "sim/simulator.hpp"

#include <cmath>
#include <stdexcept>

#include "test_support.hpp"

namespace vesk {
namespace {

// Uncoupled nodes with the given excitatory flags, no weights, no inputs.
Network uncoupled(std::vector<bool> excitatory, double theta = 0.0, double beta = 1.0,
                  double f_max = 1.0) {
    Network net;
    net.n_nodes = static_cast<int>(excitatory.size());
    net.is_excitatory = std::move(excitatory);
    net.theta = theta;
    net.beta = beta;
    net.f_max = f_max;
    return net;
}

struct Sample {
    double t;
    std::vector<double> row;
};

std::vector<Sample> run(Simulator& sim, double t0, double tf, const std::vector<double>& y0) {
    std::vector<Sample> samples;
    sim.simulate_stream(t0, tf, y0, [&samples](double t, const std::vector<double>& row) {
        samples.push_back({t, row});
    });
    return samples;
}

TEST(Simulator, WorkedExampleBitForBit) {
    const Network net = uncoupled({true, false});
    Simulator sim(&net, 0.1);
    const auto rows = sim.simulate(0.0, 0.2, {0.0, 0.0});
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(rows[1], (std::vector<double>{0.019605280000000003, 0.038441813333333331}));
    // The last digits depend on the fused operations of the RK4 update.
    EXPECT_EQ(rows[2], (std::vector<double>{0.038441825992243203, 0.073928080641956981}));
}

TEST(Simulator, SampleTimesAndStepCounts) {
    const Network net = uncoupled({true});
    struct Case {
        double t0, tf, h;
        std::vector<double> times;
    };
    const std::vector<Case> cases = {
        {0.0, 0.0, 1.0, {0.0}},                 // tf = t0: one sample, no step
        {0.0, 2.5, 1.0, {0.0, 1.0, 2.0, 3.0}},  // 2.5 steps round away from zero
        {0.0, 2.49, 1.0, {0.0, 1.0, 2.0}},
        {1.0,
         1.3,
         0.1,
         {1.0, std::fma(1.0, 0.1, 1.0), std::fma(2.0, 0.1, 1.0),
          std::fma(3.0, 0.1, 1.0)}},  // from the index, not a running sum
    };
    for (const auto& c : cases) {
        Simulator sim(&net, c.h);
        std::vector<double> times;
        for (const auto& s : run(sim, c.t0, c.tf, {0.25})) times.push_back(s.t);
        EXPECT_EQ(times, c.times) << c.t0 << ".." << c.tf;
    }
    // With no clamp active the first row is the initial state.
    Simulator sim(&net, 0.1);
    EXPECT_EQ(run(sim, 0.0, 0.1, {0.25})[0].row, (std::vector<double>{0.25}));

    const Network empty = uncoupled({});
    Simulator none(&empty, 0.5);
    const auto samples = run(none, 0.0, 1.0, {});
    ASSERT_EQ(samples.size(), 3u);
    EXPECT_TRUE(samples[2].row.empty());
}

TEST(Simulator, ArgumentChecksInOrder) {
    const Network net = uncoupled({true, true});
    struct Case {
        const Network* network;
        double h, t0, tf;
        std::size_t y0_size;
        const char* message;
    };
    const std::vector<Case> cases = {
        {nullptr, -1.0, 1.0, 0.0, 0, "Simulator has null network"},
        {&net, 0.0, 0.0, 0.0, 2, "Step size h must be > 0"},
        {&net, -1.0, 1.0, 0.0, 1, "Step size h must be > 0"},
        {&net, 0.1, 1.0, 0.0, 1, "simulate: tf must be >= t0"},
        {&net, 0.1, 0.0, 1.0, 1, "simulate: y0 size must equal n_nodes"},
        {&net, 1e-300, 0.0, 1.0, 2,
         "simulate: number of steps (tf - t0) / h must be a finite value below 2^31"},
        {&net, 0.1, 0.0, INFINITY, 2,
         "simulate: number of steps (tf - t0) / h must be a finite value below 2^31"},
        {&net, NAN, 0.0, 1.0, 2,
         "simulate: number of steps (tf - t0) / h must be a finite value below 2^31"},
    };
    for (const auto& c : cases) {
        Simulator sim(c.network, c.h);
        int calls = 0;
        EXPECT_THROW_MSG(sim.simulate_stream(c.t0, c.tf, std::vector<double>(c.y0_size, 0.0),
                                             [&calls](double, const auto&) { ++calls; }),
                         std::runtime_error, c.message);
        EXPECT_EQ(calls, 0);
    }
}

TEST(Simulator, ClampsHoldBothActivitiesAndThenRelease) {
    const Network net = uncoupled({true, false, true});
    Simulator sim(&net, 0.1);
    const auto clamp = make_clamp_function({0}, 0.1, 4.9, 50.0);
    sim.clamp_functions[0] = clamp;
    sim.clamp_functions[1] = clamp;
    const auto samples = run(sim, 0.0, 5.5, {0.0, 0.0, 0.0});
    ASSERT_EQ(samples.size(), 56u);
    EXPECT_NE(samples[0].row[0], 50.0);  // free at 0 ms
    for (std::size_t i = 1; i <= 49; ++i) {
        EXPECT_EQ(samples[i].row[0], 50.0) << samples[i].t;
        EXPECT_EQ(samples[i].row[1], 50.0) << samples[i].t;
    }
    // Released from 5.0 ms: relaxing down from 50 towards S(0) = 0.5.
    for (std::size_t i = 50; i < samples.size(); ++i) {
        EXPECT_LT(samples[i].row[0], samples[i - 1].row[0]);
        EXPECT_LT(samples[i].row[1], samples[i - 1].row[1]);
        EXPECT_GT(samples[i].row[1], 0.5);
    }
    EXPECT_LT(samples[55].row[2], 0.5);  // the unclamped node never saw the clamp
}

TEST(Simulator, ZeroOfEitherSignDoesNotClampButNegativeValuesDo) {
    const Network net = uncoupled({true, true});
    Simulator sim(&net, 0.1);
    sim.clamp_functions[0] = [](double) { return -0.0; };
    sim.clamp_functions[1] = [](double) { return -1.0; };
    const auto samples = run(sim, 0.0, 0.3, {0.0, 0.0});
    for (const auto& s : samples) {
        EXPECT_EQ(s.row[1], -1.0);
        EXPECT_NE(s.row[0], -1.0);
    }
    EXPECT_GT(samples.back().row[0], 0.0);
}

TEST(Simulator, InputsAreHeldFromOneSampleToTheNext) {
    Network net = uncoupled({true}, 0.0, 1.0, 1.0);
    net.n_inputs = 1;
    net.input_weights.emplace(1, 1);
    net.input_weights->build_from_triplets(1, {{0, 0, 2.0}});
    Simulator quiet(&net, 0.1);
    Simulator driven(&net, 0.1);
    // Switches on between the samples at 0.1 and 0.2 ms.
    driven.input_functions[0] = [](double t) { return t > 0.15 ? 1.0 : 0.0; };
    const auto a = run(quiet, 0.0, 0.4, {0.0});
    const auto b = run(driven, 0.0, 0.4, {0.0});
    for (std::size_t i = 0; i <= 2; ++i) EXPECT_EQ(a[i].row, b[i].row) << a[i].t;
    EXPECT_GT(b[3].row[0], a[3].row[0]);
    EXPECT_EQ(driven.input_values[0], 1.0);
}

TEST(Simulator, UncoupledNodesRelaxTowardsTheGainAtZero) {
    Network net = uncoupled({true, false}, 1.0, 2.0, 3.0);
    net.tau_E = 4.0;
    net.tau_I = 0.5;
    Simulator sim(&net, 0.1);
    EXPECT_EQ(sim.sigmoid(0.0), 3.0 / (std::exp(2.0) + 1.0));
    const double s0 = 3.0 / (std::exp(2.0) + 1.0);
    const auto samples = run(sim, 0.0, 3.0, {0.0, 0.0});
    for (const auto& s : samples) {
        EXPECT_NEAR(s.row[0], s0 * (1.0 - std::exp(-s.t / 4.0)), 1e-9) << s.t;
        EXPECT_NEAR(s.row[1], s0 * (1.0 - std::exp(-s.t / 0.5)), 1e-5) << s.t;
    }
}

TEST(Simulator, CouplingUsesTheOutputOfEachSourceNode) {
    // Node 1 (inhibitory) feeds node 0 through its I value only.
    Network net = uncoupled({true, false});
    net.weights.emplace(2, 2);
    net.weights->build_from_triplets(2, {{0, 1, 10.0}});
    Simulator sim(&net, 0.1);
    std::vector<double> y{0.0, 0.0, 0.0, 0.2};  // E0, E1, I0, I1
    std::vector<double> dydt(4);
    sim.rhs(y, 0.0, dydt);
    EXPECT_EQ(dydt[0], (1.0 / (std::exp(-2.0) + 1.0) - 0.0) / 2.5);
    EXPECT_EQ(dydt[1], (0.5 - 0.0) / 2.5);
    y[3] = 0.0;
    y[1] = 0.2;  // node 1's E value is never sent
    sim.rhs(y, 0.0, dydt);
    EXPECT_EQ(dydt[0], 0.5 / 2.5);
}

}  // namespace
}  // namespace vesk
