// Building the CSR form, and the checks of the product. The product's
// arithmetic is compared bit for bit in kernel_diff_test.cpp.
#include "model/sparse_matrix.hpp"

#include <stdexcept>

#include "test_support.hpp"

namespace vesk {
namespace {

using Ints = std::vector<std::int32_t>;

TEST(SparseMatrix, BuildSortsByRowThenColumnKeepingDuplicates) {
    SparseMatrix m(3, 6);
    m.build_from_triplets(3, {{2, 1, 7.0}, {0, 5, 1.0}, {0, 3, 2.0}, {1, 3, 0.5}, {1, 3, 0.25}});
    EXPECT_EQ(m.row_ptr(), (Ints{0, 2, 4, 5}));
    EXPECT_EQ(m.col_idx(), (Ints{3, 5, 3, 3, 1}));
    EXPECT_EQ(m.values(), (std::vector<double>{2.0, 1.0, 0.5, 0.25, 7.0}));
    // Duplicates are all summed by the product, while get returns the first.
    EXPECT_EQ(m.multiply({0, 0, 0, 2.0, 0, 0}), (std::vector<double>{4.0, 1.5, 0.0}));
    EXPECT_EQ((std::vector<double>{m.get(1, 3), m.get(1, 4), m.get(2, 1)}),
              (std::vector<double>{0.5, 0.0, 7.0}));
}

// The form of a matrix without entries, which readers and products take as
// they take a built one: rows + 1 zero offsets.
TEST(SparseMatrix, UnbuiltMatrixHasNoEntries) {
    EXPECT_EQ(SparseMatrix(0, 2).row_ptr(), (Ints{0}));
    EXPECT_EQ(SparseMatrix(2, 3).row_ptr(), (Ints{0, 0, 0}));
    EXPECT_EQ(SparseMatrix(2, 3).multiply({1.0, 1.0, 1.0}), (std::vector<double>{0.0, 0.0}));
}

TEST(SparseMatrix, BadRowsAndVectorLengthsAreRejected) {
    for (const int row : {-1, 3}) {
        SparseMatrix m(3, 3);
        EXPECT_THROW_MSG(m.build_from_triplets(3, {{0, 0, 1.0}, {row, 0, 1.0}}), std::runtime_error,
                         "Triplet row out of bounds while building CSR");
    }
    SparseMatrix m(3, 4);
    m.build_from_triplets(3, {{0, 3, 1.0}});
    for (const std::size_t size : {3u, 5u}) {
        EXPECT_THROW_MSG(m.multiply(std::vector<double>(size, 1.0)), std::invalid_argument,
                         "Dimension mismatch in sparse matrix multiply");
    }
    EXPECT_EQ(m.multiply(std::vector<double>(4, 1.0)), (std::vector<double>{1.0, 0.0, 0.0}));
}

}  // namespace
}  // namespace vesk
