#include "model/sparse_matrix.hpp"

#if VESK_HAVE_FMA_PATH
#include <immintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

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

// Folds each row of a CSR matrix into y[row], one stored entry at a time in
// stored order, starting from the current y[row]. A single row is a chain
// of dependent fmas, so `Lanes` rows are folded side by side: each lane holds
// one row, and a lane whose row is done stores it and takes the next row not
// yet started. Rows without entries are skipped (y stays as it is).
template <int Lanes>
[[gnu::always_inline]] inline void fold_rows(std::int32_t rows, const std::int32_t* row_ptr,
                                             const std::int32_t* col_idx, const double* values,
                                             const double* x, double* y) {
    const double* val[Lanes];
    const std::int32_t* col[Lanes];
    std::int32_t left[Lanes];  // entries of the lane's row still to fold
    std::int32_t row[Lanes];
    double sum[Lanes];

    std::int32_t next = 0;
    // Next row with entries, or `rows` when none is left.
    auto advance = [&]() {
        while (next < rows && row_ptr[next + 1] == row_ptr[next]) ++next;
        return next < rows ? next++ : rows;
    };
    auto start = [&](int lane, std::int32_t r) {
        row[lane] = r;
        val[lane] = values + row_ptr[r];
        col[lane] = col_idx + row_ptr[r];
        left[lane] = row_ptr[r + 1] - row_ptr[r];
        sum[lane] = y[r];
    };

    int busy = 0;  // lanes 0 .. busy-1 hold a row
    for (; busy < Lanes; ++busy) {
        const std::int32_t r = advance();
        if (r == rows) break;
        start(busy, r);
    }
    if (busy == Lanes) {
        for (;;) {
            std::int32_t run = left[0];
            for (int l = 1; l < Lanes; ++l) run = std::min(run, left[l]);
            for (std::int32_t k = 0; k < run; ++k) {
                for (int l = 0; l < Lanes; ++l) {
                    sum[l] = std::fma(val[l][k], x[col[l][k]], sum[l]);
                }
            }
            bool drained = false;
            for (int l = 0; l < Lanes; ++l) {
                val[l] += run;
                col[l] += run;
                left[l] -= run;
                if (left[l] == 0) {
                    y[row[l]] = sum[l];
                    const std::int32_t r = advance();
                    if (r == rows) {
                        drained = true;
                    } else {
                        start(l, r);
                    }
                }
            }
            if (drained) break;
        }
    }
    // Out of fresh rows: finish whatever the lanes still hold, one by one.
    for (int l = 0; l < Lanes; ++l) {
        if (l >= busy || left[l] == 0) continue;
        double s = sum[l];
        for (std::int32_t k = 0; k < left[l]; ++k) s = std::fma(val[l][k], x[col[l][k]], s);
        y[row[l]] = s;
    }
}

#if VESK_HAVE_FMA_PATH
[[gnu::target("avx2,fma")]] void fold_rows_fma(std::int32_t rows, const std::int32_t* row_ptr,
                                               const std::int32_t* col_idx, const double* values,
                                               const double* x, double* y) {
    fold_rows<4>(rows, row_ptr, col_idx, values, x, y);
}
#endif

// With fma a library call, a running sum stays in a register only while its
// own row is folded: lanes side by side would store and reload every other
// lane's sum around each call, which costs more than the chain they break.
void fold_rows_baseline(std::int32_t rows, const std::int32_t* row_ptr, const std::int32_t* col_idx,
                        const double* values, const double* x, double* y) {
    fold_rows<1>(rows, row_ptr, col_idx, values, x, y);
}

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

