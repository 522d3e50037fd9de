// vesk._core.run: one simulation of a loaded model into numpy arrays, with
// the Python interpreter free while it integrates and Ctrl-C honoured.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <new>
#include <sstream>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "app/sample_grid.hpp"
#include "binding.hpp"
#include "model/memory_budget.hpp"
#include "model/network.hpp"
#include "sim/batch_simulator.hpp"
#include "sim/simulator.hpp"
#include "stimulus/activation.hpp"
#include "stimulus/instruction_file.hpp"
#include "stimulus/text_lines.hpp"

namespace py = pybind11;

namespace vesk::python {
namespace {

// How often a run hands the interpreter its signals (Ctrl-C).
constexpr auto signal_check_interval = std::chrono::milliseconds(40);

using WindowList = std::vector<std::tuple<double, double, double>>;
// (row index, start ms, end ms, value), in the order they were added.
using ClampList = std::vector<std::tuple<int, double, double, double>>;
using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;
using IndexArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// End time and sample count as the command line derives them from --t-end
// or --n-steps, with its checks and messages.
std::tuple<double, int> grid(double t_end, int n_steps) {
    try {
        return {t_end, sample_count(t_end, n_steps)};
    } catch (const std::runtime_error& e) {
        throw RunError(e.what());
    }
}

std::tuple<double, int> grid_from_t_end(double t_end) {
    return grid(t_end, 0);
}

std::tuple<double, int> grid_from_n_steps(int n_steps) {
    // Below 1 the count is refused as too few samples, as --n-steps 1 is.
    return grid(static_cast<double>(n_steps) * grid_step_ms, n_steps > 0 ? n_steps : 1);
}

// Installs the schedule as the command line installs an instruction file's:
// targets in ascending byte order, each the name of one input.
// `Target` is a Simulator or a BatchSimulator::Lane.
template <class Target>
void install_schedule(const Network& network, Target& simulator,
                      const std::map<std::string, WindowList>& schedule) {
    std::unordered_map<std::string, int> input_index;
    for (int i = 0; i < network.n_inputs; ++i) {
        input_index[network.input_names[static_cast<std::size_t>(i)]] = i;  // later index wins
    }
    for (const auto& [name, list] : schedule) {
        const auto it = input_index.find(name);
        if (it == input_index.end()) {
            throw ScheduleError(escape_control_characters(
                "Instruction target '" + name + "' is not an external input in the loaded model"));
        }
        std::vector<ScheduleWindow> windows;
        windows.reserve(list.size());
        for (const auto& [start, end, value] : list) windows.push_back({start, end, value});
        simulator.input_functions[static_cast<std::size_t>(it->second)] =
            make_piecewise_activation(windows);
    }
}

// Clamps nodes by row index as the command line does for a bindings file
// (the last node with a row index owns it). A node given several clamps
// follows the one added last among those active at a time, so identical
// repeats act once. Returns the row indices that name no node.
template <class Target>
std::vector<int> install_clamps(const Network& network, Target& simulator,
                                const ClampList& clamps) {
    std::unordered_map<int, int> row_to_node;
    for (const PopulationMetadata& md : network.node_metadata)
        row_to_node[md.row_index] = md.node_id;

    std::map<int, std::vector<ActivationFunction>> per_node;
    std::vector<int> not_found;
    for (const auto& [row, start, end, value] : clamps) {
        const auto it = row_to_node.find(row);
        if (it == row_to_node.end()) {
            not_found.push_back(row);
            continue;
        }
        per_node[it->second].push_back(make_clamp_function({it->second}, start, end, value));
    }
    for (auto& [node, functions] : per_node) {
        ActivationFunction& slot = simulator.clamp_functions[static_cast<std::size_t>(node)];
        if (functions.size() == 1) {
            slot = std::move(functions.front());
            continue;
        }
        slot = [fs = std::move(functions)](double t) {
            for (auto f = fs.rbegin(); f != fs.rend(); ++f) {
                const double v = (*f)(t);
                if (v != 0.0) return v;
            }
            return 0.0;
        };
    }
    return not_found;
}

// Thrown from the observer to leave simulate_stream when a Python signal
// handler raised; the Python error stays set for the caller.
struct Interrupted {};

// Runs the network from 0 to tf ms with step h and keeps every `every`-th
// sample of the nodes `node_ids` (all nodes when `all_nodes`), and of every
// input when `want_inputs`. Returns (time, nodes, inputs or None, row
// indices of clamps that name no node, number of samples taken).
py::tuple run(const std::shared_ptr<Network>& network, double tf, double h,
              const std::map<std::string, WindowList>& schedule, const ClampList& clamps,
              const DoubleArray& y0_array, const IndexArray& node_ids, bool all_nodes,
              std::int64_t every, bool want_inputs) {
    if (every < 1) throw py::value_error("every must be at least 1");
    const Network& net = *network;
    const auto n = static_cast<std::size_t>(net.n_nodes);
    const auto m = static_cast<std::size_t>(net.n_inputs);
    const std::int64_t* ids = node_ids.data();
    const auto kept_columns = all_nodes ? n : static_cast<std::size_t>(node_ids.size());
    for (std::size_t j = 0; !all_nodes && j < kept_columns; ++j) {
        if (ids[j] < 0 || ids[j] >= net.n_nodes) throw py::index_error("node id out of range");
    }
    const std::vector<double> y0(y0_array.data(), y0_array.data() + y0_array.size());

    // Built as the command line builds its simulator, so that whatever the
    // simulator takes from the environment applies to both alike.
    Simulator simulator(&net, h);
    install_schedule(net, simulator, schedule);
    const std::vector<int> not_found = install_clamps(net, simulator, clamps);

    // The sample count as simulate_stream works it out; when its checks
    // fail, it throws before the first sample and nothing is kept.
    const double steps = std::round(tf / h);
    const bool valid = h > 0 && tf >= 0.0 && y0.size() == n && steps >= 0.0 &&
                       steps <= static_cast<double>(std::numeric_limits<std::int32_t>::max());
    const std::int64_t total = valid ? static_cast<std::int64_t>(steps) + 1 : 0;
    const std::int64_t kept = (total + every - 1) / every;

    DoubleArray time(static_cast<py::ssize_t>(kept));
    DoubleArray nodes({static_cast<py::ssize_t>(kept), static_cast<py::ssize_t>(kept_columns)});
    DoubleArray inputs(
        {static_cast<py::ssize_t>(want_inputs ? kept : 0), static_cast<py::ssize_t>(m)});
    double* time_out = time.mutable_data();
    double* nodes_out = nodes.mutable_data();
    double* inputs_out = inputs.mutable_data();

    std::int64_t sample = 0;
    std::int64_t stored = 0;
    auto last_check = std::chrono::steady_clock::now();
    const auto observer = [&](double t, const std::vector<double>& row) {
        if (sample++ % every == 0) {
            if (stored == kept) throw std::logic_error("run: more samples than expected");
            time_out[stored] = t;
            double* dst = nodes_out + stored * static_cast<std::int64_t>(kept_columns);
            if (all_nodes) {
                if (n > 0) std::memcpy(dst, row.data(), n * sizeof(double));
            } else {
                for (std::size_t j = 0; j < kept_columns; ++j) {
                    dst[j] = row[static_cast<std::size_t>(ids[j])];
                }
            }
            if (want_inputs && m > 0) {
                // The values the inputs took at this sample time.
                std::memcpy(inputs_out + stored * static_cast<std::int64_t>(m),
                            simulator.input_values.data(), m * sizeof(double));
            }
            ++stored;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - last_check >= signal_check_interval) {
            last_check = now;
            py::gil_scoped_acquire gil;
            if (PyErr_CheckSignals() != 0) throw Interrupted{};
        }
    };

    bool interrupted = false;
    std::string failure;
    {
        py::gil_scoped_release nogil;
        try {
            simulator.simulate_stream(0.0, tf, y0, observer);
        } catch (const Interrupted&) {
            interrupted = true;
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            failure = user_message(e);
            if (failure.empty()) failure = "run failed";
        }
    }
    if (interrupted) throw py::error_already_set();
    if (!failure.empty()) throw RunError(failure);
    if (stored != kept) throw std::logic_error("run: fewer samples than expected");

    return py::make_tuple(time, nodes, want_inputs ? py::object(inputs) : py::none(), not_found,
                          total);
}

// One scenario of run_batch: schedule, clamps, y0 and the nine network
// parameters (alfa, epsilon, gamma, delta, tau_E, tau_I, theta, beta, f_max).
using Scenario =
    std::tuple<std::map<std::string, WindowList>, ClampList, DoubleArray, std::vector<double>>;

// run() for several scenarios of one network advanced together, each with
// its own stimuli, clamps, start and parameters; returns one run() tuple per
// scenario, each the same as run() gives for that scenario alone. The
// memory of the batch and of every kept sample is checked first.
py::list run_batch(const std::shared_ptr<Network>& network, double tf, double h,
                   const std::vector<Scenario>& scenarios, const IndexArray& node_ids,
                   bool all_nodes, std::int64_t every, bool want_inputs) {
    if (every < 1) throw py::value_error("every must be at least 1");
    const Network& net = *network;
    const auto n = static_cast<std::size_t>(net.n_nodes);
    const auto m = static_cast<std::size_t>(net.n_inputs);
    const std::size_t lanes = scenarios.size();
    const std::int64_t* ids = node_ids.data();
    const auto kept_columns = all_nodes ? n : static_cast<std::size_t>(node_ids.size());
    for (std::size_t j = 0; !all_nodes && j < kept_columns; ++j) {
        if (ids[j] < 0 || ids[j] >= net.n_nodes) throw py::index_error("node id out of range");
    }
    std::vector<std::vector<double>> y0;
    for (const auto& scenario : scenarios) {
        const DoubleArray& a = std::get<2>(scenario);
        y0.emplace_back(a.data(), a.data() + a.size());
        if (std::get<3>(scenario).size() != 9) {
            throw py::value_error("run_batch: nine network parameters per scenario");
        }
    }
    const double steps = std::round(tf / h);
    bool valid = h > 0 && tf >= 0.0 && steps >= 0.0 &&
                 steps <= static_cast<double>(std::numeric_limits<std::int32_t>::max());
    for (const auto& v : y0) valid = valid && v.size() == n;
    const std::int64_t total = valid ? static_cast<std::int64_t>(steps) + 1 : 0;
    const std::int64_t kept = (total + every - 1) / every;
    try {
        check_batch_fits_in_memory(
            net.n_nodes, net.n_inputs, lanes,
            static_cast<double>(lanes) * static_cast<double>(kept) *
                static_cast<double>(1 + kept_columns + (want_inputs ? m : 0)) * sizeof(double));
    } catch (const std::runtime_error& e) {
        throw RunError(e.what());
    }

    BatchSimulator simulator(&net, h, lanes);
    std::vector<std::vector<int>> not_found;
    for (std::size_t l = 0; l < lanes; ++l) {
        const auto& [schedule, clamps, y0_array, p] = scenarios[l];
        BatchSimulator::Lane& lane = simulator.lanes[l];
        lane.parameters = {p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8]};
        install_schedule(net, lane, schedule);
        not_found.push_back(install_clamps(net, lane, clamps));
    }

