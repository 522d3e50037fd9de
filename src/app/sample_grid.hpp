// The output grid of a run: samples every 0.1 ms from 0 to t_end.
#pragma once

namespace vesk {

// Spacing of the grid that t_end must lie on, ms.
inline constexpr double grid_step_ms = 0.1;

// The number of samples of a run to t_end. A count given by --n-steps
// (n_steps > 0) is taken as it is: t_end was computed from it, so checking it
// against the grid again could only reject long runs by rounding. Throws
// std::runtime_error with the command line's message when t_end is off the
// grid or the count is below 2 or beyond 32 bits.
int sample_count(double t_end, int n_steps);

}  // namespace vesk
