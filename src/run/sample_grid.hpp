// The sample grid of a run: samples every 0.1 ms from 0 to t_end as the
// command line has them, or every h ms.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vesk {

// Samples at fma(i, h, 0) ms for i = 0 .. n_samples - 1; tf, the last one,
// is what Simulator::simulate_stream runs to.
struct SampleGrid {
    double tf = 0.0;  // ms
    double h = 0.0;   // ms
    std::int64_t n_samples = 0;
};

// Spacing of the grid that t_end must lie on, ms.
inline constexpr double grid_step_ms = 0.1;

// The number of samples of a run to t_end. A count given by --n-steps
// (n_steps > 0) is taken as it is: t_end was computed from it, so checking it
// against the grid again could only reject long runs by rounding. Throws
// std::runtime_error with the command line's message when t_end is off the
// grid or the count is below 2 or beyond 32 bits.
int sample_count(double t_end, int n_steps);

// The command line's grid: n_steps samples to n_steps * 0.1 ms when n_steps
// > 0, else sample_count(t_end, 0) samples to t_end; the step is
// t_end / (N - 1). Throws as sample_count does.
SampleGrid command_line_grid(double t_end, int n_steps);

// Samples every h ms from 0 up to t_end: the last is at n * h with n =
// floor(t_end / h), where a quotient within 1e-9 of a whole number counts as
// that number (0.7 / 0.1 gives 7, not 6.999...). Throws std::runtime_error
// when h is not a positive finite number, t_end is negative or not finite,
// or the samples would be 2^31 or more.
SampleGrid step_grid(double t_end, double h);

// n_samples samples every h ms from 0. Throws as step_grid does, and when
// n_samples is below 1.
SampleGrid step_grid_samples(std::int64_t n_samples, double h);

// The grid of a run asked for by arguments named t_end (ms), n_steps
// (samples) and h (ms), as Python's run() takes them: without h the command
// line's grid (n_steps samples, or the samples to t_end on the 0.1 ms grid),
// with h step_grid or step_grid_samples. Exactly one of t_end and n_steps is
// given. Throws std::runtime_error naming the arguments and their values,
// e.g. "t_end=180.05 is not a whole number of steps of h=0.1 ms".
SampleGrid argument_grid(std::optional<double> t_end, std::optional<std::int64_t> n_steps,
                         std::optional<double> h);

// `value` as Python writes a float: the shortest text that reads back as it.
std::string number_text(double value);

}  // namespace vesk
