// Compressed-sparse-row matrix of doubles, built once from triplets and
// read-only afterwards.
#pragma once

#include <cstdint>
#include <vector>

namespace vesk {

// One weight before the matrix is built.
struct Triplet {
    std::int32_t row = 0;  // receiving node
    std::int32_t col = 0;  // source node or input
    double value = 0.0;
};

class SparseMatrix {
  public:
    SparseMatrix() : row_ptr_(1, 0) {}
    // An empty matrix of the given shape (row_ptr all zero).
    SparseMatrix(int n_rows, int n_cols);

    std::int32_t rows() const { return rows_; }
    std::int32_t cols() const { return cols_; }
    // Row r holds the stored entries [row_ptr()[r], row_ptr()[r + 1]).
    const std::vector<std::int32_t>& row_ptr() const { return row_ptr_; }
    const std::vector<std::int32_t>& col_idx() const { return col_idx_; }
    const std::vector<double>& values() const { return values_; }

    // Replaces the stored entries by the triplets sorted by (row, col);
    // duplicate (row, col) pairs are kept as separate, adjacent entries.
    // Columns are not checked here. Throws std::runtime_error for a row
    // outside [0, n_rows) or too many triplets; all are tested before any
    // is placed.
    void build_from_triplets(int n_rows, const std::vector<Triplet>& triplets);

    // The product with x, accumulated exactly as multiply_add on zeros.
    // Throws std::invalid_argument when x.size() != cols.
    std::vector<double> multiply(const std::vector<double>& x) const;

    // y[i] += sum over row i of values()[k] * x[col_idx()[k]], folded into the
    // running y[i] one stored entry at a time with one fused multiply-add
    // each, in stored order, one row after another (so x and y may be the
    // same vector). Checks nothing, allocates nothing.
    void multiply_add(const std::vector<double>& x, std::vector<double>& y) const;

    // multiply_add for the rows [from, to) only: rows outside keep their y
    // untouched, so threads may fold disjoint row ranges of one product at
    // once (with x and y different vectors).
    void multiply_add_rows(const std::vector<double>& x, std::vector<double>& y, std::int32_t from,
                           std::int32_t to) const;

    // The first stored value at (row, col) or 0.0; row must be in range.
    double get(int row, int col) const;

  private:
    std::int32_t rows_ = 0;
    std::int32_t cols_ = 0;
    std::vector<std::int32_t> row_ptr_;  // rows + 1 entries
    std::vector<std::int32_t> col_idx_;  // one per stored entry
    std::vector<double> values_;         // one per stored entry
};

}  // namespace vesk
