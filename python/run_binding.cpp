// vesk._core.run: one simulation of a loaded model into numpy arrays, with
// the Python interpreter free while it integrates and Ctrl-C honoured. The
// run itself is set up and recorded by src/run; this file converts.
#include <cxxabi.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "binding.hpp"
#include "model/network.hpp"
#include "run/recorded_run.hpp"
#include "run/run_setup.hpp"
#include "run/sample_grid.hpp"
#include "sim/batch_simulator.hpp"
#include "sim/simulator.hpp"
#include "stimulus/text_lines.hpp"

namespace py = pybind11;

namespace vesk::python {
namespace {

// How often a run hands the interpreter its signals (Ctrl-C).
constexpr auto signal_check_interval = std::chrono::milliseconds(40);

// (start ms, end ms, value, from a file): windows from a file act exactly as
// the command line's; windows built in code reach grid_tolerance(h) further.
using WindowList = std::vector<std::tuple<double, double, double, bool>>;
// (row index, start ms, end ms, value, from a file), in the order added.
using ClampList = std::vector<std::tuple<int, double, double, double, bool>>;
using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using IndexArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using GridTuple = std::tuple<double, double, std::int64_t>;

// Calls `make` and turns its std::runtime_error into `Error`.
template <typename Error, typename F>
auto converted(F&& make) {
    try {
        return make();
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::runtime_error& e) {
        throw Error(user_message(e));
    }
}

GridTuple as_tuple(const SampleGrid& g) {
    return {g.tf, g.h, g.n_samples};
}

// The command line's grid from --t-end (n_steps 0) or --n-steps; below 1,
// n_steps is refused as too few samples, as --n-steps 1 is.
GridTuple command_grid(double t_end, int n_steps) {
    return converted<RunError>([&] {
        if (n_steps != 0) return as_tuple(command_line_grid(0.0, n_steps > 0 ? n_steps : 1));
        return as_tuple(command_line_grid(t_end, 0));
    });
}

GridTuple grid_of_step(double t_end, double h) {
    return converted<RunError>([&] { return as_tuple(step_grid(t_end, h)); });
}

GridTuple grid_of_step_samples(std::int64_t n_samples, double h) {
    return converted<RunError>([&] { return as_tuple(step_grid_samples(n_samples, h)); });
}

ScheduleMap schedule_map(const std::map<std::string, WindowList>& schedule, double h) {
    ScheduleMap map;
    const double reach = grid_tolerance(h);
    for (const auto& [name, list] : schedule) {
        std::vector<ScheduleWindow>& windows = map[name];
        windows.reserve(list.size());
        for (const auto& [start, end, value, from_file] : list) {
            const double r = from_file ? 0.0 : reach;
            windows.push_back({start - r, end + r, value});
        }
    }
    return map;
}

std::vector<ClampRequest> clamp_requests(const ClampList& clamps, double h) {
    // The clamp functions of the command line reach 1e-12 ms beyond their
    // ends; built in code, a clamp reaches at least as far.
    constexpr double clamp_reach = 1e-12;
    const double reach = std::max(clamp_reach, grid_tolerance(h));
    std::vector<ClampRequest> requests;
    requests.reserve(clamps.size());
    for (const auto& [row, start, end, value, from_file] : clamps) {
        requests.push_back({row, start, end, value, from_file ? clamp_reach : reach});
    }
    return requests;
}

RecordedState recorded_state(const std::string& name) {
    if (name == "output") return RecordedState::output;
    if (name == "E") return RecordedState::excitatory;
    if (name == "I") return RecordedState::inhibitory;
    if (name == "both") return RecordedState::both;
    throw py::value_error("record_state must be 'E', 'I' or 'both', got '" + name + "'");
}

// The time series of a drive, each a one-dimensional array.
std::map<std::string, std::vector<double>> drive_series(
    const std::map<std::string, DoubleArray>& drive_arrays) {
    std::map<std::string, std::vector<double>> drive;
    for (const auto& [name, values] : drive_arrays) {
        if (values.ndim() != 1) throw py::value_error("drive: one value per sample");
        drive[name].assign(values.data(), values.data() + values.size());
    }
    return drive;
}

// Thrown from the observer to leave the run when a Python signal handler
// raised; the Python error stays set for the caller.
struct Interrupted {};

// Runs `body(check_signals)` with the interpreter released, so that other
// Python threads go on; body calls check_signals once per sample, and it
// takes the interpreter back now and then to see Ctrl-C and to hand
// `progress` (None or a callable) the number of samples done since its last
// call; the rest follows once the body is done. What the callable raises
// ends the run as Ctrl-C does. The interpreter is released and taken back by hand, not by a
// guard: a thread that the interpreter ends while it shuts down is unwound
// from the call that takes it back, and that must not be a destructor, where
// the unwinding would abort the process. `abandon` then lets go of the
// caller's arrays, which must not be freed without the interpreter.
template <class Body, class Abandon>
void run_released(const Body& body, const Abandon& abandon, const py::object& progress) {
    PyThreadState* thread_state = nullptr;
    auto last_check = std::chrono::steady_clock::now();
    std::int64_t unreported = 0;
    // With the interpreter held: false when Python has an error to raise.
    const auto report = [&] {
        if (progress.is_none() || unreported == 0) return true;
        try {
            progress(unreported);
        } catch (py::error_already_set& e) {
            e.restore();
            return false;
        }
        unreported = 0;
        return true;
    };
    const std::function<void()> check_signals = [&] {
        ++unreported;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_check < signal_check_interval) return;
        last_check = now;
        PyEval_RestoreThread(thread_state);
        const bool raised = PyErr_CheckSignals() != 0 || !report();
        thread_state = PyEval_SaveThread();
        if (raised) throw Interrupted{};
    };

