#include "sim/sliced_matrix.hpp"

#include "sim/kernel_path.hpp"

#if VESK_HAVE_FMA_PATH
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>

namespace vesk {
namespace {

// One slice of a SlicedMatrix: the rows `lane_row[0 .. lanes)` fold their
// entries step by step; step k covers the first step_width[k] of them.
[[gnu::always_inline]] inline void fold_slice(std::int32_t lanes, const std::int32_t* lane_row,
                                              std::int32_t steps, const std::int32_t* step_width,
                                              const std::int32_t* col, const double* val,
                                              const double* x, double* y) {
    double sum[SlicedMatrix::slice_rows];
    for (std::int32_t r = 0; r < lanes; ++r) sum[r] = y[lane_row[r]];
    for (std::int32_t k = 0; k < steps; ++k) {
        const std::int32_t width = step_width[k];
        for (std::int32_t r = 0; r < width; ++r) sum[r] = std::fma(val[r], x[col[r]], sum[r]);
        val += width;
        col += width;
    }
    for (std::int32_t r = 0; r < lanes; ++r) y[lane_row[r]] = sum[r];
}

void fold_slices_baseline(const SlicedMatrix& m, std::int32_t from, std::int32_t to,
                          const double* x, double* y) {
    for (std::int32_t s = from; s < to; ++s) {
        const SlicedMatrix::Slice v = m.slice(s);
        fold_slice(v.lanes, v.lane_row, v.steps, v.step_width, v.col, v.val, x, y);
    }
}

#if VESK_HAVE_FMA_PATH
// x[col[0]] .. x[col[3]] as one vector. The four column indices come in one
// load; the x values are loaded one by one and paired up, which this
// generation of processors does faster than a gather instruction.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256d load_x4(const double* x,
                                                                       const std::int32_t* col) {
    // Column indices are never negative, so they extend as unsigned.
    const __m128i c4 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(col));
    const auto c01 = static_cast<std::uint64_t>(_mm_cvtsi128_si64(c4));
    const auto c23 = static_cast<std::uint64_t>(_mm_extract_epi64(c4, 1));
    const __m128d lo =
        _mm_loadh_pd(_mm_load_sd(x + static_cast<std::uint32_t>(c01)), x + (c01 >> 32));
    const __m128d hi =
        _mm_loadh_pd(_mm_load_sd(x + static_cast<std::uint32_t>(c23)), x + (c23 >> 32));
    return _mm256_insertf128_pd(_mm256_castpd128_pd256(lo), hi, 1);
}

// One step for the lanes [from, to): sum[r] = fma(val[r], x[col[r]], sum[r]).
[[gnu::target("avx2,fma"), gnu::always_inline]] inline void fold_step(
    double* sum, std::int32_t from, std::int32_t to, const double* val, const std::int32_t* col,
    const double* x) {
    std::int32_t r = from;
    for (; r + 4 <= to; r += 4) {
        _mm256_storeu_pd(sum + r, _mm256_fmadd_pd(_mm256_loadu_pd(val + r), load_x4(x, col + r),
                                                  _mm256_loadu_pd(sum + r)));
    }
    for (; r < to; ++r) sum[r] = std::fma(val[r], x[col[r]], sum[r]);
}

// fold_slice with four lanes per AVX2 fma.
[[gnu::target("avx2,fma")]] void fold_slices_fma(const SlicedMatrix& m, std::int32_t from,
                                                 std::int32_t to, const double* x, double* y) {
    double sum[SlicedMatrix::slice_rows];
    for (std::int32_t s = from; s < to; ++s) {
        const SlicedMatrix::Slice v = m.slice(s);
        const std::int32_t lanes = v.lanes;
        const std::int32_t* lane_row = v.lane_row;
        const std::int32_t* step_width = v.step_width;
        const std::int32_t steps = v.steps;
        const std::int32_t* col = v.col;
        const double* val = v.val;

        for (std::int32_t r = 0; r < lanes; ++r) sum[r] = y[lane_row[r]];
        for (std::int32_t k = 0; k < steps; ++k) {
            const std::int32_t width = step_width[k];
            fold_step(sum, 0, width, val, col, x);
            val += width;
            col += width;
        }
        for (std::int32_t r = 0; r < lanes; ++r) y[lane_row[r]] = sum[r];
    }
}
#endif

}  // namespace

SlicedMatrix::SlicedMatrix(const SparseMatrix& m, const std::vector<std::int32_t>& breaks)
    : rows(std::max(m.rows(), 0)) {
    const auto length = [&m](std::int32_t row) {
        const auto r = static_cast<std::size_t>(row);
        return m.row_ptr()[r + 1] - m.row_ptr()[r];
    };
    const auto entries = static_cast<std::size_t>(m.row_ptr()[static_cast<std::size_t>(rows)]);
    col_idx.reserve(entries);
    values.reserve(entries);
    // Rows without entries leave y as it is, so they get no lane.
    for (std::int32_t r = 0; r < rows; ++r) {
        if (length(r) > 0) lane_row.push_back(r);
    }
    const auto lanes_total = static_cast<std::int32_t>(lane_row.size());
    slice_lane.push_back(0);
    slice_steps.push_back(0);
    slice_begin.push_back(0);
    auto next_break = breaks.begin();
    for (std::int32_t first = 0; first < lanes_total;) {
        // A slice ends after slice_rows lanes or before the next break row.
        while (next_break != breaks.end() && *next_break <= lane_row[first]) ++next_break;
        std::int32_t lanes = std::min(slice_rows, lanes_total - first);
        if (next_break != breaks.end()) {
            lanes = static_cast<std::int32_t>(std::lower_bound(lane_row.begin() + first,
                                                               lane_row.begin() + first + lanes,
                                                               *next_break) -
                                              (lane_row.begin() + first));
        }
        slice_first_row.push_back(lane_row[first]);
        std::int32_t* slice = lane_row.data() + first;
        std::stable_sort(slice, slice + lanes,
                         [&](std::int32_t a, std::int32_t b) { return length(a) > length(b); });
        std::int32_t width = lanes;
        for (std::int32_t k = 0;; ++k) {
            while (width > 0 && length(slice[width - 1]) <= k) --width;
            if (width == 0) break;
            step_width.push_back(width);
            for (std::int32_t r = 0; r < width; ++r) {
                const auto at =
                    static_cast<std::size_t>(m.row_ptr()[static_cast<std::size_t>(slice[r])] + k);
                col_idx.push_back(m.col_idx()[at]);
                values.push_back(m.values()[at]);
            }
        }
        slice_steps.push_back(static_cast<std::int32_t>(step_width.size()));
        slice_begin.push_back(static_cast<std::int32_t>(values.size()));
        first += lanes;
        slice_lane.push_back(first);
    }
}

std::int32_t SlicedMatrix::first_slice_from(std::int32_t row) const {
    return static_cast<std::int32_t>(
        std::lower_bound(slice_first_row.begin(), slice_first_row.end(), row) -
        slice_first_row.begin());
}

void SlicedMatrix::multiply_add(const std::vector<double>& x, std::vector<double>& y) const {
    multiply_add_slices(x.data(), y.data(), 0, slices());
}

void SlicedMatrix::multiply_add_slices(const double* x, double* y, std::int32_t from,
                                       std::int32_t to) const {
#if VESK_HAVE_FMA_PATH
    if (kernel_path() == KernelPath::fma) {
        fold_slices_fma(*this, from, to, x, y);
        return;
    }
#endif
    fold_slices_baseline(*this, from, to, x, y);
}

}  // namespace vesk
