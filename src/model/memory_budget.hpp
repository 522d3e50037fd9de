// Whether a model of a given size can run in the memory this process may
// use, asked before the loader allocates anything for it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk {

// The memory this process may use, in bytes: the machine's memory, or less
// when an address-space limit or the memory limit of its control group (a
// container's) is lower. 0 when nothing is known.
double memory_limit_bytes();

// Throws std::runtime_error when the loaded record and the simulator of a
// model with these sizes cannot fit in memory_limit_bytes(). Otherwise the
// arrays would either fail with a bare allocation error or, with
// overcommit, get the process killed while they are filled.
void check_fits_in_memory(std::int32_t n_nodes, std::int32_t n_inputs);

// Throws std::runtime_error when the loaded record, a batch simulator of
// `lanes` runs of it and the `kept_bytes` of samples those runs keep cannot
// fit in memory_limit_bytes(), before any of it is allocated.
void check_batch_fits_in_memory(std::int32_t n_nodes, std::int32_t n_inputs, std::size_t lanes,
                                double kept_bytes);

}  // namespace vesk
