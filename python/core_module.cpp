// vesk._core: the loaded model, the instruction and bindings parsers and the
// CSV writers of the command line, for the Python layer in vesk/.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "app/version.hpp"
#include "binding.hpp"
#include "contract/contract_schema.hpp"
#include "contract/contract_writer.hpp"
#include "contract/load_network.hpp"
#include "io/csv_writer.hpp"
#include "io/output_guard.hpp"
#include "model/network.hpp"
#include "run/memory_budget.hpp"
#include "run/run_plan.hpp"
#include "run/run_setup.hpp"
#include "stimulus/bindings_file.hpp"
#include "stimulus/instruction_file.hpp"
#include "text/escape.hpp"

namespace py = pybind11;

namespace vesk::python {

namespace {

// The length of the valid UTF-8 sequence at the start of `text`, or 0: no
// overlong form, no surrogate, nothing beyond U+10FFFF.
std::size_t utf8_sequence_length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xbf;  // bounds of the second byte
    if (lead < 0x80) return 1;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;
        if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xbf) return 0;
    }
    return length;
}

}  // namespace

std::string python_text(std::string_view text) {
    const std::string escaped = escape_control_characters(text);
    std::string result;
    result.reserve(escaped.size());
    std::string_view rest = escaped;
    while (!rest.empty()) {
        const std::size_t length = utf8_sequence_length(rest);
        if (length != 0) {
            result.append(rest.substr(0, length));
            rest.remove_prefix(length);
            continue;
        }
        constexpr char hex[] = "0123456789abcdef";
        const auto byte = static_cast<unsigned char>(rest.front());
        result += "\\x";
        result += hex[byte >> 4];
        result += hex[byte & 0xf];
        rest.remove_prefix(1);
    }
    return result;
}

std::string user_message(const std::exception& e) {
    // Messages quote text from input files; the command line escapes its
    // control characters, and so does every error raised here.
    return python_text(e.what());
}

