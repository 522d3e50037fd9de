// The functions of time that drive a network from outside, as the
// simulators take them: made by the stimulus readers, read by the run.
#pragma once

#include <functional>
#include <optional>

namespace vesk {

// Time in ms -> value.
using ActivationFunction = std::function<double(double)>;

// Time in ms -> the value a clamp holds its node at, or nothing when the
// node is free at that time. Unlike an ActivationFunction clamp, it can hold
// a node at 0.0.
using ClampFunction = std::function<std::optional<double>(double)>;

}  // namespace vesk
