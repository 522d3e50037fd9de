// The second half of a run: simulator, stimuli, clamps, outputs, and the
// streaming of samples into the CSV files.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "app/cli_options.hpp"
#include "app/progress.hpp"
#include "model/network.hpp"
#include "sim/simulator.hpp"

namespace vesk {

// Clamps every node named by a binding index (a node row_index) at 50.0 from
// 0.1 ms to 4.9 ms, and writes "  Applied clamps to <n> nodes" (with the
// count of indices that name no node, when there are any) to `out`.
void install_clamps(const Network& network, Simulator& simulator,
                    const std::vector<int>& binding_indices, std::ostream& out);

// Runs the loaded network from 0 to t_end ms with n_samples samples and
// writes the files the options ask for, progress to `out`. Throws on the
// first failure; files opened before it keep what was written. When `out` is
// standard output on a terminal, a long simulation also shows a progress line
// (timing as given), cleared before "Done." or an error.
void run_sequence(const CliOptions& opts, double t_end, int n_samples, const Network& network,
                  std::ostream& out, const ProgressTiming& progress_timing = {});

}  // namespace vesk