namespace {

using Record = std::tuple<int, int, std::string, std::string, std::string, std::string, std::string,
                          std::string, std::string>;
using WindowList = std::vector<std::tuple<double, double, double>>;

Record as_tuple(const PopulationMetadata& md) {
    return {md.node_id, md.row_index, md.pop_id, md.pop_typ, md.con_typ,
            md.circ_id, md.h_row,     md.d_row,  md.mat_id};
}

std::shared_ptr<Network> load_contract(const std::string& path) {
    return call_released([&] {
        auto network = std::make_shared<Network>();
        try {
            *network = load_network(path, check_fits_in_memory);
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            throw ContractError(user_message(e));
        }
        return network;
    });
}

std::map<std::string, WindowList> parse_instructions(const std::string& path) {
    const ScheduleMap schedules = call_released([&] {
        try {
            return parse_instruction_file(path, instruction_time_scale, instruction_window_value);
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            throw ScheduleError(user_message(e));
        }
    });
    std::map<std::string, WindowList> result;
    for (const auto& [name, windows] : schedules) {
        WindowList& list = result[name];
        for (const ScheduleWindow& w : windows) list.emplace_back(w.start_ms, w.end_ms, w.value);
    }
    return result;
}

std::vector<int> parse_bindings(const std::string& path) {
    return call_released([&] {
        try {
            return parse_bindings_file(path);
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            throw ClampError(user_message(e));
        }
    });
}

[[noreturn]] void raise_os_error(const std::exception& e) {
    PyErr_SetString(PyExc_OSError, user_message(e).c_str());
    throw py::error_already_set();
}

// One trace file as the command line writes it: "time_ms,<name>,..." and one
// row per element of `time`, every number printed as "%g". The arrays are
// taken by value, so that a thread ended while it writes leaves them alive.
void write_traces(const std::string& path, const std::vector<std::string>& names,
                  py::array_t<double, py::array::c_style | py::array::forcecast> time,
                  py::array_t<double, py::array::c_style | py::array::forcecast> values) {
    const auto columns = static_cast<py::ssize_t>(names.size());
    if (time.ndim() != 1 || values.ndim() != 2 || values.shape(0) != time.shape(0) ||
        values.shape(1) != columns) {
        throw py::value_error("write_traces: values must be len(time) x len(names)");
    }
    const double* t = time.data();
    const double* v = values.data();
    const py::ssize_t rows = time.shape(0);
    const std::optional<std::string> message = call_released(
        [&]() -> std::optional<std::string> {
            try {
                CsvStreamWriter writer(path, names);
                std::vector<double> row(names.size());
                for (py::ssize_t i = 0; i < rows; ++i) {
                    const double* src = v + i * columns;
                    row.assign(src, src + columns);
                    writer.write_row(t[i], row);
                }
                writer.finish();
            } catch (const std::bad_alloc&) {
                throw;
            } catch (const std::exception& e) {
                return user_message(e);
            }
            return std::nullopt;
        },
        [&] {
            time.release();
            values.release();
        });
    if (message) raise_os_error(std::runtime_error(*message));
}

// The row map as --output-row-map writes it: the nodes' records, then the
// inputs', ordered by row index.
void write_row_map(const std::string& path, const Network& network) {
    const std::vector<PopulationMetadata> records = row_map_records(network);
    const std::optional<std::string> message = call_released([&]() -> std::optional<std::string> {
        try {
            write_row_map_csv(path, records);
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& e) {
            return user_message(e);
        }
        return std::nullopt;
    });
    if (message) raise_os_error(std::runtime_error(*message));
}

py::dict parameter_dict(const NetworkParameters& p) {
    py::dict d;
    for (const ParameterRow& row : parameter_rows) d[py::str(row.key)] = p.*row.member;
    return d;
}

// A record from a dict that names every field once, and nothing else; the
// Python layer checks names and values first, with its own messages.
NetworkParameters parameter_record(const std::map<std::string, double>& values) {
    if (values.size() != parameter_rows.size()) {
        throw py::value_error("NetworkParameters: give every parameter");
    }
    NetworkParameters p;
    for (const ParameterRow& row : parameter_rows) p.*row.member = values.at(std::string(row.key));
    return p;
}

py::tuple parameter_names() {
    py::list names;
    for (const ParameterRow& row : parameter_rows) names.append(py::str(row.key));
    return py::tuple(names);
}

// ((object key, (constant keys...)), ...): the constants of each object of
// "network_parameters", in the schema's order.
py::tuple parameter_groups() {
    py::list groups;
    for (const Field& object : params_fields) {
        py::list names;
        for (const Field& f : fields_of(object.child)) names.append(py::str(f.key));
        groups.append(py::make_tuple(py::str(object.key), py::tuple(names)));
    }
    return py::tuple(groups);
}

// The contract JSON of `network`, with `parameters` in place of its own
// constants when given, as text or into the file at `path`.
std::string contract_text(const Network& network,
                          const std::optional<NetworkParameters>& parameters) {
    py::gil_scoped_release nogil;
    try {
        return contract_json(network, parameters.value_or(network.parameters));
    } catch (const std::invalid_argument& e) {
        throw ContractError(user_message(e));
    }
}

void write_contract(const std::string& path, const Network& network,
                    const std::optional<NetworkParameters>& parameters) {
    std::string message;
    bool invalid = false;
    {
        py::gil_scoped_release nogil;
        try {
            write_contract_file(network, parameters.value_or(network.parameters), path);
            return;
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::invalid_argument& e) {
            invalid = true;
            message = user_message(e);
        } catch (const std::exception& e) {
            message = user_message(e);
        }
    }
    if (invalid) throw ContractError(message);
    raise_os_error(std::runtime_error(message));
}

std::vector<Record> records(const std::vector<PopulationMetadata>& list) {
    std::vector<Record> out;
    out.reserve(list.size());
    for (const PopulationMetadata& md : list) out.push_back(as_tuple(md));
    return out;
}

py::array_t<bool> excitatory_flags(const Network& n) {
    py::array_t<bool> flags(static_cast<py::ssize_t>(n.is_excitatory.size()));
    auto out = flags.mutable_unchecked<1>();
    for (std::size_t i = 0; i < n.is_excitatory.size(); ++i) {
        out(static_cast<py::ssize_t>(i)) = n.is_excitatory[i];
    }
    return flags;
}

}  // namespace
}  // namespace vesk::python

