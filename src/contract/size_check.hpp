// The loaders' question about a model's sizes, asked before they allocate
// anything of that size.
#pragma once

#include <cstdint>
#include <functional>

namespace vesk {

// Refuses a model by its sizes by throwing std::runtime_error with the
// user-facing message (the memory budget of a run is one such check).
using SizeCheck = std::function<void(std::int32_t n_nodes, std::int32_t n_inputs)>;

}  // namespace vesk