    bool interrupted = false;
    bool out_of_memory = false;
    std::string failure;
    thread_state = PyEval_SaveThread();
    try {
        body(check_signals);
    } catch (abi::__forced_unwind&) {
        abandon();
        throw;
    } catch (const Interrupted&) {
        interrupted = true;
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    } catch (const std::exception& e) {
        failure = user_message(e);
        if (failure.empty()) failure = "run failed";
    }
    PyEval_RestoreThread(thread_state);
    if (!interrupted && !out_of_memory && failure.empty() && !report()) interrupted = true;
    if (interrupted) throw py::error_already_set();
    if (out_of_memory) throw std::bad_alloc();
    if (!failure.empty()) throw RunError(failure);
}

// The grid of run() and run_batch(): (t_end, h, samples).
SampleGrid sample_grid(const GridTuple& grid) {
    return {std::get<0>(grid), std::get<1>(grid), std::get<2>(grid)};
}

// What run() and run_batch() keep of each sample: every node or the given
// ones, every `every`-th sample, which state and whether the inputs.
RecordingPlan recording_plan(const Network& net, const IndexArray& node_ids, bool all_nodes,
                             std::int64_t every, const std::string& state, bool want_inputs) {
    RecordingPlan plan;
    plan.all_nodes = all_nodes;
    plan.every = every;
    plan.state = recorded_state(state);
    plan.inputs = want_inputs;
    if (!all_nodes) {
        const std::int64_t* ids = node_ids.data();
        for (py::ssize_t j = 0; j < node_ids.size(); ++j) {
            if (ids[j] < 0 || ids[j] >= net.n_nodes) throw py::index_error("node id out of range");
            plan.nodes.push_back(static_cast<std::size_t>(ids[j]));
        }
    }
    if (every < 1) throw py::value_error("every must be at least 1");
    return plan;
}

// Runs the network over the grid and keeps what the plan asks for. Returns
// (time, nodes, inputs or None, row indices of clamps that name no node).
// `state0` holds E values, then I values. With `parameters` the run uses
// those constants instead of the network's.
py::tuple run(const std::shared_ptr<Network>& network, const GridTuple& grid_tuple,
              const std::map<std::string, WindowList>& schedule, const ClampList& clamps,
              const std::map<std::string, DoubleArray>& drive_arrays, const DoubleArray& state0,
              const IndexArray& node_ids, bool all_nodes, std::int64_t every,
              const std::string& state, bool want_inputs,
              const std::optional<NetworkParameters>& parameters, const py::object& progress) {
    const Network& net = *network;
    const SampleGrid grid = sample_grid(grid_tuple);
    const RecordingPlan plan = recording_plan(net, node_ids, all_nodes, every, state, want_inputs);
    if (state0.size() != 2 * static_cast<py::ssize_t>(net.n_nodes)) {
        throw py::value_error("y0 must hold 2 * n_nodes values");
    }
    const std::vector<double> start(state0.data(), state0.data() + state0.size());
    const std::map<std::string, std::vector<double>> drive = drive_series(drive_arrays);

    // Built as the command line builds its simulator, so that whatever the
    // simulator takes from the environment applies to both alike.
    Simulator simulator(&net, grid.h);
    if (parameters) simulator.set_parameters(*parameters);
    install(simulator, converted<ScheduleError>(
                           [&] { return schedule_stimuli(net, schedule_map(schedule, grid.h)); }));
    install(simulator, converted<ScheduleError>(
                           [&] { return drive_stimuli(net, drive, grid.h, grid.n_samples); }));
    const ClampSetup clamp_plan = clamp_setup(net, clamp_requests(clamps, grid.h));
    install(simulator, clamp_plan.clamps);

    const RecordingShape shape =
        converted<RunError>([&] { return recording_shape(net, grid.n_samples, plan); });
    const auto kept = static_cast<py::ssize_t>(shape.kept);
    DoubleArray time(kept);
    DoubleArray nodes({kept, static_cast<py::ssize_t>(shape.node_values)});
    DoubleArray inputs({want_inputs ? kept : 0, static_cast<py::ssize_t>(net.n_inputs)});
    const RecordingBuffers buffers{time.mutable_data(), nodes.mutable_data(),
                                   inputs.mutable_data()};

    run_released(
        [&](const std::function<void()>& check_signals) {
            record_run(simulator, grid, start, plan, shape, buffers, check_signals);
        },
        [&] {
            time.release();
            nodes.release();
            inputs.release();
        },
        progress);

    return py::make_tuple(time, nodes, want_inputs ? py::object(inputs) : py::none(),
                          clamp_plan.not_found);
}

// One scenario of run_batch: schedule, clamps, drive, starting state (E
// values, then I values) and the network constants.
using Scenario = std::tuple<std::map<std::string, WindowList>, ClampList,
                            std::map<std::string, DoubleArray>, DoubleArray, NetworkParameters>;

// run() for several scenarios of one network advanced together in a batch;
// returns one run() tuple per scenario, each holding what run() gives for
// that scenario alone. The batch and every kept sample are checked against
// the memory first.
py::list run_batch(const std::shared_ptr<Network>& network, const GridTuple& grid_tuple,
                   const std::vector<Scenario>& scenarios, const IndexArray& node_ids,
                   bool all_nodes, std::int64_t every, const std::string& state, bool want_inputs,
                   const py::object& progress) {
    const Network& net = *network;
    const SampleGrid grid = sample_grid(grid_tuple);
    const RecordingPlan plan = recording_plan(net, node_ids, all_nodes, every, state, want_inputs);
    const std::size_t lanes = scenarios.size();
    std::vector<std::vector<double>> starts;
    for (const Scenario& scenario : scenarios) {
        const DoubleArray& state0 = std::get<3>(scenario);
        if (state0.size() != 2 * static_cast<py::ssize_t>(net.n_nodes)) {
            throw py::value_error("y0 must hold 2 * n_nodes values");
        }
        starts.emplace_back(state0.data(), state0.data() + state0.size());
    }
    const RecordingShape shape = converted<RunError>([&] {
        const RecordingShape s = recording_shape(net, grid.n_samples, plan);
        check_batch_fits_in_memory(net, lanes, s);
        return s;
    });

    BatchSimulator batch(&net, grid.h, lanes);
    std::vector<std::vector<std::int32_t>> not_found;
    for (std::size_t l = 0; l < lanes; ++l) {
        const auto& [schedule, clamps, drive_arrays, state0, p] = scenarios[l];
        const std::map<std::string, std::vector<double>> drive = drive_series(drive_arrays);
        batch.set_parameters(l, p);
        install(batch, l, converted<ScheduleError>([&] {
                    return schedule_stimuli(net, schedule_map(schedule, grid.h));
                }));
        install(batch, l, converted<ScheduleError>([&] {
                    return drive_stimuli(net, drive, grid.h, grid.n_samples);
                }));
        ClampSetup clamp_plan = clamp_setup(net, clamp_requests(clamps, grid.h));
        install(batch, l, clamp_plan.clamps);
        not_found.push_back(std::move(clamp_plan.not_found));
    }

    const auto kept = static_cast<py::ssize_t>(shape.kept);
    std::vector<DoubleArray> times, nodes, inputs;
    std::vector<RecordingBuffers> buffers;
    for (std::size_t l = 0; l < lanes; ++l) {
        times.emplace_back(kept);
        nodes.emplace_back(
            std::vector<py::ssize_t>{kept, static_cast<py::ssize_t>(shape.node_values)});
        inputs.emplace_back(std::vector<py::ssize_t>{want_inputs ? kept : 0,
                                                     static_cast<py::ssize_t>(net.n_inputs)});
        buffers.push_back(
            {times[l].mutable_data(), nodes[l].mutable_data(), inputs[l].mutable_data()});
    }

    run_released(
        [&](const std::function<void()>& check_signals) {
            record_batch_run(batch, grid, starts, plan, shape, buffers, check_signals);
        },
        [&] {
            for (auto* arrays : {&times, &nodes, &inputs}) {
                for (auto& array : *arrays) array.release();
            }
        },
        progress);

    py::list results;
    for (std::size_t l = 0; l < lanes; ++l) {
        results.append(py::make_tuple(
            times[l], nodes[l], want_inputs ? py::object(inputs[l]) : py::none(), not_found[l]));
    }
    return results;
}

}  // namespace

void add_run_bindings(py::module_& m) {
    m.def("command_grid", &command_grid, py::arg("t_end"), py::arg("n_steps"));
    m.def("step_grid", &grid_of_step, py::arg("t_end"), py::arg("h"));
    m.def("step_grid_samples", &grid_of_step_samples, py::arg("n_samples"), py::arg("h"));
    m.def("run", &run, py::arg("network"), py::arg("grid"), py::arg("schedule"), py::arg("clamps"),
          py::arg("drive"), py::arg("state0"), py::arg("node_ids"), py::arg("all_nodes"),
          py::arg("every"), py::arg("state"), py::arg("inputs"), py::arg("parameters") = py::none(),
          py::arg("progress") = py::none());
    m.def("run_batch", &run_batch, py::arg("network"), py::arg("grid"), py::arg("scenarios"),
          py::arg("node_ids"), py::arg("all_nodes"), py::arg("every"), py::arg("state"),
          py::arg("inputs"), py::arg("progress") = py::none());
}

}  // namespace vesk::python
