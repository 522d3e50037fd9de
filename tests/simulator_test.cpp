// The sampling loop's contract. Its arithmetic is checked bit for bit by
// kernel_diff_test.cpp and, through whole runs, by the end-to-end scenarios.
#include "sim/simulator.hpp"

#include <cmath>
#include <stdexcept>

#include "test_support.hpp"

namespace vesk {
namespace {

Network one_node() {
    Network net;
    net.n_nodes = 1;
    net.is_excitatory = {true};
    return net;
}

TEST(Simulator, SampleTimesAndStepCounts) {
    const Network net = one_node();
    const struct {
        double t0, tf, h;
        std::vector<double> times;
    } cases[] = {
        {0.0, 0.0, 1.0, {0.0}},                 // tf = t0: one sample, no step
        {0.0, 2.5, 1.0, {0.0, 1.0, 2.0, 3.0}},  // 2.5 steps round away from zero
        {0.0, 2.49, 1.0, {0.0, 1.0, 2.0}},
        // From the index: a running sum would reach 1.2000000000000002.
        {1.0, 1.3, 0.1, {1.0, 1.1, 1.2, 1.3}},
    };
    for (const auto& c : cases) {
        Simulator sim(&net, c.h);
        std::vector<double> times;
        sim.simulate_stream(c.t0, c.tf, {0.25}, [&](double t, const std::vector<double>& row) {
            // With no clamp active the first row is the initial state.
            if (times.empty()) {
                EXPECT_EQ(row, std::vector<double>{0.25});
            }
            times.push_back(t);
        });
        EXPECT_EQ(times, c.times) << c.t0 << ".." << c.tf;
    }
}

TEST(Simulator, ArgumentChecksInOrder) {
    Network net = one_node();
    const std::string steps =
        "simulate: number of steps (tf - t0) / h must be a finite value below 2^31";
    const struct {
        const Network* network;
        double h, t0, tf;
        std::size_t y0_size;
        std::string message;
    } cases[] = {
        {nullptr, -1.0, 1.0, 0.0, 0, "Simulator has null network"},
        {&net, 0.0, 0.0, 0.0, 1, "Step size h must be > 0"},
        {&net, -1.0, 1.0, 0.0, 2, "Step size h must be > 0"},
        {&net, 0.1, 1.0, 0.0, 2, "simulate: tf must be >= t0"},
        {&net, 0.1, 0.0, 1.0, 2, "simulate: y0 size must equal n_nodes (got 2, need 1)"},
        {&net, 1e-300, 0.0, 1.0, 1, steps},
        {&net, 0.1, 0.0, INFINITY, 1, steps},
        {&net, NAN, 0.0, 1.0, 1, steps},
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

// Runs of one network may differ in its constants alone: replaced before a
// run, they act as those of a network loaded with them, bit for bit.
TEST(Simulator, ReplacedParametersActAsTheNetworksOwn) {
    Network own = one_node();
    own.parameters.theta = 0.5;
    own.parameters.beta = 2.0;
    own.parameters.f_max = 3.0;
    own.parameters.epsilon = 0.5;  // so that the inhibitory constants reach the traced output
    Network other = own;
    for (double NetworkParameters::*member :
         {&NetworkParameters::alfa, &NetworkParameters::epsilon, &NetworkParameters::gamma,
          &NetworkParameters::delta, &NetworkParameters::tau_E, &NetworkParameters::tau_I,
          &NetworkParameters::theta, &NetworkParameters::beta, &NetworkParameters::f_max}) {
        NetworkParameters p = own.parameters;
        p.*member += 0.25;
        other.parameters = p;
        Simulator replaced(&own, 0.1), loaded(&other, 0.1), plain(&own, 0.1);
        replaced.set_parameters(p);
        const auto rows = replaced.simulate(0.0, 1.0, {0.2});
        EXPECT_EQ(rows, loaded.simulate(0.0, 1.0, {0.2}));
        EXPECT_NE(rows, plain.simulate(0.0, 1.0, {0.2}));
    }
}

}  // namespace
}  // namespace vesk
