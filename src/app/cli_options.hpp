// The options of one run as given on the command line.
#pragma once

#include <string>

namespace vesk {

// An empty path means "not given".
struct CliOptions {
    std::string model;
    std::string output;
    std::string instructions;
    std::string bindings;
    std::string output_inputs;
    std::string output_row_map;
    double t_end = -1.0;  // ms; -1 when not given
    int n_steps = -1;     // -1 when not given
};

}  // namespace vesk
