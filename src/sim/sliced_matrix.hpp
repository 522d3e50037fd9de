// A sparse weight matrix regrouped for the simulator's products on the fma
// path.
#pragma once

#include <cstdint>
#include <vector>

#include "model/sparse_matrix.hpp"

namespace vesk {

// A copy of a SparseMatrix's rows laid out for products that are limited by
// memory access rather than arithmetic. The rows that have entries are taken
// in slices of `slice_rows`, in row order; within a slice they are ordered by
// decreasing length, and step k stores the k-th entry of every row of the
// slice that has one, side by side. A product then reads the matrix front to
// back while the slice's rows advance in lockstep, so their column indices,
// which ascend within each row, sweep x together and mostly hit the cache.
//
// multiply_add gives the same bits as SparseMatrix::multiply_add: every row
// still folds its entries in stored order into its own running value.
class SlicedMatrix {
  public:
    static constexpr std::int32_t slice_rows = 128;

    std::int32_t rows = 0;
    std::vector<std::int32_t> lane_row;     // rows with entries, slice by slice, longest first
    std::vector<std::int32_t> slice_steps;  // per slice + 1: first entry of step_width
    std::vector<std::int32_t> step_width;   // per slice and step k: rows with more than k entries
    std::vector<std::int32_t> slice_begin;  // per slice + 1: first entry of col_idx / values
    std::vector<std::int32_t> col_idx;
    std::vector<double> values;

    SlicedMatrix() = default;
    explicit SlicedMatrix(const SparseMatrix& m);

    // As SparseMatrix::multiply_add of the matrix this was built from; x and
    // y must be different vectors. Checks nothing, allocates nothing.
    void multiply_add(const std::vector<double>& x, std::vector<double>& y) const;
};

}  // namespace vesk
