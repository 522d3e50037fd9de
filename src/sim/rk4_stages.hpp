// The element-wise loops of a classic RK4 step that do not depend on the
// model: building a stage state and combining the four slopes. The single
// and the batch simulator share them; each exists as a plain scalar loop
// (the baseline path) and as AVX2 code with the scalar loop for the rest
// (the fma path), which give the same bits.
#pragma once

#include <cstddef>

#include "sim/kernel_path.hpp"

namespace vesk {

// stage[j] = fma(c, k[j], y[j]) for j in [from, to).
void stage_state_baseline(std::size_t from, std::size_t to, double c, const double* k,
                          const double* y, double* stage);

// y[j] = fma(h_sixth, c_j, y[j]) with c_j = ((k1 + 2 k2) + 2 k3) + k4 summed
// left to right, the doubled terms each by one fma, for j in [from, to).
void combine_stages_baseline(std::size_t from, std::size_t to, double h_sixth, const double* k1,
                             const double* k2, const double* k3, const double* k4, double* y);

// The same combination built up stage by stage, for runs that keep one
// running sum instead of four slopes: acc[j] = fma(k[j], 2.0, acc[j]) after
// the second and third stage (acc starting as k1), then y[j] =
// fma(h_sixth, acc[j] + k4[j], y[j]); the same bits as combine_stages.
void add_doubled_baseline(std::size_t from, std::size_t to, const double* k, double* acc);
void finish_step_baseline(std::size_t from, std::size_t to, double h_sixth, const double* acc,
                          const double* k4, double* y);

#if VESK_HAVE_FMA_PATH
// The same with AVX2 and FMA; only where default_kernel_path() is
// KernelPath::fma.
void stage_state_fma(std::size_t from, std::size_t to, double c, const double* k, const double* y,
                     double* stage);
void combine_stages_fma(std::size_t from, std::size_t to, double h_sixth, const double* k1,
                        const double* k2, const double* k3, const double* k4, double* y);
void add_doubled_fma(std::size_t from, std::size_t to, const double* k, double* acc);
void finish_step_fma(std::size_t from, std::size_t to, double h_sixth, const double* acc,
                     const double* k4, double* y);
#endif

}  // namespace vesk
