// vesk._core.run: one simulation of a loaded model into numpy arrays, with
// the Python interpreter free while it integrates and Ctrl-C honoured. The
// run itself is set up and recorded by src/run; this file converts.
#include <cxxabi.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
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
#include "run/run_length.hpp"
#include "run/run_plan.hpp"
#include "run/run_setup.hpp"
#include "run/sample_grid.hpp"
#include "sim/batch_simulator.hpp"
#include "sim/simulator.hpp"
#include "sim/thread_count.hpp"
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

// The grid of run() and run_batch(), in the words of their arguments.
GridTuple sample_grid(std::optional<double> t_end, std::optional<std::int64_t> n_steps,
                      std::optional<double> h) {
    return converted<RunError>([&] { return as_tuple(argument_grid(t_end, n_steps, h)); });
}

// The times of the samples of sample_grid, fma(i, h, 0) as a run takes them.
py::array_t<double> sample_times(std::optional<double> t_end, std::optional<std::int64_t> n_steps,
                                 std::optional<double> h) {
    const auto [tf, step, n] = sample_grid(t_end, n_steps, h);
    static_cast<void>(tf);
    py::array_t<double> times(static_cast<py::ssize_t>(n));
    double* t = times.mutable_data();
    for (std::int64_t i = 0; i < n; ++i) t[i] = std::fma(static_cast<double>(i), step, 0.0);
    return times;
}

// The values of --t-end and --n-steps (None when not given) read as vesk-sim
// reads them, as the run() argument they amount to: ("t_end", ms) or
// ("n_steps", samples). Raises RunError with vesk-sim's message when they
// cannot make a run.
std::tuple<std::string, py::object> command_line_length(const std::optional<std::string>& t_end,
                                                        const std::optional<std::string>& n_steps) {
    return converted<RunError>([&]() -> std::tuple<std::string, py::object> {
        const RunLength length =
            RunLength::from_text(t_end ? &*t_end : nullptr, n_steps ? &*n_steps : nullptr);
        if (length.requested_t_end() <= 0) {
            throw std::runtime_error(
                "--model, --output, and one of --t-end or --n-steps (> 0) are required");
        }
        if (length.n_steps > 0) return {"n_steps", py::int_(length.n_steps)};
        return {"t_end", py::float_(length.t_end)};
    });
}

