// The second half of a run: simulator, stimuli, clamps, outputs, and the
// streaming of samples into the CSV files.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "app/cli_options.hpp"
#include "app/progress.hpp"
#include "model/network.hpp"

namespace vesk {

// Runs the loaded network from 0 to t_end ms with n_samples samples and
// writes the files the options ask for, progress to `out`. Throws on the
// first failure; files opened before it keep what was written. When `out` is
// standard output on a terminal, a long simulation also shows a progress line
// (timing as given), cleared before "Done." or an error.
void run_sequence(const CliOptions& opts, double t_end, int n_samples, const Network& network,
                  std::ostream& out, const ProgressTiming& progress_timing = {});

}  // namespace vesk