    struct Kept {
        DoubleArray time, nodes, inputs;
        std::int64_t sample = 0, stored = 0;
    };
    std::vector<Kept> out;
    for (std::size_t l = 0; l < lanes; ++l) {
        out.push_back(
            {DoubleArray(static_cast<py::ssize_t>(kept)),
             DoubleArray({static_cast<py::ssize_t>(kept), static_cast<py::ssize_t>(kept_columns)}),
             DoubleArray(
                 {static_cast<py::ssize_t>(want_inputs ? kept : 0), static_cast<py::ssize_t>(m)})});
    }
    // Raw pointers: the arrays must not be touched without the GIL.
    std::vector<double*> time_out, nodes_out, inputs_out;
    for (Kept& k : out) {
        time_out.push_back(k.time.mutable_data());
        nodes_out.push_back(k.nodes.mutable_data());
        inputs_out.push_back(k.inputs.mutable_data());
    }
    std::vector<std::int64_t> sample(lanes, 0), stored(lanes, 0);
    std::vector<double> lane_inputs(m);
    auto last_check = std::chrono::steady_clock::now();
    const auto observer = [&](std::size_t l, double t, const std::vector<double>& row) {
        if (sample[l]++ % every == 0) {
            if (stored[l] == kept) throw std::logic_error("run: more samples than expected");
            time_out[l][stored[l]] = t;
            double* dst = nodes_out[l] + stored[l] * static_cast<std::int64_t>(kept_columns);
            if (all_nodes) {
                if (n > 0) std::memcpy(dst, row.data(), n * sizeof(double));
            } else {
                for (std::size_t j = 0; j < kept_columns; ++j) {
                    dst[j] = row[static_cast<std::size_t>(ids[j])];
                }
            }
            if (want_inputs && m > 0) {
                // The values the inputs took at this sample time.
                double* in = inputs_out[l] + stored[l] * static_cast<std::int64_t>(m);
                for (std::size_t q = 0; q < m; ++q) in[q] = simulator.input_value(l, q);
            }
            ++stored[l];
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - last_check >= signal_check_interval) {
            last_check = now;
            py::gil_scoped_acquire gil;
            if (PyErr_CheckSignals() != 0) throw Interrupted{};
        }
    };

