// Whether a model of a given size, or what a run keeps, fits in the memory
// this process may use, asked before anything is allocated for it.
#pragma once

#include <cstdint>

namespace vesk {

// The memory this process may use, in bytes: the machine's memory, or less
// when an address-space limit or the memory limit of its control group (a
// container's) is lower. 0 when nothing is known.
double memory_limit_bytes();

// Throws std::runtime_error when a run of a model with these sizes (the
// loaded record, the simulator, the trace writer and the process itself)
// cannot fit in memory_limit_bytes(). Otherwise the
// arrays would either fail with a bare allocation error or, with
// overcommit, get the process killed while they are filled.
void check_fits_in_memory(std::int32_t n_nodes, std::int32_t n_inputs);

// Throws std::runtime_error "<what> need <x> GiB of memory, this machine has
// <y> GiB" when `bytes` more cannot fit in memory_limit_bytes().
void check_bytes_fit_in_memory(double bytes, const char* what);

}  // namespace vesk
