// Contract loading, timed on the three benchmark contracts in both forms
// of reading:
//
//   load/streamed/<size>        Network::load_from_json as the program runs
//                               it (edges taken apart while parsing)
//   load/whole_document/<size>  the file parsed into one JSON document first
//
// The bytes counter gives the parsing rate. Peak memory is not measured
// here (one process holds every benchmark); run
//   /usr/bin/time -v vesk-sim --model <contract> --output /dev/null --t-end 0.1
// for it: the run loads the model and stops at the end-time check.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "bench_contracts.hpp"
#include "model/network.hpp"

namespace vesk::bench {
namespace {

void bm_load(benchmark::State& state, Contract c, ContractReading reading) {
    const std::string path = contract_path(c);
    const auto bytes = static_cast<std::int64_t>(std::filesystem::file_size(path));
    for (auto _ : state) {
        Network net;
        net.load_from_json(path, reading);
        benchmark::DoNotOptimize(net.weights->values.data());
    }
    state.SetBytesProcessed(bytes * state.iterations());
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
}

const int registered = [] {
    const std::pair<const char*, ContractReading> forms[] = {
        {"streamed", ContractReading::streamed},
        {"whole_document", ContractReading::whole_document}};
    for (Contract c : all_contracts) {
        for (const auto& [form, reading] : forms) {
            const std::string name = std::string("load/") + form + "/" + contract_label(c);
            auto* b = benchmark::RegisterBenchmark(name.c_str(), bm_load, c, reading);
            b->Unit(benchmark::kMillisecond);
            // A load of the largest contract takes seconds (and the whole
            // document ~3 GB): one per repetition.
            if (c == Contract::nodes_100k) b->Iterations(1);
        }
    }
    return 0;
}();

}  // namespace
}  // namespace vesk::bench
