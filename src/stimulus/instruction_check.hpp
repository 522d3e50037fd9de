// Checks an instruction file line by line for every error the parser stops
// on and for windows that a run would lose, each reported at its line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "diagnostics/finding.hpp"

namespace vesk {

struct InstructionCheckOptions {
    double time_scale = 0.1;      // ms per time unit
    double window_value = 100.0;  // value of an active window
    // The run's end time, ms; windows are checked against it when set.
    std::optional<double> t_end;
    // The model's input names; instruction targets are checked against them
    // when set.
    const std::vector<std::string>* input_names = nullptr;
};

// Reads the file once with the instruction parser itself and reports every
// faulty line with the parser's own message (at "<path>:<line>"); a faulty
// line then counts as blank, so lines after it may report errors that follow
// from it. Warnings: windows that start after t_end (they never act) or end
// after it (cut short), and a file whose lines end in '\r' alone. Errors:
// targets that are no input of the model, with the run's message. Returns the
// error a run would stop on, if any.
std::optional<std::string> check_instruction_file(const std::string& path,
                                                  const InstructionCheckOptions& options,
                                                  FindingLog& log);

}  // namespace vesk
