#include "model/sparse_matrix.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace vesk {

SparseMatrix::SparseMatrix(int n_rows, int n_cols)
    : rows_(n_rows),
      cols_(n_cols),
      row_ptr_(static_cast<std::size_t>(std::max(n_rows, 0)) + 1, 0) {}

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
    row_ptr_.assign(n + 1, 0);
    col_idx_.assign(sorted.size(), 0);
    values_.assign(sorted.size(), 0.0);

    for (const Triplet& t : sorted) {
        if (t.row < 0 || t.row >= n_rows) {
            throw std::runtime_error("Triplet row out of bounds while building CSR");
        }
        ++row_ptr_[static_cast<std::size_t>(t.row) + 1];
    }
    for (std::size_t i = 1; i <= n; ++i) row_ptr_[i] += row_ptr_[i - 1];

    std::vector<std::int32_t> next(row_ptr_.begin(), row_ptr_.end() - 1);
    for (const Triplet& t : sorted) {
        const auto pos = static_cast<std::size_t>(next[static_cast<std::size_t>(t.row)]++);
        col_idx_[pos] = t.col;
        values_[pos] = t.value;
    }
}

std::vector<double> SparseMatrix::multiply(const std::vector<double>& x) const {
    if (x.size() != static_cast<std::size_t>(std::max(cols_, 0)) || cols_ < 0) {
        throw std::invalid_argument("Dimension mismatch in sparse matrix multiply");
    }
    std::vector<double> y(static_cast<std::size_t>(std::max(rows_, 0)), 0.0);
    multiply_add(x, y);
    return y;
}

void SparseMatrix::multiply_add(const std::vector<double>& x, std::vector<double>& y) const {
    multiply_add_rows(x, y, 0, rows_);
}

void SparseMatrix::multiply_add_rows(const std::vector<double>& x, std::vector<double>& y,
                                     std::int32_t from, std::int32_t to) const {
    // Row by row, so that with x and y the same vector a later row reads the
    // values that earlier rows wrote.
    const double* xs = x.data();
    double* ys = y.data();
    for (std::int32_t r = from; r < to; ++r) {
        const auto begin = static_cast<std::size_t>(row_ptr_[static_cast<std::size_t>(r)]);
        const auto end = static_cast<std::size_t>(row_ptr_[static_cast<std::size_t>(r) + 1]);
        if (begin == end) continue;
        double s = ys[r];
        for (std::size_t k = begin; k < end; ++k) {
            s = std::fma(values_[k], xs[static_cast<std::size_t>(col_idx_[k])], s);
        }
        ys[r] = s;
    }
}

double SparseMatrix::get(int row, int col) const {
    for (std::int32_t k = row_ptr_[static_cast<std::size_t>(row)];
         k < row_ptr_[static_cast<std::size_t>(row) + 1]; ++k) {
        if (col_idx_[static_cast<std::size_t>(k)] == col)
            return values_[static_cast<std::size_t>(k)];
    }
    return 0.0;
}

}  // namespace vesk
