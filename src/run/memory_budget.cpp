#include "run/memory_budget.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

#include "model/network.hpp"
#include "sim/simulator.hpp"
#include "sim/thread_count.hpp"

namespace vesk {
namespace {

// Bytes the loaded Network holds per node and per input channel. Strings
// longer than the small-string buffer are not counted, so this is a lower
// bound.
double network_bytes(std::int32_t n_nodes, std::int32_t n_inputs) {
    // tau, the metadata, the excitatory flag (a bit, counted as a byte) and
    // a row offset in each weight matrix.
    constexpr double per_node =
        sizeof(double) + sizeof(PopulationMetadata) + sizeof(bool) + 2 * sizeof(std::int32_t);
    constexpr double per_input =
        sizeof(std::string) + sizeof(std::int32_t) + sizeof(PopulationMetadata);
    return per_node * n_nodes + per_input * n_inputs;
}

// Bytes a run of the command line holds per node beside the network and the
// simulator's own arrays: the trace file's column name, the starting state,
// the row buffers of the background writer, the simulator's excitatory flag
// and the second rate buffer of a threaded run.
constexpr double run_bytes_per_node = sizeof(std::string) + sizeof(double) + 4 * sizeof(double) +
                                      sizeof(unsigned char) + sizeof(double);

// The process itself, whatever the model, as an address-space limit counts
// it: code, libraries and stream buffers, and the stack each thread reserves
// (the run's and the trace writer's). Some 28 MiB on two processors, measured.
double process_bytes() {
    constexpr double mib = 1024.0 * 1024.0;
    return 24 * mib + 8 * mib * (configured_threads() + 1);
}

}  // namespace

double memory_limit_bytes() {
    double limit = 0.0;
    const auto lower_to = [&limit](double bytes) {
        if (bytes > 0.0 && (limit == 0.0 || bytes < limit)) limit = bytes;
    };
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page_size > 0) {
        lower_to(static_cast<double>(pages) * static_cast<double>(page_size));
    }
    rlimit address_space{};
    if (getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY) {
        lower_to(static_cast<double>(address_space.rlim_cur));
    }
    // cgroup v2, then v1; "max" (no limit) does not read as a number.
    for (const char* file :
         {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
        std::ifstream in(file);
        double bytes = 0.0;
        if (in >> bytes) lower_to(bytes);
    }
    return limit;
}

void check_fits_in_memory(std::int32_t n_nodes, std::int32_t n_inputs) {
    const double needed = process_bytes() + network_bytes(n_nodes, n_inputs) +
                          Simulator::bytes_needed(n_nodes, n_inputs) + run_bytes_per_node * n_nodes;
    const double available = memory_limit_bytes();
    if (available <= 0.0 || needed <= available) return;
    constexpr double gib = 1024.0 * 1024.0 * 1024.0;
    char text[256];
    std::snprintf(text, sizeof text,
                  "Model too large for this machine: n_nodes=%d and n_inputs=%d need at least "
                  "%.1f GiB of memory, this machine has %.1f GiB",
                  static_cast<int>(n_nodes), static_cast<int>(n_inputs), needed / gib,
                  available / gib);
    throw std::runtime_error(text);
}

void check_bytes_fit_in_memory(double bytes, const char* what) {
    const double available = memory_limit_bytes();
    if (available <= 0.0 || bytes <= available) return;
    constexpr double gib = 1024.0 * 1024.0 * 1024.0;
    char text[256];
    std::snprintf(text, sizeof text, "%s need %.1f GiB of memory, this machine has %.1f GiB", what,
                  bytes / gib, available / gib);
    throw std::runtime_error(text);
}

}  // namespace vesk
