// Shared parts of the compiled module vesk._core: the error types it raises
// and the stimulus conventions of the command line, which the Python layer
// offers as its defaults.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>

namespace vesk::python {

// Each becomes the Python exception of the same name, a ValueError, with the
// message the command line prints after "Error: ".
struct ContractError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct ScheduleError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct ClampError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct RunError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Instruction times count 0.1 ms units and an active window drives its
// input at 100.0; a bound node is held at 50.0 from 0.1 ms to 4.9 ms.
constexpr double instruction_time_scale = 0.1;
constexpr double instruction_window_value = 100.0;
constexpr double clamp_t_start = 0.1;
constexpr double clamp_t_end = 4.9;
constexpr double clamp_value = 50.0;

// The message of `e` as the command line prints it.
std::string user_message(const std::exception& e);

// Adds run() and the sample-grid helpers to the module.
void add_run_bindings(pybind11::module_& m);

}  // namespace vesk::python
