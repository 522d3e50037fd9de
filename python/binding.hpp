// Shared parts of the compiled module vesk._core: the error types it raises.
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

// The message of `e` as the command line prints it.
std::string user_message(const std::exception& e);

// Adds run() and the sample-grid helpers to the module.
void add_run_bindings(pybind11::module_& m);

// Adds the contract helpers: weight matrices out, contracts from arrays in.
void add_contract_bindings(pybind11::module_& m);

// Adds check(), vesk-check's findings as records.
void add_check_bindings(pybind11::module_& m);

}  // namespace vesk::python
