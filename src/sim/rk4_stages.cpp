#include "sim/rk4_stages.hpp"

#if VESK_HAVE_FMA_PATH
#include <immintrin.h>
#endif

#include <cmath>

namespace vesk {
namespace {

// stage[j] = fma(c, k[j], y[j]) for j in [from, to).
[[gnu::always_inline]] inline void stage_state_scalar(std::size_t from, std::size_t to, double c,
                                                      const double* k, const double* y,
                                                      double* stage) {
    for (std::size_t j = from; j < to; ++j) stage[j] = std::fma(c, k[j], y[j]);
}

// y[j] += h/6 * (k1 + 2 k2 + 2 k3 + k4), summed left to right, j in [from, to).
[[gnu::always_inline]] inline void combine_stages_scalar(std::size_t from, std::size_t to,
                                                         double h_sixth, const double* k1,
                                                         const double* k2, const double* k3,
                                                         const double* k4, double* y) {
    for (std::size_t j = from; j < to; ++j) {
        double c = std::fma(k2[j], 2.0, k1[j]);
        c = std::fma(k3[j], 2.0, c);
        c = c + k4[j];
        y[j] = std::fma(h_sixth, c, y[j]);
    }
}

[[gnu::always_inline]] inline void add_doubled_scalar(std::size_t from, std::size_t to,
                                                      const double* k, double* acc) {
    for (std::size_t j = from; j < to; ++j) acc[j] = std::fma(k[j], 2.0, acc[j]);
}

[[gnu::always_inline]] inline void finish_step_scalar(std::size_t from, std::size_t to,
                                                      double h_sixth, const double* acc,
                                                      const double* k4, double* y) {
    for (std::size_t j = from; j < to; ++j) y[j] = std::fma(h_sixth, acc[j] + k4[j], y[j]);
}

}  // namespace

void add_doubled_baseline(std::size_t from, std::size_t to, const double* k, double* acc) {
    add_doubled_scalar(from, to, k, acc);
}

void finish_step_baseline(std::size_t from, std::size_t to, double h_sixth, const double* acc,
                          const double* k4, double* y) {
    finish_step_scalar(from, to, h_sixth, acc, k4, y);
}

void stage_state_baseline(std::size_t from, std::size_t to, double c, const double* k,
                          const double* y, double* stage) {
    stage_state_scalar(from, to, c, k, y, stage);
}

void combine_stages_baseline(std::size_t from, std::size_t to, double h_sixth, const double* k1,
                             const double* k2, const double* k3, const double* k4, double* y) {
    combine_stages_scalar(from, to, h_sixth, k1, k2, k3, k4, y);
}

#if VESK_HAVE_FMA_PATH
#define VESK_FMA_TARGET [[gnu::target("avx2,fma")]]

VESK_FMA_TARGET void stage_state_fma(std::size_t from, std::size_t to, double c, const double* k,
                                     const double* y, double* stage) {
    const __m256d cv = _mm256_set1_pd(c);
    std::size_t j = from;
    for (; j + 4 <= to; j += 4) {
        _mm256_storeu_pd(stage + j,
                         _mm256_fmadd_pd(cv, _mm256_loadu_pd(k + j), _mm256_loadu_pd(y + j)));
    }
    stage_state_scalar(j, to, c, k, y, stage);
}

VESK_FMA_TARGET void combine_stages_fma(std::size_t from, std::size_t to, double h_sixth,
                                        const double* k1, const double* k2, const double* k3,
                                        const double* k4, double* y) {
    const __m256d two = _mm256_set1_pd(2.0), sixth = _mm256_set1_pd(h_sixth);
    std::size_t j = from;
    for (; j + 4 <= to; j += 4) {
        __m256d c = _mm256_fmadd_pd(_mm256_loadu_pd(k2 + j), two, _mm256_loadu_pd(k1 + j));
        c = _mm256_fmadd_pd(_mm256_loadu_pd(k3 + j), two, c);
        c = _mm256_add_pd(c, _mm256_loadu_pd(k4 + j));
        _mm256_storeu_pd(y + j, _mm256_fmadd_pd(sixth, c, _mm256_loadu_pd(y + j)));
    }
    combine_stages_scalar(j, to, h_sixth, k1, k2, k3, k4, y);
}
VESK_FMA_TARGET void add_doubled_fma(std::size_t from, std::size_t to, const double* k,
                                     double* acc) {
    const __m256d two = _mm256_set1_pd(2.0);
    std::size_t j = from;
    for (; j + 4 <= to; j += 4) {
        _mm256_storeu_pd(acc + j,
                         _mm256_fmadd_pd(_mm256_loadu_pd(k + j), two, _mm256_loadu_pd(acc + j)));
    }
    add_doubled_scalar(j, to, k, acc);
}

VESK_FMA_TARGET void finish_step_fma(std::size_t from, std::size_t to, double h_sixth,
                                     const double* acc, const double* k4, double* y) {
    const __m256d sixth = _mm256_set1_pd(h_sixth);
    std::size_t j = from;
    for (; j + 4 <= to; j += 4) {
        const __m256d c = _mm256_add_pd(_mm256_loadu_pd(acc + j), _mm256_loadu_pd(k4 + j));
        _mm256_storeu_pd(y + j, _mm256_fmadd_pd(sixth, c, _mm256_loadu_pd(y + j)));
    }
    finish_step_scalar(j, to, h_sixth, acc, k4, y);
}
#undef VESK_FMA_TARGET
#endif

}  // namespace vesk
