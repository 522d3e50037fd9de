// The pieces of a run plan (run/run_plan.hpp): the stimulus conventions of
// the command line's files, and the stimuli and clamps that schedules, time
// series and clamp requests make for a network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/network.hpp"
#include "stimulus/activation.hpp"
#include "stimulus/instruction_file.hpp"

namespace vesk {

// Instruction times count 0.1 ms units and an active window drives its
// input at 100.0; a bound node is held at 50.0 from 0.1 ms to 4.9 ms.
inline constexpr double instruction_time_scale = 0.1;
inline constexpr double instruction_window_value = 100.0;
inline constexpr double clamp_t_start = 0.1;
inline constexpr double clamp_t_end = 4.9;
inline constexpr double clamp_value = 50.0;

// How far (ms) a window or clamp built in code reaches beyond its ends on a
// grid of step h: i * h misses a time given as a decimal by a rounding error
// (7 * 0.1 > 0.7), far below this for any sample index below 2^31, and a
// neighbouring sample lies a whole step away.
double grid_tolerance(double h);

// An input function and the input channel it drives.
struct InputStimulus {
    std::size_t input = 0;
    ActivationFunction function;
};

// The input index of each input name; of a name held twice, the later one.
std::unordered_map<std::string, std::size_t> input_index_by_name(const Network& network);

// One input function per target of the schedule, made by
// make_piecewise_activation, visited in ascending byte order of the names.
// Throws std::runtime_error "Instruction target '<name>' is not an external
// input in the loaded model" for the first target that names no input.
std::vector<InputStimulus> schedule_stimuli(const Network& network, const ScheduleMap& schedule);

// One input function per named time series: value i drives the input from
// sample time fma(i, h, 0) over the following step, exactly as a window value
// would. Every series must hold `n_samples` values. Throws
// std::runtime_error naming the first input (in byte order) that is no
// input of the model or whose series has the wrong length.
std::vector<InputStimulus> drive_stimuli(const Network& network,
                                         const std::map<std::string, std::vector<double>>& drive,
                                         double h, std::int64_t n_samples);

// A clamp asked for by the row index of its node.
struct ClampRequest {
    std::int32_t row_index = 0;
    double start_ms = 0.0;
    double end_ms = 0.0;
    double value = 0.0;      // 0.0 holds the node at 0.0
    double tolerance = 0.0;  // ms the clamp reaches beyond both ends
};

struct NodeClamp {
    std::size_t node = 0;
    ClampFunction function;
};

struct ClampSetup {
    std::vector<NodeClamp> clamps;        // by ascending node id
    std::vector<std::int32_t> not_found;  // requested row indices no node holds, in order
};

// The clamps of the requests: each acts on the node holding its row index
// (the last node record with it); a node with several follows, at each time,
// the last request among those holding that time.
ClampSetup clamp_setup(const Network& network, const std::vector<ClampRequest>& requests);

}  // namespace vesk
