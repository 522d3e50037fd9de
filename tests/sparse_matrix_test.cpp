#include "model/sparse_matrix.hpp"

#include "test_support.hpp"

namespace vesk {
namespace {

TEST(SparseMatrix, FusedMultiplyAddPerEntry) {
    SparseMatrix m(1, 2);
    m.build_from_triplets(1, {{0, 0, -1.0}, {0, 1, 0.1}});
    const auto y = m.multiply({1.0, 10.0});
    ASSERT_EQ(y.size(), 1u);
    EXPECT_EQ(y[0], 0x1p-54);
}

}  // namespace
}  // namespace vesk
