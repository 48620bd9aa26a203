#include <gtest/gtest.h>

#include "support/TestSupport.h"

using namespace kestrim;
using namespace kestrim::test;

namespace {
DoubleArray Array2D(const Rows& rows, int32_t lower1 = 0, int32_t lower2 = 0) {
    const auto r = static_cast<int32_t>(rows.size());
    const auto c = static_cast<int32_t>(rows[0].size());
    auto a = DoubleArray::Create2D(lower1 + r - 1, lower2 + c - 1, lower1, lower2);
    for (int32_t i = 0; i < r; ++i)
        for (int32_t j = 0; j < c; ++j) a.At(i, j) = rows[i][j];
    return a;
}
}  // namespace

TEST(AsArray, TwoDimensionalRoundTrip) {
    auto m = Matrix::New();
    m->SetAsArray(Array2D({{1, 2, 3}, {4, 5, 6}}));
    EXPECT_EQ(m->Rows(), 2);
    EXPECT_EQ(m->Cols(), 3);
    EXPECT_EQ(m->Item(1, 0), 4.0);
    const auto out = m->AsArray();
    EXPECT_EQ(out.LBound(1), 0);
    EXPECT_EQ(out.UBound(1), 1);
    EXPECT_EQ(out.UBound(2), 2);
    EXPECT_EQ(out.At(0, 2), 3.0);
}

TEST(AsArray, OneDimensionalArrayIsAColumn) {
    auto m = MakeMatrix({{1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}});
    auto v = DoubleArray::Create1D(3);
    for (int i = 0; i < 4; ++i) v.At(i, 0) = 10 + i;
    m->SetAsArray(v);
    EXPECT_EQ(ToRows(*m), (Rows{{10}, {11}, {12}, {13}}));
}

TEST(AsArray, RejectedArraysLeaveTheObject) {
    auto m = MakeMatrix({{1, 2}, {3, 4}});
    EXPECT_MATRIX_ERROR(m->SetAsArray(Array2D({{9}}, 1, 0)), 4, 1107);
    EXPECT_MATRIX_ERROR(m->SetAsArray(Array2D({{9}}, 0, 1)), 4, 1107);
    EXPECT_MATRIX_ERROR(m->SetAsArray(DoubleArray::Create1D(3, 1)), 4, 1107);
    EXPECT_MATRIX_ERROR(m->SetAsArray(Variant(2.0)), 3, 1107);
    EXPECT_RUNTIME_ERROR(m->SetAsArray(DoubleArray()), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(m->SetAsArray(DoubleArray::Create1D(-1)), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(m->SetAsArray(DoubleArray::Create({{0, 1}, {0, 1}, {0, 1}})),
                         RuntimeError::TypeMismatch);
    EXPECT_EQ(ToRows(*m), (Rows{{1, 2}, {3, 4}}));
}

TEST(AsArray, EmptyDimensionGivesZeroRows) {
    auto m = Matrix::New();
    m->SetAsArray(DoubleArray::Create2D(-1, 2));
    EXPECT_EQ(m->Rows(), 0);
    EXPECT_EQ(m->Cols(), 3);
    EXPECT_EQ(m->GetString(), "");
    m->SetAsArray(DoubleArray::Create2D(1, -1));
    EXPECT_EQ(m->Cols(), 0);
    EXPECT_EQ(m->GetString(0, "\n"), "| |\n| |\n");
}

TEST(AsArray, ArraysAreNeverShared) {
    auto source = Array2D({{1, 2}});
    auto m = Matrix::New();
    m->SetAsArray(source);
    source.At(0, 0) = 99;
    EXPECT_EQ(m->Item(0, 0), 1.0);
    auto out = m->AsArray();
    out.At(0, 1) = 99;
    EXPECT_EQ(m->Item(0, 1), 2.0);
}

TEST(AsArray, ObjectWithoutStorageGivesArrayWithoutStorage) {
    EXPECT_FALSE(Matrix::New()->AsArray().HasStorage());
}

TEST(Clone, IndependentCopyWithEventsOff) {
    auto m = MakeMatrix({{1, 2}, {3, 4}});
    m->SetFireEvents(true);
    auto c = m->Clone();
    EXPECT_FALSE(c->FireEvents());
    EXPECT_EQ(ToRows(*c), ToRows(*m));
    c->SetItem(0, 0, 7);
    EXPECT_EQ(m->Item(0, 0), 1.0);
    EXPECT_RUNTIME_ERROR(Matrix::New()->Clone(), RuntimeError::SubscriptOutOfRange);
}