// vesk-sim's grid of those options, raising RunError with its messages.
GridTuple command_grid(double t_end, int n_steps) {
    return converted<RunError>([&] { return as_tuple(RunLength{t_end, n_steps}.grid()); });
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

SampleGrid grid_of(const GridTuple& grid) {
    return {std::get<0>(grid), std::get<1>(grid), std::get<2>(grid)};
}

// What run() and run_batch() keep of each sample: every node or the given
// ones, every `every`-th sample, which state and whether the inputs.
RecordingPlan recording_plan(const IndexArray& node_ids, bool all_nodes, std::int64_t every,
                             const std::string& state, bool want_inputs) {
    RecordingPlan plan;
    plan.all_nodes = all_nodes;
    plan.every = every;
    plan.state = recorded_state(state);
    plan.inputs = want_inputs;
    if (!all_nodes) {
        const std::int64_t* ids = node_ids.data();
        for (py::ssize_t j = 0; j < node_ids.size(); ++j) {
            // Negative ids wrap to sizes that recording_shape refuses.
            plan.nodes.push_back(static_cast<std::size_t>(ids[j]));
        }
    }
    return plan;
}

// One scenario of run() or run_batch(): schedule, clamps, drive, starting
// state (E values, then I values) and, when given, the network parameters.
struct Scenario {
    std::map<std::string, WindowList> schedule;
    ClampList clamps;
    std::map<std::string, DoubleArray> drive;
    DoubleArray state0;
    std::optional<NetworkParameters> parameters;
};

// The run plan of a scenario; `not_found` receives the clamp row indices
// that name no node.
RunPlan scenario_plan(const Network& net, const SampleGrid& grid, const Scenario& scenario,
                      std::vector<std::int32_t>& not_found) {
    RunPlan plan(net, grid);
    converted<ScheduleError>([&] {
        plan.add_schedule(schedule_map(scenario.schedule, grid.h));
        plan.add_drive(drive_series(scenario.drive));
        return 0;
    });
    not_found = plan.add_clamps(clamp_requests(scenario.clamps, grid.h));
    const DoubleArray& state0 = scenario.state0;
    converted<RunError>([&] {
        plan.set_start({state0.data(), state0.data() + state0.size()});
        return 0;
    });
    if (scenario.parameters) plan.set_parameters(*scenario.parameters);
    return plan;
}

// The arrays of one run's recording, and their buffers.
struct RecordingArrays {
    DoubleArray time, nodes, inputs;
    RecordingArrays(const RecordingShape& shape, bool want_inputs, std::int32_t n_inputs)
        : time(static_cast<py::ssize_t>(shape.kept)),
          nodes(std::vector<py::ssize_t>{static_cast<py::ssize_t>(shape.kept),
                                         static_cast<py::ssize_t>(shape.node_values)}),
          inputs(std::vector<py::ssize_t>{want_inputs ? static_cast<py::ssize_t>(shape.kept) : 0,
                                          static_cast<py::ssize_t>(n_inputs)}) {}
    RecordingBuffers buffers() {
        return {time.mutable_data(), nodes.mutable_data(), inputs.mutable_data()};
    }
    // Lets go of the arrays where they must not be freed (see run_released).
    void release() {
        time.release();
        nodes.release();
        inputs.release();
    }
    py::tuple result(bool want_inputs, const std::vector<std::int32_t>& not_found) const {
        return py::make_tuple(time, nodes, want_inputs ? py::object(inputs) : py::none(),
                              not_found);
    }
};

// Runs the network over the grid and keeps what the plan asks for. Returns
// (time, nodes, inputs or None, row indices of clamps that name no node).
py::tuple run(const std::shared_ptr<Network>& network, const GridTuple& grid_tuple,
              const Scenario& scenario, const IndexArray& node_ids, bool all_nodes,
              std::int64_t every, const std::string& state, bool want_inputs,
              const py::object& progress, unsigned threads) {
    // threads (0: as the environment says) for this call's simulator and its
    // memory budget alike.
    const ThreadSetting setting(threads);
    const Network& net = *network;
    const SampleGrid grid = grid_of(grid_tuple);
    const RecordingPlan recording = recording_plan(node_ids, all_nodes, every, state, want_inputs);
    std::vector<std::int32_t> not_found;
    const RunPlan plan = scenario_plan(net, grid, scenario, not_found);
    const RecordingShape shape =
        converted<RunError>([&] { return recording_shape(net, grid.n_samples, recording); });

    // Built as the command line builds its simulator, so that whatever the
    // simulator takes from the environment applies to both alike.
    Simulator simulator(&net, grid.h);
    plan.install(simulator);
    RecordingArrays arrays(shape, want_inputs, net.n_inputs);
    const RecordingBuffers buffers = arrays.buffers();
    run_released(
        [&](const std::function<void()>& check_signals) {
            record_run(simulator, plan, recording, shape, buffers, check_signals);
        },
        [&] { arrays.release(); }, progress);
    return arrays.result(want_inputs, not_found);
}

// Raises RunError when `lanes` runs of the network over the grid, each
// keeping what the arguments ask for, cannot fit in memory together:
// asked before anything is built for them.
RecordingShape check_batch_memory(const Network& net, const GridTuple& grid_tuple,
                                  std::size_t lanes, const IndexArray& node_ids, bool all_nodes,
                                  std::int64_t every, const std::string& state, bool want_inputs) {
    const RecordingPlan recording = recording_plan(node_ids, all_nodes, every, state, want_inputs);
    return converted<RunError>([&] {
        const RecordingShape shape = recording_shape(net, grid_of(grid_tuple).n_samples, recording);
        check_batch_fits_in_memory(net, lanes, shape);
        return shape;
    });
}

// run() for several scenarios of one network advanced together in a batch;
// returns one run() tuple per scenario, each holding what run() gives for
// that scenario alone.
py::list run_batch(const std::shared_ptr<Network>& network, const GridTuple& grid_tuple,
                   const std::vector<Scenario>& scenarios, const IndexArray& node_ids,
                   bool all_nodes, std::int64_t every, const std::string& state, bool want_inputs,
                   const py::object& progress, unsigned threads) {
    // threads (0: as the environment says) for this call's simulator and its
    // memory budget alike.
    const ThreadSetting setting(threads);
    const Network& net = *network;
    const SampleGrid grid = grid_of(grid_tuple);
    const std::size_t lanes = scenarios.size();
    const RecordingShape shape =
        check_batch_memory(net, grid_tuple, lanes, node_ids, all_nodes, every, state, want_inputs);
    const RecordingPlan recording = recording_plan(node_ids, all_nodes, every, state, want_inputs);

    BatchSimulator batch(&net, grid.h, lanes);
    std::vector<std::vector<std::int32_t>> not_found(lanes);
    std::vector<std::vector<double>> starts;
    starts.reserve(lanes);
    for (std::size_t l = 0; l < lanes; ++l) {
        const RunPlan plan = scenario_plan(net, grid, scenarios[l], not_found[l]);
        plan.install(batch, l);
        starts.push_back(plan.start());
    }

    std::vector<RecordingArrays> arrays;
    std::vector<RecordingBuffers> buffers;
    arrays.reserve(lanes);
    for (std::size_t l = 0; l < lanes; ++l) {
        arrays.emplace_back(shape, want_inputs, net.n_inputs);
        buffers.push_back(arrays.back().buffers());
    }
    run_released(
        [&](const std::function<void()>& check_signals) {
            record_batch_run(batch, grid, starts, recording, shape, buffers, check_signals);
        },
        [&] {
            for (RecordingArrays& a : arrays) a.release();
        },
        progress);

    py::list results;
    for (std::size_t l = 0; l < lanes; ++l)
        results.append(arrays[l].result(want_inputs, not_found[l]));
    return results;
}

// Raises ScheduleError, with vesk-sim's message, when the schedule drives an
// input the network lacks.
void check_schedule(const std::shared_ptr<Network>& network,
                    const std::map<std::string, WindowList>& schedule) {
    converted<ScheduleError>(
        [&] { return RunPlan(*network, SampleGrid{}).add_schedule(schedule_map(schedule, 0.0)); });
}

}  // namespace

