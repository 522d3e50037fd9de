// The run setup every front end shares: grids, clamps and the recording of
// kept samples. Whole runs through it are compared with the command line by
// the Python equivalence tests; the stimuli's messages are checked where
// users meet them (tests/cli_test.cpp, tests/python/test_run.py).
#include "run/run_setup.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "run/recorded_run.hpp"
#include "run/run_plan.hpp"
#include "run/sample_grid.hpp"
#include "sim/sample_driver.hpp"
#include "test_support.hpp"

namespace vesk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Node i has row index 10 + i; node 1 is inhibitory. Inputs "a" and "b".
Network two_nodes() {
    Network net;
    net.n_nodes = 2;
    net.n_inputs = 2;
    net.is_excitatory = {true, false};
    net.node_metadata.resize(2);
    for (int i = 0; i < 2; ++i) {
        net.node_metadata[static_cast<std::size_t>(i)].node_id = i;
        net.node_metadata[static_cast<std::size_t>(i)].row_index = 10 + i;
    }
    net.input_names = {"a", "b"};
    net.input_row_index = {20, 21};
    net.parameters.theta = 0.0;
    net.parameters.beta = 1.0;
    net.parameters.f_max = 1.0;
    return net;
}

TEST(RunSetup, StepGrids) {
    const Network net = two_nodes();
    const std::string too_many =
        "t_end / h must give fewer than 2147483647 samples, got t_end=1e+10 ms and h=0.001 ms";
    const struct {
        double t_end, h;
        std::int64_t n_samples;
        std::string error;
    } cases[] = {
        // Grids of whole runs: tests/python/test_run.py.
        {0.0, 0.1, 1, ""},
        {1e10, 1e-3, 0, too_many},
        {1.0, 0.0, 0, "h must be a positive number of ms, got 0.0"},
        {1.0, kNaN, 0, "h must be a positive number of ms, got nan"},
        {-1.0, 0.1, 0, "t_end must be a finite number of ms >= 0, got -1.0"},
        {INFINITY, 0.1, 0, "t_end must be a finite number of ms >= 0, got inf"},
    };
    for (const auto& c : cases) {
        if (!c.error.empty()) {
            EXPECT_THROW_MSG(step_grid(c.t_end, c.h), std::runtime_error, c.error);
            continue;
        }
        const SampleGrid g = step_grid(c.t_end, c.h);
        EXPECT_EQ(g.n_samples, c.n_samples) << c.t_end << " / " << c.h;
        EXPECT_EQ(g.tf, static_cast<double>(c.n_samples - 1) * c.h);
        EXPECT_EQ(checked_step_count(&net, g.h, 0.0, g.tf), c.n_samples - 1);
    }
    EXPECT_EQ(step_grid_samples(3, 0.25).tf, 0.5);
    EXPECT_EQ(step_grid_samples(1, 0.25).n_samples, 1);  // one sample, no step
    EXPECT_THROW_MSG(step_grid_samples(0, 0.1), std::runtime_error,
                     "n_steps must lie between 1 and 2147483647, got 0");
    const SampleGrid cli = command_line_grid(0.0, 1800);
    EXPECT_EQ(cli.tf, 180.0);
    EXPECT_EQ(cli.h, 180.0 / 1799.0);
    EXPECT_EQ(cli.n_samples, 1800);
}

// Rows name nodes through their records; repeats of one request act once.
TEST(RunSetup, ClampsByRowIndex) {
    const Network net = two_nodes();
    const ClampSetup setup = clamp_setup(net, {{11, 1.0, 2.0, 0.0, 0.0},
                                               {99, 0.0, 1.0, 5.0, 0.0},
                                               {10, 0.0, 1.0, 5.0, 0.5},
                                               {11, 1.5, 3.0, 7.0, 0.0},
                                               {11, 1.0, 2.0, 0.0, 0.0},
                                               {-1, 0.0, 1.0, 5.0, 0.0}});
    EXPECT_EQ(setup.not_found, (std::vector<std::int32_t>{99, -1}));
    ASSERT_EQ(setup.clamps.size(), 2u);
    EXPECT_EQ(setup.clamps[0].node, 0u);
    EXPECT_EQ(setup.clamps[0].function(1.5), 5.0);  // reaches 0.5 ms further
    EXPECT_EQ(setup.clamps[0].function(1.6), std::nullopt);
    EXPECT_EQ(setup.clamps[1].node, 1u);
    // The repeat of the first request comes last and so wins over 1.5 .. 3.
    EXPECT_EQ(setup.clamps[1].function(1.7), 0.0);
    EXPECT_EQ(setup.clamps[1].function(2.5), 7.0);

    // A bindings file's clamps hold their nodes at 50.0 from 0.1 ms to 4.9 ms,
    // 1e-12 ms beyond either end; its repeats and unknown rows count apart.
    RunPlan plan(net, step_grid(1.0, 0.1));
    EXPECT_EQ(plan.add_clamps(binding_clamp_requests({11, 12, 11, 13})),
              (std::vector<std::int32_t>{12, 13}));
    const ClampFunction bound = clamp_setup(net, binding_clamp_requests({10})).clamps[0].function;
    const std::pair<double, std::optional<double>> probes[] = {
        {0.0, std::nullopt},        {0.1 - 2e-12, std::nullopt}, {0.1, 50.0},         {4.9, 50.0},
        {4.9000000000000004, 50.0}, {4.9 + 2e-12, std::nullopt}, {kNaN, std::nullopt}};
    for (const auto& [t, value] : probes) EXPECT_EQ(bound(t), value) << t;
}

// What a recording keeps is checked value by value through Python's runs
// (tests/python/test_run.py); here only its shape and refusals.
TEST(RunSetup, RecordingShapes) {
    const Network net = two_nodes();
    RecordingPlan plan;
    plan.every = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(recording_shape(net, 5, plan).kept, 1);
    plan.every = 2;
    plan.state = RecordedState::both;
    plan.inputs = true;
    const RecordingShape shape = recording_shape(net, 5, plan);
    EXPECT_EQ(std::make_tuple(shape.kept, shape.node_values, shape.input_values),
              std::make_tuple(std::int64_t{3}, std::size_t{4}, std::size_t{2}));
    plan = {};
    plan.all_nodes = false;
    plan.nodes = {2};
    EXPECT_THROW_MSG(recording_shape(net, 5, plan), std::runtime_error, "node id out of range");
    plan.nodes = {0};
    try {
        recording_shape(net, std::int64_t{1} << 40, plan);
        ADD_FAILURE() << "a recording beyond any memory was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("run: the kept samples need 16384.0 GiB of memory, "
                                              "this machine has ",
                                              0),
                  0u)
            << e.what();
    }
}

}  // namespace
}  // namespace vesk
