// vesk._core.check: vesk-check's findings on a model and its instruction and
// bindings files, as records for the Python layer. The only place where the
// package calls the check code: vesk.check and the warnings of the contract
// loaders all come through here.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include "binding.hpp"
#include "contract/check_sink.hpp"
#include "diagnostics/finding.hpp"
#include "model/network.hpp"
#include "run/memory_budget.hpp"
#include "run/run_setup.hpp"
#include "stimulus/bindings_check.hpp"
#include "stimulus/instruction_check.hpp"

namespace py = pybind11;

namespace vesk::python {
namespace {

using FindingRecord =
    std::tuple<std::string, std::string, std::string>;  // severity, place, message

// (findings, [(kind, findings left out)], the error a run would stop on or
// None, errors, warnings), the counts taking in those left out. `model_loads` (the caller has
// loaded the model already) changes nothing any more: the check names the loader's error without
// loading. `per_kind_limit` 0 keeps every finding.
py::tuple check(const std::string& model, const std::string& instructions,
                const std::string& bindings, std::optional<double> t_end, bool /*model_loads*/,
                std::size_t per_kind_limit) {
    FindingLog log(per_kind_limit);
    std::optional<std::string> stop_model, stop_instructions, stop_bindings;
    call_released([&] {
        // Every input can be driven by name from Python, so inputs that no
        // instruction command reaches are not worth a warning here.
        const ContractCheck checked = check_contract(model, log, nullptr, check_fits_in_memory);
        const ContractFacts& facts = checked.facts;
        stop_model = checked.stop;
        if (!instructions.empty()) {
            InstructionCheckOptions options;
            options.time_scale = instruction_time_scale;
            options.window_value = instruction_window_value;
            options.t_end = t_end;
            if (facts.complete) options.input_names = &facts.input_names;
            stop_instructions = check_instruction_file(instructions, options, log);
        }
        if (!bindings.empty()) {
            const std::unordered_set<int> rows(facts.node_rows.begin(), facts.node_rows.end());
            HasRow has_row;
            if (facts.complete) has_row = [&rows](int row) { return rows.count(row) != 0; };
            stop_bindings = check_bindings_file(bindings, log, has_row);
        }
    });

    std::vector<FindingRecord> findings;
    findings.reserve(log.kept().size());
    for (const Finding& f : log.kept()) {
        findings.emplace_back(f.severity == Severity::error ? "error" : "warning",
                              python_text(f.place), python_text(f.message));
    }
    std::optional<std::string> stop;
    for (const auto* s : {&stop_model, &stop_instructions, &stop_bindings}) {
        if (!stop && *s) stop = python_text(**s);
    }
    return py::make_tuple(findings, log.left_out(), stop, log.errors(), log.warnings());
}

}  // namespace

void add_check_bindings(py::module_& m) {
    m.def("check", &check, py::arg("model"), py::arg("instructions"), py::arg("bindings"),
          py::arg("t_end"), py::arg("model_loads"), py::arg("per_kind_limit"));
}

}  // namespace vesk::python
