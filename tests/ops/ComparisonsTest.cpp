// IsSquare, IsSymmetric and IsEqualTo.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>

#include "ops/OpsTestUtil.h"

namespace kestrim::test {
namespace {

TEST(Comparisons, IsSquare) {
    EXPECT_TRUE(Matrix::New()->IsSquare());  // a new object reports 1 x 1
    EXPECT_FALSE(MakeMatrix({{1, 2, 3}, {4, 5, 6}})->IsSquare());
    EXPECT_TRUE(MakeMatrix({{1, 2}, {3, 4}})->IsSquare());
}

TEST(Comparisons, IsSymmetricSmallCases) {
    EXPECT_FALSE(MakeMatrix({{1, 2, 3}, {2, 1, 3}})->IsSymmetric());
    EXPECT_TRUE(MakeMatrix({{1, 2}, {2, 1}})->IsSymmetric());
    EXPECT_FALSE(MakeMatrix({{1, 2}, {2.0000001, 1}})->IsSymmetric());
    EXPECT_TRUE(MakeMatrix({{5}})->IsSymmetric());
    EXPECT_TRUE(Matrix::New()->IsSymmetric());  // no pair to compare
    // The diagonal is not examined; +0 and -0 compare equal.
    EXPECT_TRUE(MakeMatrix({{kNaN, -0.0}, {0.0, kInf}})->IsSymmetric());
    // A pair with a NaN is not symmetric.
    EXPECT_FALSE(MakeMatrix({{1, kNaN}, {kNaN, 1}})->IsSymmetric());
    EXPECT_FALSE(MakeMatrix({{1, 2}, {kNaN, 1}})->IsSymmetric());
}

TEST(Comparisons, IsSymmetricLargeFindsEveryAsymmetricPair) {
    const int32_t n = 77;
    Dense d = RandomDense(n, n, 5);
    for (int32_t i = 0; i < n; ++i)
        for (int32_t j = 0; j < i; ++j) d(i, j) = d(j, i);
    EXPECT_TRUE(ToMatrix(d)->IsSymmetric());
    for (const auto& [i, j] : {std::pair{0, 76}, std::pair{76, 0}, std::pair{40, 39},
                               std::pair{31, 32}, std::pair{33, 64}, std::pair{75, 76}}) {
        Dense e = d;
        e(i, j) = std::nextafter(e(i, j), 1e300);
        EXPECT_FALSE(ToMatrix(e)->IsSymmetric()) << i << "," << j;
    }
}

TEST(Comparisons, IsEqualToTolerance) {
    auto a = MakeMatrix({{1, 2}, {3, 4}});
    EXPECT_TRUE(a->IsEqualTo(a));
    EXPECT_FALSE(a->IsEqualTo(a, 0));  // no difference is below 0
    EXPECT_FALSE(a->IsEqualTo(MakeMatrix({{1, 2, 3}, {3, 4, 5}})));
    EXPECT_FALSE(a->IsEqualTo(MakeMatrix({{1, 2}})));
    EXPECT_TRUE(MakeMatrix({{1}})->IsEqualTo(MakeMatrix({{1 + 1e-10}})));
    EXPECT_TRUE(MakeMatrix({{1}})->IsEqualTo(MakeMatrix({{1.5}}), 0.6));
    EXPECT_FALSE(MakeMatrix({{1}})->IsEqualTo(MakeMatrix({{1.5}}), 0.5));  // equal to it
    EXPECT_FALSE(MakeMatrix({{1, 2}, {3, 4}})->IsEqualTo(MakeMatrix({{1, 2}, {3, 4.5}}), 0.4));
    EXPECT_TRUE(MakeMatrix({{1, 2}, {3, 4}})->IsEqualTo(MakeMatrix({{1, 2}, {3, 4.5}}), 0.6));
    auto empty = Matrix::New();
    empty->SetAsArray(DoubleArray::Create2D(-1, 1));
    auto empty2 = Matrix::New();
    empty2->SetAsArray(DoubleArray::Create2D(-1, 1));
    EXPECT_TRUE(empty->IsEqualTo(empty2, 0));  // nothing to compare
    EXPECT_RUNTIME_ERROR(a->IsEqualTo(nullptr), RuntimeError::MissingObject);
    EXPECT_RUNTIME_ERROR(Matrix::New()->IsEqualTo(a->RowVector(0)->ColVector(0)),
                         RuntimeError::SubscriptOutOfRange);
}

TEST(Comparisons, IsEqualToFaultsAndNaNsInRowOrder) {
    // Opposite signs near the largest Double: the difference overflows.
    EXPECT_EQ(FaultOf([] { MakeMatrix({{kMax}})->IsEqualTo(MakeMatrix({{-kMax}})); }),
              "overflow");
    // The first element in row order decides: an overflow at (0, 1) before
    // an unequal pair at (1, 0) is an error ...
    EXPECT_EQ(FaultOf([] {
                  MakeMatrix({{1, kMax}, {5, 1}})->IsEqualTo(MakeMatrix({{1, -kMax}, {1, 1}}));
              }),
              "overflow");
    // ... and an unequal pair at (0, 1) before an overflow at (1, 0) is false.
    EXPECT_FALSE(MakeMatrix({{1, 5}, {kMax, 1}})->IsEqualTo(MakeMatrix({{1, 1}, {-kMax, 1}})));
    // A NaN pair is unequal and raises nothing, even before a fault.
    EXPECT_FALSE(MakeMatrix({{kNaN}})->IsEqualTo(MakeMatrix({{kNaN}})));
    EXPECT_FALSE(MakeMatrix({{1, kNaN}, {kMax, 1}})->IsEqualTo(MakeMatrix({{1, 1}, {-kMax, 1}})));
    const double sNaN = std::numeric_limits<double>::signaling_NaN();
    EXPECT_FALSE(MakeMatrix({{sNaN, 1}})->IsEqualTo(MakeMatrix({{1, 1}})));
    // But a fault before the NaN in row order still stops the comparison.
    EXPECT_EQ(FaultOf([] {
                  MakeMatrix({{kMax, 1}, {kNaN, 1}})->IsEqualTo(MakeMatrix({{-kMax, 1}, {1, 1}}));
              }),
              "overflow");
    // inf - inf is an invalid operation.
    EXPECT_EQ(FaultOf([] { MakeMatrix({{kInf}})->IsEqualTo(MakeMatrix({{kInf}})); }), "invalid");
    EXPECT_FALSE(MakeMatrix({{kInf}})->IsEqualTo(MakeMatrix({{1}})));
}

}  // namespace
}  // namespace kestrim::test