    bool interrupted = false;
    std::string failure;
    {
        py::gil_scoped_release nogil;
        try {
            simulator.simulate_stream(0.0, tf, y0, observer);
        } catch (const Interrupted&) {
            interrupted = true;
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            failure = user_message(e);
            if (failure.empty()) failure = "run failed";
        }
    }
    if (interrupted) throw py::error_already_set();
    if (!failure.empty()) throw RunError(failure);
    py::list results;
    for (std::size_t l = 0; l < lanes; ++l) {
        if (stored[l] != kept) throw std::logic_error("run: fewer samples than expected");
        results.append(py::make_tuple(out[l].time, out[l].nodes,
                                      want_inputs ? py::object(out[l].inputs) : py::none(),
                                      not_found[l], total));
    }
    return results;
}

}  // namespace

void add_run_bindings(py::module_& m) {
    m.def("grid_from_t_end", &grid_from_t_end, py::arg("t_end"));
    m.def("grid_from_n_steps", &grid_from_n_steps, py::arg("n_steps"));
    m.def("run", &run, py::arg("network"), py::arg("tf"), py::arg("h"), py::arg("schedule"),
          py::arg("clamps"), py::arg("y0"), py::arg("node_ids"), py::arg("all_nodes"),
          py::arg("every"), py::arg("inputs"));
    m.def("run_batch", &run_batch, py::arg("network"), py::arg("tf"), py::arg("h"),
          py::arg("scenarios"), py::arg("node_ids"), py::arg("all_nodes"), py::arg("every"),
          py::arg("inputs"));
}

}  // namespace vesk::python
