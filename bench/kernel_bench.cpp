// Simulation kernel: the sparse product, the right-hand side and one RK4
// step, timed per node on the three benchmark contracts, in three forms:
//
//   reference      the plain form of tests/reference_kernel.hpp, compiled for
//                  baseline x86-64 (fma is the C library's function);
//   fast           the Simulator as the program runs it (hardware FMA path
//                  when the processor has it);
//   fast_baseline  the Simulator forced onto its baseline path;
//   fast_2threads  (step only) `fast` on two threads, in wall-clock time.
//
// `fast` and `fast_baseline` run on one thread whatever VESK_THREADS says.
// For the sparse product alone, `fast` and `fast_baseline` are both
// SparseMatrix::multiply_add, which has one build, and `sliced` the
// SlicedMatrix copy that the Simulator multiplies with on the fma path.
// Every form gives the same bits, and each iteration starts from the same
// state, so all do the same work. After the table the speed-up of each form
// over the reference is printed per size, from the same run.
//
// This file also holds the benchmark binary's main().

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_contracts.hpp"
#include "contract/load_network.hpp"
#include "model/network.hpp"
#include "model/sparse_matrix.hpp"
#include "reference_kernel.hpp"
#include "run/memory_budget.hpp"
#include "sim/simulator.hpp"

namespace vesk::bench {
namespace {

// The step of a `--t-end 180` run: 1800 samples.
constexpr double run_step = 180.0 / 1799.0;
// Value of every input channel while timing: the instruction value of a
// stimulus window, so the input products are not all zeros.
constexpr double input_level = 100.0;
// Steps taken from rest before timing, so the state is one the dynamics
// reach rather than all zeros.
constexpr int warm_up_steps = 20;

struct Model {
    Network net;
    std::vector<double> state;  // 2n values after the warm-up
};

const Model& model(Contract c) {
    static std::map<Contract, std::unique_ptr<Model>> cache;
    auto& slot = cache[c];
    if (!slot) {
        slot = std::make_unique<Model>();
        slot->net = load_network(contract_path(c), check_fits_in_memory);
        Simulator sim(&slot->net, run_step);
        sim.hold_inputs(std::vector<double>(sim.held_inputs().size(), input_level));
        slot->state.assign(2 * static_cast<std::size_t>(slot->net.n_nodes), 0.0);
        for (int i = 0; i < warm_up_steps; ++i) sim.step_rk4(slot->state, i * run_step);
    }
    return *slot;
}

void per_node(benchmark::State& state, std::int32_t n) {
    state.counters["per_node"] =
        benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}

enum class Form { reference, fast, fast_baseline, sliced, sliced_baseline, fast_2threads };

bool baseline_form(Form f) {
    return f == Form::fast_baseline || f == Form::sliced_baseline;
}

// Runs `body` with the kernel path that `form` asks for, restoring the
// default afterwards.
template <typename Body>
void with_form(Form form, Body&& body) {
    const KernelPath before = kernel_path();
    set_kernel_path(baseline_form(form) ? KernelPath::baseline : default_kernel_path());
    body();
    set_kernel_path(before);
}

void bm_multiply_add(benchmark::State& state, Contract c, Form form) {
    const Model& m = model(c);
    const auto n = static_cast<std::size_t>(m.net.n_nodes);
    const SparseMatrix& w = *m.net.weights;
    const SlicedMatrix sliced(w);
    // x: the node outputs of the warm state.
    std::vector<double> x(n);
    for (std::size_t j = 0; j < n; ++j) x[j] = m.net.is_excitatory[j] ? m.state[j] : m.state[n + j];
    std::vector<double> y(n, 0.0);
    with_form(form, [&] {
        for (auto _ : state) {
            std::fill(y.begin(), y.end(), 0.0);
            if (form == Form::reference) {
                reference::multiply_add(w, x, y);
            } else if (form == Form::sliced || form == Form::sliced_baseline) {
                sliced.multiply_add(x, y);
            } else {
                w.multiply_add(x, y);
            }
            benchmark::DoNotOptimize(y.data());
            benchmark::ClobberMemory();
        }
    });
    per_node(state, m.net.n_nodes);
}

void bm_rhs(benchmark::State& state, Contract c, Form form) {
    const Model& m = model(c);
    std::vector<double> dydt(m.state.size());
    if (form == Form::reference) {
        reference::Kernel ref(m.net, run_step);
        std::fill(ref.input_values.begin(), ref.input_values.end(), input_level);
        for (auto _ : state) {
            ref.rhs(m.state, dydt);
            benchmark::DoNotOptimize(dydt.data());
            benchmark::ClobberMemory();
        }
    } else {
        Simulator sim(&m.net, run_step, 1);
        sim.hold_inputs(std::vector<double>(sim.held_inputs().size(), input_level));
        with_form(form, [&] {
            for (auto _ : state) {
                sim.rhs(m.state, 0.0, dydt);
                benchmark::DoNotOptimize(dydt.data());
                benchmark::ClobberMemory();
            }
        });
    }
    per_node(state, m.net.n_nodes);
}

// Every iteration steps the same warm state (the copy costs well under 1%
// of a step), so the work does not depend on the number of iterations.
void bm_step(benchmark::State& state, Contract c, Form form) {
    const Model& m = model(c);
    std::vector<double> y(m.state.size());
    const double t = warm_up_steps * run_step;
    if (form == Form::reference) {
        reference::Kernel ref(m.net, run_step);
        std::fill(ref.input_values.begin(), ref.input_values.end(), input_level);
        for (auto _ : state) {
            std::copy(m.state.begin(), m.state.end(), y.begin());
            ref.step_rk4(y, t);
            benchmark::DoNotOptimize(y.data());
            benchmark::ClobberMemory();
        }
    } else {
        Simulator sim(&m.net, run_step, form == Form::fast_2threads ? 2 : 1);
        sim.hold_inputs(std::vector<double>(sim.held_inputs().size(), input_level));
        with_form(form, [&] {
            for (auto _ : state) {
                std::copy(m.state.begin(), m.state.end(), y.begin());
                sim.step_rk4(y, t);
                benchmark::DoNotOptimize(y.data());
                benchmark::ClobberMemory();
            }
        });
    }
    per_node(state, m.net.n_nodes);
}

const char* form_name(Form f) {
    switch (f) {
        case Form::reference:
            return "reference";
        case Form::fast:
            return "fast";
        case Form::fast_baseline:
            return "fast_baseline";
        case Form::sliced:
            return "sliced";
        case Form::fast_2threads:
            return "fast_2threads";
        case Form::sliced_baseline:
            break;
    }
    return "sliced_baseline";
}

void register_kernel_benchmarks() {
    using Fn = void (*)(benchmark::State&, Contract, Form);
    struct Kind {
        const char* name;
        Fn fn;
        std::vector<Form> forms;
    };
    const std::vector<Form> whole = {Form::reference, Form::fast, Form::fast_baseline};
    const std::vector<Form> steps = {Form::reference, Form::fast, Form::fast_baseline,
                                     Form::fast_2threads};
    const std::vector<Form> product = {Form::reference, Form::fast, Form::fast_baseline,
                                       Form::sliced, Form::sliced_baseline};
    const Kind kinds[] = {{"multiply_add", bm_multiply_add, product},
                          {"rhs", bm_rhs, whole},
                          {"step", bm_step, steps}};
    for (Contract c : all_contracts) {
        for (const auto& [kind, fn, forms] : kinds) {
            for (Form f : forms) {
                const std::string name =
                    std::string("kernel/") + kind + "/" + form_name(f) + "/" + contract_label(c);
                auto* b = benchmark::RegisterBenchmark(name.c_str(), fn, c, f);
                b->Unit(benchmark::kMillisecond);
                // CPU time counts only the timing thread's own.
                if (f == Form::fast_2threads) b->UseRealTime();
            }
        }
    }
}

// The console table, followed by the speed-up over the reference of every
// kernel benchmark measured in this run (from the median when repetitions
// were asked for, else from the fastest run). Runs arrive in random order
// when interleaved, so they are held back and printed at the end in the
// order the benchmarks were registered; meanwhile a terminal on stderr
// shows which one finished last.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    using ConsoleReporter::ConsoleReporter;

