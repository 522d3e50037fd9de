// The simulation contracts every benchmark runs on, generated on first use.
//
//   std::string path = vesk::bench::contract_path(vesk::bench::Contract::nodes_10k);
//
// returns the path of a random network written by tools/make_contract into
// the benchmark build directory (bench/contracts/). The file is (re)written
// when it is missing or older than the make_contract executable, so a
// changed generator never leaves a stale contract behind. The sizes:
//
//   nodes_1k    1,000 nodes,  20 incoming edges per node, 4 inputs, seed 1
//   nodes_10k   10,000 nodes,  50 incoming edges per node, 4 inputs, seed 1
//   nodes_100k  100,000 nodes, 50 incoming edges per node, 4 inputs, seed 1
//
// all_contracts lists the three, contract_label(c) gives "1k", "10k" or
// "100k" for benchmark names, and contract_size(c) the options above.
// bench/whole_runs.sh generates the same files with the same options.
// Generation failures throw std::runtime_error.
#pragma once

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#ifndef VESK_MAKE_CONTRACT_PATH
#error "VESK_MAKE_CONTRACT_PATH must name the make_contract executable"
#endif
#ifndef VESK_BENCH_CONTRACT_DIR
#error "VESK_BENCH_CONTRACT_DIR must name the directory for generated contracts"
#endif

namespace vesk::bench {

enum class Contract { nodes_1k, nodes_10k, nodes_100k };

inline constexpr std::array<Contract, 3> all_contracts = {Contract::nodes_1k, Contract::nodes_10k,
                                                          Contract::nodes_100k};

struct ContractSize {
    const char* label;  // "1k", "10k", "100k": used in benchmark names
    int nodes;
    int degree;
    int inputs;
    int seed;
};

inline ContractSize contract_size(Contract c) {
    switch (c) {
        case Contract::nodes_1k:
            return {"1k", 1000, 20, 4, 1};
        case Contract::nodes_10k:
            return {"10k", 10000, 50, 4, 1};
        case Contract::nodes_100k:
            break;
    }
    return {"100k", 100000, 50, 4, 1};
}

// "1k", "10k" or "100k", for benchmark names.
inline std::string contract_label(Contract c) {
    return contract_size(c).label;
}

// Path of the contract, written by make_contract if needed.
inline std::string contract_path(Contract c) {
    namespace fs = std::filesystem;
    const ContractSize s = contract_size(c);
    const fs::path dir = VESK_BENCH_CONTRACT_DIR;
    const fs::path path = dir / ("contract_" + std::string(s.label) + ".json");
    const fs::path tool = VESK_MAKE_CONTRACT_PATH;

    std::error_code ec;
    if (fs::exists(path, ec) && fs::last_write_time(path, ec) >= fs::last_write_time(tool, ec) &&
        !ec) {
        return path.string();
    }
    fs::create_directories(dir, ec);
    // Written beside the final name and renamed, so an interrupted run never
    // leaves a truncated contract that looks current.
    const fs::path partial = path.string() + ".partial";
    std::string command = "\"";
    command += tool.string();
    command += "\" --nodes ";
    command += std::to_string(s.nodes);
    command += " --degree ";
    command += std::to_string(s.degree);
    command += " --inputs ";
    command += std::to_string(s.inputs);
    command += " --seed ";
    command += std::to_string(s.seed);
    command += " --out \"";
    command += partial.string();
    command += "\" > /dev/null";
    if (std::system(command.c_str()) != 0) {
        throw std::runtime_error("bench: failed to generate contract: " + command);
    }
    fs::rename(partial, path);  // throws filesystem_error on failure
    return path.string();
}

}  // namespace vesk::bench
