// Compressed-sparse-row matrix of doubles, built once from triplets and
// read-only afterwards; and the same rows regrouped for fast products.
#pragma once

#include <cstdint>
#include <vector>

// The fused multiply-add build of the hot loops needs x86 function
// multi-versioning; elsewhere only the baseline build exists.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VESK_HAVE_FMA_PATH 1
#else
#define VESK_HAVE_FMA_PATH 0
#endif

namespace vesk {

// The hot loops of the sparse products and of the simulator exist in two
// builds that give the same bits: `fma` uses the processor's fused
// multiply-add instruction (and AVX2), `baseline` runs on any x86-64, where
// every fma is the C library's function. The best one the processor supports
// is chosen once, at first use.
enum class KernelPath { baseline, fma };

// The best path this processor supports.
KernelPath default_kernel_path();
// The path in use.
KernelPath kernel_path();
// Switches the path for all later calls (tests and benchmarks run both); a
// request for `fma` on a processor without it selects `baseline`. Returns
// the path now in use. Not to be called while a product or a run is under way.
KernelPath set_kernel_path(KernelPath path);

// One weight before the matrix is built.
struct Triplet {
    std::int32_t row = 0;  // receiving node
    std::int32_t col = 0;  // source node or input
    double value = 0.0;
};

class SparseMatrix {
  public:
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    std::vector<std::int32_t> row_ptr;  // rows + 1 entries
    std::vector<std::int32_t> col_idx;  // one per stored entry
    std::vector<double> values;         // one per stored entry

    SparseMatrix() : row_ptr(1, 0) {}
    // An empty matrix of the given shape (row_ptr all zero).
    SparseMatrix(int n_rows, int n_cols);

    // Replaces the stored entries by the triplets sorted by (row, col);
    // duplicate (row, col) pairs are kept as separate, adjacent entries.
    // Columns are not checked here. Throws std::runtime_error
    // "Triplet row out of bounds while building CSR" when a row is outside
    // [0, n_rows); every triplet is tested before any is placed.
    void build_from_triplets(int n_rows, const std::vector<Triplet>& triplets);

    // The product with x, accumulated exactly as multiply_add on zeros.
    // Throws std::invalid_argument "Dimension mismatch in sparse matrix
    // multiply" when x.size() != cols.
    std::vector<double> multiply(const std::vector<double>& x) const;

    // y[i] += sum over row i of values[k] * x[col_idx[k]], folded into the
    // running y[i] one stored entry at a time with one fused multiply-add
    // each, in stored order. Checks nothing, allocates nothing. On the fma
    // path (kernel_path()) several rows are folded side by side, each still
    // in its own order; with x and y the same vector, one row after another.
    void multiply_add(const std::vector<double>& x, std::vector<double>& y) const;

    // The first stored value at (row, col) or 0.0; row must be in range.
    double get(int row, int col) const;
};

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
