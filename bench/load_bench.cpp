// Contract loading, timed on the three benchmark contracts in each form of
// reading:
//
//   load/fast/<size>      load_network as the program runs it (the
//                         fast reader, pieces of the file parsed with simdjson)
//   load/streamed/<size>  the contract walker with its load sink, which the
//                         fast reader falls back on
//
// The bytes counter gives the parsing rate. Peak memory is not measured
// here (one process holds every benchmark); bench/load_runs.sh measures it
// with whole processes, two builds side by side.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "bench_contracts.hpp"
#include "contract/load_network.hpp"
#include "model/network.hpp"
#include "run/memory_budget.hpp"

namespace vesk::bench {
namespace {

void bm_load(benchmark::State& state, Contract c, ContractReading reading) {
    const std::string path = contract_path(c);
    const auto bytes = static_cast<std::int64_t>(std::filesystem::file_size(path));
    for (auto _ : state) {
        Network net;
        net = load_network(path, check_fits_in_memory, reading);
        benchmark::DoNotOptimize(net.weights->values().data());
    }
    state.SetBytesProcessed(bytes * state.iterations());
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
}

const int registered = [] {
    const std::pair<const char*, ContractReading> forms[] = {
        {"fast", ContractReading::fast}, {"streamed", ContractReading::streamed}};
    for (Contract c : all_contracts) {
        for (const auto& [form, reading] : forms) {
            const std::string name = std::string("load/") + form + "/" + contract_label(c);
            auto* b = benchmark::RegisterBenchmark(name.c_str(), bm_load, c, reading);
            b->Unit(benchmark::kMillisecond);
            // A load of the largest contract takes seconds: one per
            // repetition.
            if (c == Contract::nodes_100k) b->Iterations(1);
        }
    }
    return 0;
}();

}  // namespace
}  // namespace vesk::bench
