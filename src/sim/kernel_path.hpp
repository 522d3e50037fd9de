// The choice between the two builds of the simulator's hot loops.
#pragma once

// The fused multiply-add build of the hot loops needs x86 function
// multi-versioning; elsewhere only the baseline build exists.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VESK_HAVE_FMA_PATH 1
#else
#define VESK_HAVE_FMA_PATH 0
#endif

namespace vesk {

// The hot loops of the simulator and of its sparse products exist in two
// builds that give the same bits: `fma` uses the processor's fused
// multiply-add instruction (and AVX2), `baseline` runs on any x86-64, where
// every fma is the C library's function. On aarch64, which has only
// `baseline`, every fma is the processor's own instruction, rounded once like
// the others. The best one the processor supports is chosen once, at first use.
enum class KernelPath { baseline, fma };

// The best path this processor supports.
KernelPath default_kernel_path();
// The path in use.
KernelPath kernel_path();
// Switches the path for all later calls (tests and benchmarks run both); a
// request for `fma` on a processor without it selects `baseline`. Returns
// the path now in use. Not to be called while a product or a run is under way.
KernelPath set_kernel_path(KernelPath path);

}  // namespace vesk