void fold_slices_baseline(const SlicedMatrix& m, const double* x, double* y) {
    const std::int32_t slices = static_cast<std::int32_t>(m.slice_begin.size()) - 1;
    for (std::int32_t s = 0; s < slices; ++s) {
        const std::int32_t first = s * SlicedMatrix::slice_rows;
        const std::int32_t lanes = std::min(SlicedMatrix::slice_rows,
                                            static_cast<std::int32_t>(m.lane_row.size()) - first);
        fold_slice(lanes, m.lane_row.data() + first, m.slice_steps[s + 1] - m.slice_steps[s],
                   m.step_width.data() + m.slice_steps[s], m.col_idx.data() + m.slice_begin[s],
                   m.values.data() + m.slice_begin[s], x, y);
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
[[gnu::target("avx2,fma")]] void fold_slices_fma(const SlicedMatrix& m, const double* x,
                                                 double* y) {
    const std::int32_t slices = static_cast<std::int32_t>(m.slice_begin.size()) - 1;
    double sum[SlicedMatrix::slice_rows];
    for (std::int32_t s = 0; s < slices; ++s) {
        const std::int32_t first = s * SlicedMatrix::slice_rows;
        const std::int32_t lanes = std::min(SlicedMatrix::slice_rows,
                                            static_cast<std::int32_t>(m.lane_row.size()) - first);
        const std::int32_t* lane_row = m.lane_row.data() + first;
        const std::int32_t* step_width = m.step_width.data() + m.slice_steps[s];
        const std::int32_t steps = m.slice_steps[s + 1] - m.slice_steps[s];
        const std::int32_t* col = m.col_idx.data() + m.slice_begin[s];
        const double* val = m.values.data() + m.slice_begin[s];

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

SparseMatrix::SparseMatrix(int n_rows, int n_cols)
    : rows(n_rows), cols(n_cols), row_ptr(static_cast<std::size_t>(std::max(n_rows, 0)) + 1, 0) {}

void SparseMatrix::build_from_triplets(int n_rows, const std::vector<Triplet>& triplets) {
    // Entry positions are 32-bit: more entries would overflow row_ptr.
    if (triplets.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw std::runtime_error("Too many weights for one matrix: " +
                                 std::to_string(triplets.size()) + " (at most 2147483647)");
    }
    std::vector<Triplet> sorted = triplets;
    // Stable, so duplicates keep the order the loader met them in and the
    // result does not depend on the standard library's sort.
    std::stable_sort(sorted.begin(), sorted.end(), [](const Triplet& a, const Triplet& b) {
        return a.row < b.row || (a.row == b.row && a.col < b.col);
    });

    const std::size_t n = static_cast<std::size_t>(std::max(n_rows, 0));
    row_ptr.assign(n + 1, 0);
    col_idx.assign(sorted.size(), 0);
    values.assign(sorted.size(), 0.0);

    for (const Triplet& t : sorted) {
        if (t.row < 0 || t.row >= n_rows) {
            throw std::runtime_error("Triplet row out of bounds while building CSR");
        }
        ++row_ptr[static_cast<std::size_t>(t.row) + 1];
    }
    for (std::size_t i = 1; i <= n; ++i) row_ptr[i] += row_ptr[i - 1];

    std::vector<std::int32_t> next(row_ptr.begin(), row_ptr.end() - 1);
    for (const Triplet& t : sorted) {
        const auto pos = static_cast<std::size_t>(next[static_cast<std::size_t>(t.row)]++);
        col_idx[pos] = t.col;
        values[pos] = t.value;
    }
}

std::vector<double> SparseMatrix::multiply(const std::vector<double>& x) const {
    if (x.size() != static_cast<std::size_t>(std::max(cols, 0)) || cols < 0) {
        throw std::invalid_argument("Dimension mismatch in sparse matrix multiply");
    }
    std::vector<double> y(static_cast<std::size_t>(std::max(rows, 0)), 0.0);
    multiply_add(x, y);
    return y;
}

void SparseMatrix::multiply_add(const std::vector<double>& x, std::vector<double>& y) const {
    if (rows < 1) return;
    if (&x == &y) {
        // In place, a later row reads the values that earlier rows wrote, so
        // the rows must go strictly one after another.
        fold_rows_baseline(rows, row_ptr.data(), col_idx.data(), values.data(), x.data(), y.data());
        return;
    }
#if VESK_HAVE_FMA_PATH
    if (kernel_path() == KernelPath::fma) {
        fold_rows_fma(rows, row_ptr.data(), col_idx.data(), values.data(), x.data(), y.data());
        return;
    }
#endif
    fold_rows_baseline(rows, row_ptr.data(), col_idx.data(), values.data(), x.data(), y.data());
}

double SparseMatrix::get(int row, int col) const {
    for (std::int32_t k = row_ptr[static_cast<std::size_t>(row)];
         k < row_ptr[static_cast<std::size_t>(row) + 1]; ++k) {
        if (col_idx[static_cast<std::size_t>(k)] == col) return values[static_cast<std::size_t>(k)];
    }
    return 0.0;
}

SlicedMatrix::SlicedMatrix(const SparseMatrix& m) : rows(std::max(m.rows, 0)) {
    const auto length = [&m](std::int32_t row) {
        const auto r = static_cast<std::size_t>(row);
        return m.row_ptr[r + 1] - m.row_ptr[r];
    };
    const auto entries = static_cast<std::size_t>(m.row_ptr[static_cast<std::size_t>(rows)]);
    col_idx.reserve(entries);
    values.reserve(entries);
    // Rows without entries leave y as it is, so they get no lane.
    for (std::int32_t r = 0; r < rows; ++r) {
        if (length(r) > 0) lane_row.push_back(r);
    }
    const auto lanes_total = static_cast<std::int32_t>(lane_row.size());
    slice_steps.push_back(0);
    slice_begin.push_back(0);
    for (std::int32_t first = 0; first < lanes_total; first += slice_rows) {
        const std::int32_t lanes = std::min(slice_rows, lanes_total - first);
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
                    static_cast<std::size_t>(m.row_ptr[static_cast<std::size_t>(slice[r])] + k);
                col_idx.push_back(m.col_idx[at]);
                values.push_back(m.values[at]);
            }
        }
        slice_steps.push_back(static_cast<std::int32_t>(step_width.size()));
        slice_begin.push_back(static_cast<std::int32_t>(values.size()));
    }
}

void SlicedMatrix::multiply_add(const std::vector<double>& x, std::vector<double>& y) const {
#if VESK_HAVE_FMA_PATH
    if (kernel_path() == KernelPath::fma) {
        fold_slices_fma(*this, x.data(), y.data());
        return;
    }
#endif
    fold_slices_baseline(*this, x.data(), y.data());
}

}  // namespace vesk