void add_run_bindings(py::module_& m) {
    py::class_<Scenario>(m, "Scenario")
        .def(py::init<std::map<std::string, WindowList>, ClampList,
                      std::map<std::string, DoubleArray>, DoubleArray,
                      std::optional<NetworkParameters>>(),
             py::arg("schedule"), py::arg("clamps"), py::arg("drive"), py::arg("state0"),
             py::arg("parameters") = py::none());
    m.def("sample_grid", &sample_grid, py::arg("t_end") = py::none(),
          py::arg("n_steps") = py::none(), py::arg("h") = py::none());
    m.def("sample_times", &sample_times, py::arg("t_end") = py::none(),
          py::arg("n_steps") = py::none(), py::arg("h") = py::none());
    m.def("command_line_length", &command_line_length, py::arg("t_end"), py::arg("n_steps"));
    m.def("command_grid", &command_grid, py::arg("t_end"), py::arg("n_steps"));
    m.def(
        "read_t_end",
        [](const std::string& text) {
            return converted<RunError>([&] { return RunLength::from_text(&text, nullptr).t_end; });
        },
        py::arg("text"));
    m.def(
        "read_n_steps",
        [](const std::string& text) {
            return converted<RunError>(
                [&] { return RunLength::from_text(nullptr, &text).n_steps; });
        },
        py::arg("text"));
    m.def("check_schedule", &check_schedule, py::arg("network"), py::arg("schedule"));
    m.def(
        "check_batch_memory",
        [](const std::shared_ptr<Network>& network, const GridTuple& grid, std::size_t lanes,
           const IndexArray& node_ids, bool all_nodes, std::int64_t every, const std::string& state,
           bool inputs) {
            check_batch_memory(*network, grid, lanes, node_ids, all_nodes, every, state, inputs);
        },
        py::arg("network"), py::arg("grid"), py::arg("lanes"), py::arg("node_ids"),
        py::arg("all_nodes"), py::arg("every"), py::arg("state"), py::arg("inputs"));
    // The threads one run of the network takes here, as set now: built as
    // run() builds its simulator, so that both agree whatever decides it.
    m.def(
        "run_thread_count",
        [](const std::shared_ptr<Network>& network, unsigned threads) {
            const ThreadSetting setting(threads);
            return Simulator(network.get(), 0.1).thread_count();
        },
        py::arg("network"), py::arg("threads") = 0);
    m.def("run", &run, py::arg("network"), py::arg("grid"), py::arg("scenario"),
          py::arg("node_ids"), py::arg("all_nodes"), py::arg("every"), py::arg("state"),
          py::arg("inputs"), py::arg("progress") = py::none(), py::arg("threads") = 0);
    m.def("run_batch", &run_batch, py::arg("network"), py::arg("grid"), py::arg("scenarios"),
          py::arg("node_ids"), py::arg("all_nodes"), py::arg("every"), py::arg("state"),
          py::arg("inputs"), py::arg("progress") = py::none(), py::arg("threads") = 0);
}

}  // namespace vesk::python
