// The stimulus of one input channel evaluated at the sample times of a run,
// timed per evaluation, with the plain scan of every window beside it:
//
//   activation/piecewise/W   make_piecewise_activation over W windows
//   activation/scan/W        the first matching window found by a scan of all W
//
// The windows are those of a long instruction file: W windows of 10 ms, one
// every 20 ms, and the times sweep them all at the 0.1 ms grid's step, in the
// order a run asks for them (t, t + h/2 twice, t + h).

#include <benchmark/benchmark.h>

#include <cstddef>
#include <vector>

#include "stimulus/activation.hpp"

namespace vesk::bench {
namespace {

std::vector<ScheduleWindow> long_schedule(std::size_t count) {
    std::vector<ScheduleWindow> windows(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double start = 0.1 * static_cast<double>(200 * i);
        windows[i] = {start, start + 10.0, 100.0};
    }
    return windows;
}

template <class F>
void evaluate(benchmark::State& state, const F& f, std::size_t windows) {
    const double h = 0.1;
    const double span = 20.0 * static_cast<double>(windows);
    double t = 0.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(f(t) + f(t + 0.5 * h) + f(t + 0.5 * h) + f(t + h));
        t += h;
        if (t > span) t = 0.0;
    }
    state.SetItemsProcessed(4 * state.iterations());
}

void piecewise(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    evaluate(state, make_piecewise_activation(long_schedule(count)), count);
}

void scan(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    const std::vector<ScheduleWindow> windows = long_schedule(count);
    const auto first_match = [&windows](double t) {
        for (const ScheduleWindow& w : windows) {
            if (t >= w.start_ms && t <= w.end_ms) return w.value;
        }
        return 0.0;
    };
    evaluate(state, first_match, count);
}

BENCHMARK(piecewise)->Name("activation/piecewise")->Arg(10)->Arg(1000)->Arg(100000);
BENCHMARK(scan)->Name("activation/scan")->Arg(10)->Arg(1000)->Arg(100000);

}  // namespace
}  // namespace vesk::bench
