// Batch runs against single runs: a stretch of a run (from rest, every
// input held at the instruction value, 100 nodes recorded at each sample)
// on the 10k and 100k contracts, as
//
//   batch/single/<size>          one Simulator run
//   batch/lanes:K/<size>         one BatchSimulator run of K scenarios
//
// both on the threads a run of the program would use (VESK_THREADS sets
// them). Each batch lane gets its own parameters, so no lane can share work
// with another. The `vs_single` counter of a batch is its CPU time over the
// single run's CPU time in the same process, measured before it; below K
// the batch beats K separate runs. (On a busy shared machine the wall time
// says more about the neighbours than about the code.)

#include <benchmark/benchmark.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "bench_contracts.hpp"
#include "contract/load_network.hpp"
#include "model/network.hpp"
#include "run/memory_budget.hpp"
#include "sim/batch_simulator.hpp"
#include "sim/simulator.hpp"

namespace vesk::bench {
namespace {

// The step of a `--t-end 180` run.
constexpr double run_step = 180.0 / 1799.0;
constexpr double input_level = 100.0;
constexpr std::size_t recorded_nodes = 100;

double held_input(double) {
    return input_level;
}

// Steps per iteration: about a second of one single run on this machine.
int steps_of(Contract c) {
    return c == Contract::nodes_100k ? 20 : 100;
}

const Network& network(Contract c) {
    static std::map<Contract, Network> cache;
    auto [it, fresh] = cache.try_emplace(c);
    if (fresh) it->second = load_network(contract_path(c), check_fits_in_memory);
    return it->second;
}

// CPU seconds of this process (all its threads) since `start`.
double cpu_seconds_since(std::clock_t start) {
    return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

// CPU seconds of the last single run of each contract, for vs_single.
std::map<Contract, double>& single_seconds() {
    static std::map<Contract, double> seconds;
    return seconds;
}

void bm_single(benchmark::State& state, Contract c) {
    const Network& net = network(c);
    Simulator sim(&net, run_step);
    for (std::size_t k = 0; k < static_cast<std::size_t>(net.n_inputs); ++k) {
        sim.set_input_function(k, held_input);
    }
    const std::vector<double> y0(static_cast<std::size_t>(net.n_nodes), 0.0);
    std::vector<double> kept(recorded_nodes);
    const double tf = run_step * steps_of(c);
    for (auto _ : state) {
        const std::clock_t start = std::clock();
        sim.simulate_stream(0.0, tf, y0, [&](double, const std::vector<double>& row) {
            std::copy_n(row.begin(), recorded_nodes, kept.begin());
        });
        single_seconds()[c] = cpu_seconds_since(start);
        benchmark::DoNotOptimize(kept.data());
    }
}

void bm_batch(benchmark::State& state, Contract c, std::size_t lanes) {
    const Network& net = network(c);
    BatchSimulator sim(&net, run_step, lanes);
    for (std::size_t l = 0; l < lanes; ++l) {
        for (std::size_t k = 0; k < static_cast<std::size_t>(net.n_inputs); ++k) {
            sim.set_input_function(l, k, held_input);
        }
        NetworkParameters p = sim.parameters(l);
        p.theta += 0.01 * static_cast<double>(l);
        sim.set_parameters(l, p);
    }
    const std::vector<std::vector<double>> y0(
        lanes, std::vector<double>(static_cast<std::size_t>(net.n_nodes), 0.0));
    std::vector<double> kept(recorded_nodes * lanes);
    const double tf = run_step * steps_of(c);
    double seconds = 0.0;
    for (auto _ : state) {
        const std::clock_t start = std::clock();
        sim.simulate_stream(
            0.0, tf, y0, [&](std::size_t lane, double, const std::vector<double>& row) {
                std::copy_n(row.begin(), recorded_nodes,
                            kept.begin() + static_cast<std::ptrdiff_t>(lane * recorded_nodes));
            });
        seconds = cpu_seconds_since(start);
        benchmark::DoNotOptimize(kept.data());
    }
    const auto single = single_seconds().find(c);
    if (single != single_seconds().end() && single->second > 0.0) {
        state.counters["vs_single"] = seconds / single->second;
    }
}

const int registered = [] {
    for (Contract c : {Contract::nodes_10k, Contract::nodes_100k}) {
        const std::string size = contract_label(c);
        for (const std::size_t lanes : {std::size_t{0}, std::size_t{1}, std::size_t{2},
                                        std::size_t{4}, std::size_t{8}, std::size_t{16}}) {
            const std::string name = (lanes == 0 ? std::string("batch/single/")
                                                 : "batch/lanes:" + std::to_string(lanes) + "/") +
                                     size;
            auto* b = lanes == 0 ? benchmark::RegisterBenchmark(name.c_str(), bm_single, c)
                                 : benchmark::RegisterBenchmark(name.c_str(), bm_batch, c, lanes);
            b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
        }
    }
    return 0;
}();

}  // namespace
}  // namespace vesk::bench
