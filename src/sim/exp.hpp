// The exponential function of the simulator: the same bits on every x86-64
// processor and on aarch64, whichever exp the C library would pick.
#pragma once

#include <cstddef>

#include "sim/kernel_path.hpp"

namespace vesk {

// e^x, correctly rounded in all but rare cases (error below 0.51 ulp), and
// bit for bit the result of the C library's exp of glibc 2.28 and later as
// built for processors with fused multiply-add. Overflow gives +inf,
// underflow a subnormal or +0; NaN stays NaN, exp(-inf) = +0. Sets neither
// errno nor floating-point exception flags on purpose.
// Runs on the kernel path in use (kernel_path()); both give the same bits.
double exp(double x);

// The same function with every fused multiply-add done by std::fma, which is
// correctly rounded: the C library's function on x86-64, the processor's
// instruction on aarch64. Runs on any processor.
double exp_baseline(double x);

// v[j] = exp(v[j]) for j in [0, len), on the kernel path in use.
void exp_in_place(double* v, std::size_t len);

// v[j] = exp_baseline(v[j]) for j in [0, len).
void exp_in_place_baseline(double* v, std::size_t len);

#if VESK_HAVE_FMA_PATH
// The same function with the processor's fused multiply-add; only where
// default_kernel_path() is KernelPath::fma.
double exp_fma(double x);

// v[j] = exp(v[j]) for j in [0, len), four at a time with AVX2 and FMA; only
// where default_kernel_path() is KernelPath::fma.
void exp_in_place_fma(double* v, std::size_t len);
#endif

}  // namespace vesk
