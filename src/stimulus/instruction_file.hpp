// Parser of the instruction file, the unified VESK instruction format
// ("format vesk-instructions 1"): the stimulus schedule of a run.
#pragma once

#include <istream>
#include <map>
#include <string>
#include <vector>

#include "stimulus/activation.hpp"

namespace vesk {

// Target population name -> its windows in ms, in file order.
using ScheduleMap = std::map<std::string, std::vector<ScheduleWindow>>;

// The whole token as a 32-bit decimal integer with optional sign; throws
// the line error of throw_line_error for anything else.
int parse_int_field(const std::string& token, const std::string& path, int line_number,
                    const std::string& field);

// Throws std::runtime_error "<path>:<line_number>: <message>".
[[noreturn]] void throw_line_error(const std::string& path, int line_number,
                                   const std::string& message);

// Reads the whole file; times are converted as time_scale * units, and every
// window gets `window_value`. Throws std::runtime_error with the user-facing
// message at the first fault of the file; nothing is returned then.
ScheduleMap parse_instruction_file(const std::string& path, double time_scale, double window_value);

// The same for text that is already open; `path` only names it in messages.
ScheduleMap parse_instruction_stream(std::istream& in, const std::string& path, double time_scale,
                                     double window_value);

}  // namespace vesk
