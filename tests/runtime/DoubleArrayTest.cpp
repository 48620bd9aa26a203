#include <gtest/gtest.h>

#include "kestrim/DoubleArray.h"
#include "kestrim/Error.h"
#include "support/TestSupport.h"

using kestrim::DoubleArray;
using kestrim::RuntimeError;

TEST(DoubleArray, WithoutStorageEveryBoundIsASubscriptError) {
    DoubleArray a;
    EXPECT_FALSE(a.HasStorage());
    EXPECT_EQ(a.Dims(), 0);
    EXPECT_RUNTIME_ERROR(a.LBound(1), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(a.UBound(1), RuntimeError::SubscriptOutOfRange);
}

TEST(DoubleArray, BoundsPerDimensionAndMissingDimension) {
    auto a = DoubleArray::Create2D(4, 2, -1, 3);
    EXPECT_EQ(a.LBound(1), -1);
    EXPECT_EQ(a.UBound(1), 4);
    EXPECT_EQ(a.LBound(2), 3);
    EXPECT_EQ(a.UBound(2), 2 + 0);
    auto b = DoubleArray::Create1D(3);
    EXPECT_EQ(b.Dims(), 1);
    EXPECT_RUNTIME_ERROR(b.UBound(2), RuntimeError::SubscriptOutOfRange);
}

TEST(DoubleArray, CreatedZeroFilledColumnMajor) {
    auto a = DoubleArray::Create2D(2, 1);  // 3 x 2
    ASSERT_EQ(a.Count(), 6u);
    for (std::size_t k = 0; k < a.Count(); ++k) EXPECT_EQ(a.Data()[k], 0.0);
    a.At(2, 1) = 7.0;
    EXPECT_EQ(a.Data()[1 * 3 + 2], 7.0);
    EXPECT_EQ(a.Get({2, 1}), 7.0);
    EXPECT_RUNTIME_ERROR(a.Get({3, 0}), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(a.Get({0}), RuntimeError::SubscriptOutOfRange);
}

TEST(DoubleArray, EmptyDimensionIsAllowed) {
    auto a = DoubleArray::Create2D(-1, 3);
    EXPECT_TRUE(a.HasStorage());
    EXPECT_EQ(a.Count(), 0u);
    EXPECT_EQ(a.UBound(1), -1);
}

TEST(DoubleArray, ImpossibleSizesAreOutOfMemory) {
    EXPECT_RUNTIME_ERROR(DoubleArray::Create2D(2000000000, 2000000000), RuntimeError::OutOfMemory);
    EXPECT_RUNTIME_ERROR(DoubleArray::Create({{0, 2000000000}, {0, 2000000000}, {0, 2000000000}}),
                         RuntimeError::OutOfMemory);
}

TEST(DoubleArray, CopiesNeverShareElements) {
    auto a = DoubleArray::Create2D(1, 1);
    a.At(0, 0) = 1.0;
    DoubleArray b = a;
    b.At(0, 0) = 2.0;
    EXPECT_EQ(a.At(0, 0), 1.0);
    a = b;
    b.At(0, 0) = 3.0;
    EXPECT_EQ(a.At(0, 0), 2.0);
}

TEST(DoubleArray, RedimPreserveKeepsSurvivingColumns) {
    auto a = DoubleArray::Create2D(1, 2);  // 2 x 3
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 2; ++r) a.At(r, c) = 10 * r + c + 1;
    auto grown = a;
    grown.RedimPreserveLast(3);
    EXPECT_EQ(grown.UBound(2), 3);
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 2; ++r) EXPECT_EQ(grown.At(r, c), 10 * r + c + 1);
    EXPECT_EQ(grown.At(0, 3), 0.0);
    EXPECT_EQ(grown.At(1, 3), 0.0);
    a.RedimPreserveLast(0);
    EXPECT_EQ(a.Count(), 2u);
    EXPECT_EQ(a.At(0, 0), 1.0);
    EXPECT_EQ(a.At(1, 0), 11.0);
}
