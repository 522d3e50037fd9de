#include "sim/kernel_path.hpp"

#include <atomic>

namespace vesk {
namespace {

KernelPath detect_kernel_path() {
#if VESK_HAVE_FMA_PATH
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return KernelPath::fma;
#endif
    return KernelPath::baseline;
}

std::atomic<KernelPath>& active_kernel_path() {
    static std::atomic<KernelPath> path{default_kernel_path()};
    return path;
}

}  // namespace

KernelPath default_kernel_path() {
    static const KernelPath best = detect_kernel_path();
    return best;
}

KernelPath kernel_path() {
    return active_kernel_path().load(std::memory_order_relaxed);
}

KernelPath set_kernel_path(KernelPath path) {
    if (path == KernelPath::fma && default_kernel_path() != KernelPath::fma) {
        path = KernelPath::baseline;
    }
    active_kernel_path().store(path, std::memory_order_relaxed);
    return path;
}

}  // namespace vesk
