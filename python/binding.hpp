// Shared parts of the compiled module vesk._core: the error types it raises,
// the text of its messages, and calls made without the interpreter.
#pragma once

#include <cxxabi.h>
#include <pybind11/pybind11.h>

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

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

// `text` fit for a Python str: control characters escaped as the command
// line escapes them, and every byte that is not part of valid UTF-8 (a file
// name or an input line in another encoding) written as \xNN, so that no
// message is lost in the conversion.
std::string python_text(std::string_view text);

// The message of `e` as the command line prints it, made fit for a str.
std::string user_message(const std::exception& e);

// Returns body() computed with the interpreter released, so that other
// Python threads go on. The interpreter is taken back by hand, not by a
// guard's destructor: a thread that the interpreter ends while it shuts down
// is unwound from the call that takes it back, and unwinding out of a
// destructor would abort the process. `abandon` then lets go of Python
// objects the caller holds, which must not be freed without the interpreter.
template <class Body, class Abandon>
auto call_released(const Body& body, const Abandon& abandon) -> decltype(body()) {
    using Result = decltype(body());
    PyThreadState* thread_state = PyEval_SaveThread();
    std::exception_ptr failure;
    std::optional<std::conditional_t<std::is_void_v<Result>, bool, Result>> result;
    try {
        if constexpr (std::is_void_v<Result>) {
            body();
        } else {
            result.emplace(body());
        }
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        PyEval_RestoreThread(thread_state);
    } catch (abi::__forced_unwind&) {
        abandon();
        throw;
    }
    if (failure) std::rethrow_exception(failure);
    if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

// call_released for a body that holds no Python object.
template <class Body>
auto call_released(const Body& body) -> decltype(body()) {
    return call_released(body, [] {});
}

// Adds run() and the sample-grid helpers to the module.
void add_run_bindings(pybind11::module_& m);

// Adds the contract helpers: weight matrices out, contracts from arrays in.
void add_contract_bindings(pybind11::module_& m);

// Adds check(), vesk-check's findings as records.
void add_check_bindings(pybind11::module_& m);

}  // namespace vesk::python
