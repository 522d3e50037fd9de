#include "run/memory_budget.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

#include "model/network.hpp"
#include "sim/simulator.hpp"

namespace vesk {
namespace {

// Bytes the loaded Network holds per node and per input channel. Strings
// longer than the small-string buffer are not counted, so this is a lower
// bound.
double network_bytes(std::int32_t n_nodes, std::int32_t n_inputs) {
    constexpr double per_node = sizeof(double) + sizeof(PopulationMetadata) + sizeof(std::int32_t);
    constexpr double per_input =
        sizeof(std::string) + sizeof(std::int32_t) + sizeof(PopulationMetadata);
    return per_node * n_nodes + per_input * n_inputs;
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
    const double needed =
        network_bytes(n_nodes, n_inputs) + Simulator::bytes_needed(n_nodes, n_inputs);
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