PYBIND11_MODULE(_core, m) {
    using namespace vesk;
    using namespace vesk::python;
    m.doc() = "Compiled core of the vesk package; use the package vesk instead.";
    m.attr("__version__") = version;

    static py::exception<ContractError> contract_error(m, "ContractError", PyExc_ValueError);
    static py::exception<ScheduleError> schedule_error(m, "ScheduleError", PyExc_ValueError);
    static py::exception<ClampError> clamp_error(m, "ClampError", PyExc_ValueError);
    static py::exception<RunError> run_error(m, "RunError", PyExc_ValueError);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const ContractError& e) {
            contract_error(e.what());
        } catch (const ScheduleError& e) {
            schedule_error(e.what());
        } catch (const ClampError& e) {
            clamp_error(e.what());
        } catch (const RunError& e) {
            run_error(e.what());
        }
    });

    py::class_<Network, std::shared_ptr<Network>>(m, "Network")
        .def_readonly("n_nodes", &Network::n_nodes)
        .def_readonly("n_inputs", &Network::n_inputs)
        .def_readonly("input_names", &Network::input_names)
        .def_readonly("input_row_index", &Network::input_row_index)
        .def_readonly("tau", &Network::tau)
        .def("parameters", [](const Network& n) { return parameter_dict(n.parameters); })
        .def("is_excitatory", &excitatory_flags)
        .def("node_records", [](const Network& n) { return records(n.node_metadata); })
        .def("input_records", [](const Network& n) { return records(n.input_metadata); })
        .def("n_edges", [](const Network& n) {
            return std::make_tuple(
                n.weights ? n.weights->values().size() : std::size_t{0},
                n.input_weights ? n.input_weights->values().size() : std::size_t{0});
        });

    py::class_<NetworkParameters>(m, "NetworkParameters")
        .def(py::init(&parameter_record), py::arg("values"))
        .def("as_dict", &parameter_dict);
    m.attr("PARAMETER_NAMES") = parameter_names();
    m.attr("PARAMETER_GROUPS") = parameter_groups();

    m.def("load_contract", &load_contract, py::arg("path"));
    m.def("parse_instruction_file", &parse_instructions, py::arg("path"));
    m.def("parse_bindings_file", &parse_bindings, py::arg("path"));
    m.def("write_traces", &write_traces, py::arg("path"), py::arg("names"), py::arg("time"),
          py::arg("values"));
    m.def("write_row_map", &write_row_map, py::arg("path"), py::arg("network"));
    // Paths as bytes (os.fsencode), None for a file not given.
    m.def(
        "refuse_overwrites",
        [](const std::string& caller,
           const std::vector<std::pair<std::string, std::optional<std::string>>>& outputs,
           const std::vector<std::pair<std::string, std::optional<std::string>>>& inputs) {
            std::vector<std::pair<std::string, std::string>> out;
            for (const auto& [name, path] : outputs) out.emplace_back(name, path.value_or(""));
            std::vector<NamedFile> in;
            for (const auto& [what, path] : inputs) in.push_back({what, path.value_or("")});
            try {
                refuse_overwrites(out, in);
            } catch (const std::runtime_error& e) {
                // The paths came as the file system's bytes; they go back as
                // Python spells them.
                const std::string text = caller + ": " + e.what();
                PyObject* message = PyUnicode_DecodeFSDefaultAndSize(
                    text.data(), static_cast<Py_ssize_t>(text.size()));
                if (message) {
                    PyErr_SetObject(PyExc_ValueError, message);
                    Py_DECREF(message);
                }
                throw py::error_already_set();
            }
        },
        py::arg("caller"), py::arg("outputs"), py::arg("inputs"));
    m.def("contract_json", &contract_text, py::arg("network"), py::arg("parameters") = py::none());
    m.def("write_contract", &write_contract, py::arg("path"), py::arg("network"),
          py::arg("parameters") = py::none());

    m.attr("INSTRUCTION_WINDOW_VALUE") = instruction_window_value;
    m.attr("CLAMP_START_MS") = clamp_t_start;
    m.attr("CLAMP_END_MS") = clamp_t_end;
    m.attr("CLAMP_VALUE") = clamp_value;

    add_run_bindings(m);
    add_check_bindings(m);
    add_contract_bindings(m);
}
