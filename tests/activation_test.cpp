#include "stimulus/activation.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "test_support.hpp"

namespace vesk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Each function's value just inside and just outside its edges. The legacy
// margin is 0.1 ms per step, and never less than the 1e-12 ms edge
// tolerance that clamps also have.
TEST(Activation, ValuesAtAndAroundTheEdges) {
    const std::vector<ScheduleWindow> overlapping{{0.0, 1.0, 100.0}, {0.5, 2.0, 7.0}};
    const std::vector<ScheduleWindow> one{{1.0, 2.0, 100.0}};
    const std::vector<std::pair<double, double>> tiny_margin{
        {1.0, 0.0},           {1.0 + 5e-13, 0.0}, {1.5, 100.0}, {2.0, 100.0},
        {2.0 + 5e-13, 100.0}, {2.0 + 2e-12, 0.0}, {kNaN, 0.0}};
    const struct {
        const char* what;
        ActivationFunction f;
        std::vector<std::pair<double, double>> probes;  // time, value
    } cases[] = {
        {"no windows", make_piecewise_activation({}), {{-1.0, 0.0}, {0.0, 0.0}, {kNaN, 0.0}}},
        {"inclusive edges",
         make_piecewise_activation({{0.0, 2.0, 100.0}}),
         {{0.0, 100.0}, {2.0, 100.0}, {std::nextafter(2.0, 3.0), 0.0}, {-1e-7, 0.0}, {kNaN, 0.0}}},
        {"first match wins",
         make_piecewise_activation(overlapping),
         {{0.7, 100.0}, {1.0, 100.0}, {1.5, 7.0}, {2.0, 7.0}, {2.5, 0.0}}},
        {"legacy, no margin", make_piecewise_activation_legacy_window(one, 0.0), tiny_margin},
        {"legacy, negative margin", make_piecewise_activation_legacy_window(one, -3.0),
         tiny_margin},
        {"legacy, NaN margin", make_piecewise_activation_legacy_window(one, kNaN), tiny_margin},
        {"legacy, 10 steps",
         make_piecewise_activation_legacy_window(one, 10.0),
         {{2.0, 0.0}, {2.5, 100.0}, {3.0, 100.0}, {3.1, 0.0}}},
        {"legacy, first match wins",
         make_piecewise_activation_legacy_window(overlapping, 0.0),
         {{0.7, 100.0}, {1.5, 7.0}}},
        // Value i from fma(i, 0.1, 0) on; 0.0 outside the series.
        {"sampled",
         make_sampled_activation(
             std::make_shared<const std::vector<double>>(std::vector<double>{1.0, 2.0, -3.0}), 0.0,
             0.1),
         {{0.0, 1.0}, {0.1, 2.0}, {0.2, -3.0}, {0.1 + 0.1 + 0.1, 0.0}, {-0.1, 0.0}, {kNaN, 0.0}}},
    };
    for (const auto& c : cases) {
        for (const auto& [t, value] : c.probes) EXPECT_EQ(c.f(t), value) << c.what << " at " << t;
    }
}

// Clamp windows hold 0.0 as a value; the last window holding t decides.
TEST(Activation, ClampWindowsMayHoldZero) {
    const ClampFunction f = make_clamp_windows({{0.1, 0.7, 0.0}, {0.5, 1.0, 7.0}}, 1e-9);
    const std::vector<std::pair<double, std::optional<double>>> probes{
        {0.1 - 5e-10, 0.0},  {0.3, 0.0},          {0.5, 7.0},
        {7 * 0.1, 7.0},      {1.0 + 5e-10, 7.0},  {0.1 - 2e-9, std::nullopt},
        {1.5, std::nullopt}, {kNaN, std::nullopt}};
    for (const auto& [t, value] : probes) EXPECT_EQ(f(t), value) << t;
}

}  // namespace
}  // namespace vesk
