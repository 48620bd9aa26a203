// The largest counts a Matrix can hold, and the ones it must refuse: no
// count, element count or text length may wrap.
#include <gtest/gtest.h>

#include <limits>

#include "support/TestSupport.h"

namespace kestrim::test {
namespace {

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();

MatrixPtr Shaped(int32_t upperRow, int32_t upperCol) {
    auto m = Matrix::New();
    m->SetAsArray(DoubleArray::Create2D(upperRow, upperCol));
    return m;
}

TEST(ExtremeCounts, UpperBoundsBeyondMaxSizeAreRefusedBeforeAnythingChanges) {
    // (upper row, upper column) of the array, expected error code (rows first).
    // Only arrays without elements: the bounds alone decide.
    const std::tuple<int32_t, int32_t, int> cases[] = {{-1, kMax, 2}, {kMax, -1, 1}};
    for (const auto& [upperRow, upperCol, code] : cases) {
        const DoubleArray array = DoubleArray::Create2D(upperRow, upperCol);
        auto m = MakeMatrix({{1, 2}});
        EXPECT_MATRIX_ERROR(m->SetAsArray(array), code, 1107);
        EXPECT_EQ(ToRows(*m), (Rows{{1, 2}})) << upperRow << "," << upperCol;
    }
}

TEST(ExtremeCounts, LargestEmptyShapesKeepEveryCountInRange) {
    auto wide = Shaped(-1, kMax - 1);  // 0 x 2147483647
    EXPECT_EQ(wide->Rows(), 0);
    EXPECT_EQ(wide->Cols(), kMax);
    auto tall = wide->Transpose();
    EXPECT_EQ(tall->Rows(), kMax);
    EXPECT_EQ(tall->Cols(), 0);
    EXPECT_EQ(wide->GetString(), "");
    // 2147483647 lines of at least "| |" cannot be one String.
    EXPECT_RUNTIME_ERROR(tall->GetString(0, ""), RuntimeError::OutOfMemory);
    EXPECT_RUNTIME_ERROR(tall->GetString(), RuntimeError::OutOfMemory);
    auto column = MakeMatrix({{1}, {2}, {3}});
    EXPECT_EQ(column->GetString(0, std::string(3, 'x')), "| 1 |xxx| 2 |xxx| 3 |xxx");
    // Operations on the extreme shapes give the extreme shapes back.
    auto square = wide->Times(tall);  // (0 x N)(N x 0) = 0 x 0
    EXPECT_EQ(square->Rows(), 0);
    EXPECT_EQ(square->Cols(), 0);
    auto row = tall->RowVector(kMax - 1);
    EXPECT_EQ(row->Rows(), 1);
    EXPECT_EQ(row->Cols(), 0);
    auto col = wide->ColVector(kMax - 1);
    EXPECT_EQ(col->Rows(), 0);
    EXPECT_EQ(col->Cols(), 1);
    EXPECT_MATRIX_ERROR(wide->ColVector(kMax), 20, 1139);
    EXPECT_TRUE(wide->IsEqualTo(wide->Clone()));
    EXPECT_FALSE(wide->IsSquare());
    // The largest count through the count properties themselves.
    auto counted = Matrix::New();
    counted->SetCols(kMax);
    EXPECT_EQ(counted->Cols(), kMax);
    EXPECT_EQ(counted->GetString(), "Not initialized");
}

}  // namespace
}  // namespace kestrim::test
