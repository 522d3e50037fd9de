// The options of one run as given on the command line.
#pragma once

#include <string>

#include "run/run_length.hpp"

namespace vesk {

// An empty path means "not given".
struct CliOptions {
    std::string model;
    std::string output;
    std::string instructions;
    std::string bindings;
    std::string output_inputs;
    std::string output_row_map;
    RunLength length;  // --t-end and --n-steps
};

}  // namespace vesk
