// A sparse weight matrix regrouped for the simulator's products on the fma
// path.
#pragma once

#include <cstddef>
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
// still folds its entries in stored order into its own running value, so
// how the rows are grouped into slices never changes a result.
class SlicedMatrix {
  public:
    static constexpr std::int32_t slice_rows = 128;

    SlicedMatrix() = default;
    // Slices take up to slice_rows rows with entries, in row order, and
    // never straddle one of the ascending `breaks` (rows that begin a new
    // slice), so that the rows on either side of a break can be folded by
    // different threads.
    explicit SlicedMatrix(const SparseMatrix& m, const std::vector<std::int32_t>& breaks = {});

    std::int32_t slices() const { return static_cast<std::int32_t>(slice_lane.size()) - 1; }
    // The first slice whose rows are all at or after `row` (slices() when
    // none is); for a break or 0 or `rows`, slices before it hold only
    // earlier rows.
    std::int32_t first_slice_from(std::int32_t row) const;

    // As SparseMatrix::multiply_add of the matrix this was built from; x and
    // y must be different vectors. Checks nothing, allocates nothing.
    void multiply_add(const std::vector<double>& x, std::vector<double>& y) const;
    // The same for the slices [from, to) only, on x and y of at least
    // `cols` and `rows` values.
    void multiply_add_slices(const double* x, double* y, std::int32_t from, std::int32_t to) const;

    // Slice s as a product folds it: its rows with entries, lane_row[0 ..
    // lanes), longest first; step k takes the next entry (col, val) of each
    // of the first step_width[k] of them, steps k = 0 .. steps - 1.
    struct Slice {
        std::int32_t lanes;
        const std::int32_t* lane_row;
        std::int32_t steps;
        const std::int32_t* step_width;
        const std::int32_t* col;
        const double* val;
    };
    Slice slice(std::int32_t s) const {
        const auto at = static_cast<std::size_t>(s);
        return {slice_lane[at + 1] - slice_lane[at],   lane_row.data() + slice_lane[at],
                slice_steps[at + 1] - slice_steps[at], step_width.data() + slice_steps[at],
                col_idx.data() + slice_begin[at],      values.data() + slice_begin[at]};
    }

  private:
    std::int32_t rows = 0;
    std::vector<std::int32_t> lane_row;         // rows with entries, slice by slice, longest first
    std::vector<std::int32_t> slice_lane;       // per slice + 1: first entry of lane_row
    std::vector<std::int32_t> slice_first_row;  // per slice: its smallest row
    std::vector<std::int32_t> slice_steps;      // per slice + 1: first entry of step_width
    std::vector<std::int32_t> step_width;   // per slice and step k: rows with more than k entries
    std::vector<std::int32_t> slice_begin;  // per slice + 1: first entry of col_idx / values
    std::vector<std::int32_t> col_idx;
    std::vector<double> values;
};

}  // namespace vesk
