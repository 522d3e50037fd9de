// The second half of a run: simulator, stimuli, clamps, outputs, and the
// streaming of samples into the CSV files.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "app/cli_options.hpp"
#include "app/progress.hpp"
#include "model/network.hpp"
#include "run/sample_grid.hpp"

namespace vesk {

// Runs the loaded network over the grid's samples and
// writes the files the options ask for, progress to `out`. Throws on the
// first failure; files opened before it keep what was written. When `out` is
// standard output on a terminal, a long simulation also shows a progress line
// (timing as given), cleared before "Done." or an error.
void run_sequence(const CliOptions& opts, const SampleGrid& grid, const Network& network,
                  std::ostream& out, const ProgressTiming& progress_timing = {});

}  // namespace vesk
