#include "stimulus/activation.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "test_support.hpp"

namespace vesk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Each function's value just inside and just outside its edges. The legacy
// margin is 0.1 ms per step, and never less than the 1e-12 ms edge
// tolerance that clamps also have. Clamp windows hold 0.0 as a value, and
// the last window holding t decides.
TEST(Activation, ValuesAtAndAroundTheEdges) {
    const std::vector<ScheduleWindow> overlapping{{0.0, 1.0, 100.0}, {0.5, 2.0, 7.0}};
    const std::vector<ScheduleWindow> one{{1.0, 2.0, 100.0}};
    using Probes = std::vector<std::pair<double, std::optional<double>>>;  // time, value
    const Probes tiny_margin{{1.0, 0.0},           {1.0 + 5e-13, 0.0}, {1.5, 100.0}, {2.0, 100.0},
                             {2.0 + 5e-13, 100.0}, {2.0 + 2e-12, 0.0}, {kNaN, 0.0}};
    const Probes clamped{{0.1 - 5e-10, 0.0},  {0.3, 0.0},          {0.5, 7.0},
                         {7 * 0.1, 7.0},      {1.0 + 5e-10, 7.0},  {0.1 - 2e-9, std::nullopt},
                         {1.5, std::nullopt}, {kNaN, std::nullopt}};
    const struct {
        const char* what;
        ClampFunction f;  // activations too: they have a value at every time
        Probes probes;
    } cases[] = {
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
        {"clamp windows", make_clamp_windows({{0.1, 0.7, 0.0}, {0.5, 1.0, 7.0}}, 1e-9), clamped},
    };
    for (const auto& c : cases) {
        for (const auto& [t, value] : c.probes) EXPECT_EQ(c.f(t), value) << c.what << " at " << t;
    }
}

// The first-match value as a plain scan of the list: what the piecewise
// activation must give, bit for bit, at any time and in any order of calls.
double first_match(const std::vector<ScheduleWindow>& windows, double t) {
    for (const ScheduleWindow& w : windows) {
        if (t >= w.start_ms && t <= w.end_ms) return w.value;
    }
    return 0.0;
}

TEST(Activation, PiecewiseGivesTheBitsOfThePlainScan) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    // Few distinct edges, so that windows share edges, nest, overlap and
    // touch; signed zeros, infinities and NaN among them.
    const double edges[] = {-inf, -1.0, -0.0, 0.0, 0.1, 0.30000000000000004, 0.3, 2.0, inf, kNaN};
    const double values[] = {100.0, 7.0, -0.0, 0.0, -2.5, kNaN};
    std::mt19937 random(7);
    const auto pick = [&](const auto& list) { return list[random() % std::size(list)]; };
    const auto bits = [](double x) { return std::bit_cast<std::uint64_t>(x); };
    for (int round = 0; round < 300; ++round) {
        std::vector<ScheduleWindow> windows(random() % 9);
        for (ScheduleWindow& w : windows) w = {pick(edges), pick(edges), pick(values)};
        const ActivationFunction f = make_piecewise_activation(windows);
        std::vector<double> times{kNaN, 5.0, -5.0};
        for (const double e : edges) {
            times.insert(times.end(), {e, std::nextafter(e, -inf), std::nextafter(e, inf)});
        }
        std::shuffle(times.begin(), times.end(), random);
        for (const double t : times) {
            ASSERT_EQ(bits(f(t)), bits(first_match(windows, t)))
                << "round " << round << " at " << t;
        }
    }
}

}  // namespace
}  // namespace vesk
