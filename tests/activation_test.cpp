#include "stimulus/activation.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "test_support.hpp"

namespace vesk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Probe {
    double t;
    double expected;
};

void expect_values(const ActivationFunction& f, const std::vector<Probe>& probes) {
    for (const Probe& p : probes) {
        EXPECT_EQ(f(p.t), p.expected) << "at t = " << p.t;
    }
}

TEST(Activation, EmptyWindowListIsZeroEverywhere) {
    const std::vector<Probe> zeros{{-1.0, 0.0}, {0.0, 0.0}, {1.5, 0.0}, {1e9, 0.0}, {kNaN, 0.0}};
    expect_values(make_piecewise_activation({}), zeros);
    expect_values(make_piecewise_activation_legacy_window({}, 0.0), zeros);
    expect_values(make_piecewise_activation_legacy_window({}, 10.0), zeros);
}

TEST(Activation, PiecewiseEdgesAreInclusiveWithoutTolerance) {
    expect_values(make_piecewise_activation({{0.0, 2.0, 100.0}}), {{0.0, 100.0},
                                                                   {1.0, 100.0},
                                                                   {2.0, 100.0},
                                                                   {2.0000001, 0.0},
                                                                   {-0.0000001, 0.0},
                                                                   {std::nextafter(2.0, 3.0), 0.0},
                                                                   {kNaN, 0.0}});
}

TEST(Activation, PiecewiseFirstMatchingWindowWins) {
    expect_values(make_piecewise_activation({{0.0, 1.0, 100.0}, {0.5, 2.0, 7.0}}),
                  {{0.7, 100.0}, {1.0, 100.0}, {1.5, 7.0}, {2.0, 7.0}, {2.5, 0.0}});
    // Same windows the other way round: now the later-starting one wins.
    expect_values(make_piecewise_activation({{0.5, 2.0, 7.0}, {0.0, 1.0, 100.0}}),
                  {{0.2, 100.0}, {0.7, 7.0}});
}

TEST(Activation, PiecewiseReversedWindowNeverMatches) {
    expect_values(make_piecewise_activation({{2.0, 1.0, 5.0}}),
                  {{1.0, 0.0}, {1.5, 0.0}, {2.0, 0.0}});
}

TEST(Activation, PiecewiseOwnsACopyOfTheWindows) {
    std::vector<ScheduleWindow> windows{{0.0, 1.0, 3.0}};
    const ActivationFunction f = make_piecewise_activation(windows);
    windows[0].value = 9.0;
    windows.push_back({2.0, 3.0, 4.0});
    EXPECT_EQ(f(0.5), 3.0);
    EXPECT_EQ(f(2.5), 0.0);
    const ActivationFunction copy = f;
    EXPECT_EQ(copy(0.5), 3.0);
}

TEST(Activation, LegacyWindowShiftsByTheMargin) {
    const std::vector<ScheduleWindow> w{{1.0, 2.0, 100.0}};
    // margin_steps 0 (and anything at or below it, or NaN) gives a margin of 1e-12 ms.
    const std::vector<Probe> tiny_margin{{1.0, 0.0},   {1.0 + 5e-13, 0.0},   {1.5, 100.0},
                                         {2.0, 100.0}, {2.0 + 5e-13, 100.0}, {2.0 + 2e-12, 0.0},
                                         {kNaN, 0.0}};
    expect_values(make_piecewise_activation_legacy_window(w, 0.0), tiny_margin);
    expect_values(make_piecewise_activation_legacy_window(w, -3.0), tiny_margin);
    expect_values(make_piecewise_activation_legacy_window(w, kNaN), tiny_margin);

    expect_values(make_piecewise_activation_legacy_window(w, 10.0),
                  {{2.0, 0.0}, {2.5, 100.0}, {3.0, 100.0}, {3.1, 0.0}});
}

TEST(Activation, LegacyWindowFirstMatchWins) {
    expect_values(
        make_piecewise_activation_legacy_window({{0.0, 1.0, 100.0}, {0.5, 2.0, 7.0}}, 0.0),
        {{0.7, 100.0}, {1.5, 7.0}});
}

TEST(Activation, ClampHoldsItsValueWithinToleranceOfTheEdges) {
    const std::vector<Probe> profile{
        {0.0, 0.0},         {0.1 - 2e-12, 0.0}, {0.1, 50.0},
        {2.5, 50.0},        {4.9, 50.0},        {4.9000000000000004, 50.0},
        {4.9 + 2e-12, 0.0}, {5.0, 0.0},         {kNaN, 0.0}};
    expect_values(make_clamp_function({3}, 0.1, 4.9, 50.0), profile);
    // The node list does not shape the profile.
    expect_values(make_clamp_function({}, 0.1, 4.9, 50.0), profile);
    expect_values(make_clamp_function({0, 7, 7}, 0.1, 4.9, 50.0), profile);
}

TEST(Activation, ClampOfZeroValueIsZeroEverywhere) {
    expect_values(make_clamp_function({0}, 0.1, 4.9, 0.0), {{0.0, 0.0}, {1.0, 0.0}, {5.0, 0.0}});
}

}  // namespace
}  // namespace vesk