    void ReportRuns(const std::vector<Run>& runs) override {
        held_.insert(held_.end(), runs.begin(), runs.end());
        if (!runs.empty() && isatty(STDERR_FILENO)) {
            std::cerr << "\r\033[Kfinished " << runs.back().run_name.str() << std::flush;
        }
    }

    void Finalize() override {
        if (isatty(STDERR_FILENO)) std::cerr << "\r\033[K" << std::flush;
        std::stable_sort(held_.begin(), held_.end(), [](const Run& a, const Run& b) {
            return a.family_index != b.family_index
                       ? a.family_index < b.family_index
                       : a.per_family_instance_index < b.per_family_instance_index;
        });
        ConsoleReporter::ReportRuns(held_);
        ConsoleReporter::Finalize();
        print_ratios();
    }

  private:
    void print_ratios() {
        std::map<std::string, double> median, fastest;
        std::vector<std::string> order;  // benchmark names in registration order
        for (const Run& run : held_) {
            const auto counter = run.counters.find("per_node");
            if (counter == run.counters.end() || run.error_occurred) continue;
            const std::string name = run.run_name.str();
            if (order.empty() || order.back() != name) order.push_back(name);
            const double seconds = counter->second.value;
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") median[name] = seconds;
            } else {
                const auto [it, fresh] = fastest.emplace(name, seconds);
                if (!fresh) it->second = std::min(it->second, seconds);
            }
        }
        const auto& results = median.empty() ? fastest : median;

        bool header = false;
        for (const std::string& name : order) {
            const auto pos = name.find("/reference/");
            if (pos == std::string::npos || !results.count(name)) continue;
            const double ref_seconds = results.at(name);
            for (const char* form :
                 {"fast", "fast_baseline", "sliced", "sliced_baseline", "fast_2threads"}) {
                const std::string other =
                    name.substr(0, pos) + "/" + form + "/" + name.substr(pos + 11);
                const auto it = results.find(other);
                if (it == results.end() || it->second <= 0.0) continue;
                if (!header) {
                    GetOutputStream() << "\nSpeed-up over the reference (ns per node):\n";
                    header = true;
                }
                char line[200];
                std::snprintf(line, sizeof line, "  %-40s %9.2f -> %9.2f   x%.2f\n", other.c_str(),
                              ref_seconds * 1e9, it->second * 1e9, ref_seconds / it->second);
                GetOutputStream() << line;
            }
        }
    }

    std::vector<Run> held_;
};

}  // namespace
}  // namespace vesk::bench

int main(int argc, char** argv) {
    vesk::bench::register_kernel_benchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // Colour only on a terminal, so that redirected output stays plain text.
    vesk::bench::RatioReporter reporter(isatty(STDOUT_FILENO)
                                            ? benchmark::ConsoleReporter::OO_ColorTabular
                                            : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
