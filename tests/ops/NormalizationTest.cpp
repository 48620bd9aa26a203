// Normalize and NormalizeMe.
#include <gtest/gtest.h>

#include <limits>

#include "ops/OpsTestUtil.h"

namespace kestrim::test {
namespace {

TEST(Normalization, ScalesByTheLargestMagnitude) {
    auto a = MakeMatrix({{2, 4}, {1, 8}});
    double v = -1;
    a->NormalizeMe(&v);
    EXPECT_EQ(v, 8.0);
    EXPECT_EQ(ToRows(*a), (Rows{{0.25, 0.5}, {0.125, 1}}));

    auto zero = MakeMatrix({{0, 0}, {0, -0.0}});
    v = -1;
    zero->NormalizeMe(&v);
    EXPECT_EQ(v, 0.0);
    EXPECT_TRUE(SameBits(zero->Item(1, 1), -0.0));

    auto ties = MakeMatrix({{3, 3}});
    ties->NormalizeMe(&v);
    EXPECT_EQ(v, 3.0);
    EXPECT_EQ(ToRows(*ties), (Rows{{1, 1}}));

    // The omitted output is allowed.
    auto b = MakeMatrix({{-1, 0.5}});
    b->NormalizeMe();
    EXPECT_EQ(ToRows(*b), (Rows{{1, -0.5}}));
}

TEST(Normalization, TheSignedLargestElementBecomesOne) {
    auto a = MakeMatrix({{-5, 0}});
    double v = 0;
    a->NormalizeMe(&v);
    EXPECT_EQ(v, -5.0);
    EXPECT_EQ(a->Item(0, 0), 1.0);
    EXPECT_TRUE(SameBits(a->Item(0, 1), -0.0));

    // Equal magnitudes: the first in row order wins, (0, 1) before (1, 0).
    auto b = MakeMatrix({{0, -3}, {3, 0}});
    b->NormalizeMe(&v);
    EXPECT_EQ(v, -3.0);
    EXPECT_EQ(ToRows(*b), (Rows{{-0.0, 1}, {-1, -0.0}}));
    auto c = MakeMatrix({{0, 3}, {-3, 0}, {3, -3}});
    c->NormalizeMe(&v);
    EXPECT_EQ(v, 3.0);

    // Elements are multiplied by the reciprocal, not divided.
    const Dense d = RandomDense(9, 7, 4);
    auto m = ToMatrix(d);
    m->NormalizeMe(&v);
    double best = 0;
    for (double x : d.v)
        if (std::fabs(x) > std::fabs(best)) best = x;
    EXPECT_EQ(v, best);
    const double r = 1.0 / best;
    const Dense got = FromMatrix(*m);
    for (std::size_t t = 0; t < d.v.size(); ++t) EXPECT_TRUE(SameBits(got.v[t], r * d.v[t]));
}

TEST(Normalization, NormalizeWorksOnACopy) {
    auto a = MakeMatrix({{2, -4}, {1, 8}});
    a->SetFireEvents(true);
    double v = 0;
    MatrixPtr c = a->Normalize(&v);
    ASSERT_TRUE(c);
    EXPECT_EQ(v, 8.0);
    EXPECT_EQ(ToRows(*c), (Rows{{0.25, -0.5}, {0.125, 1}}));
    EXPECT_EQ(ToRows(*a), (Rows{{2, -4}, {1, 8}}));
    EXPECT_FALSE(c->FireEvents());
    EXPECT_RUNTIME_ERROR(Matrix::New()->Normalize(), RuntimeError::SubscriptOutOfRange);
    EXPECT_RUNTIME_ERROR(Matrix::New()->NormalizeMe(), RuntimeError::SubscriptOutOfRange);
}

TEST(Normalization, Faults) {
    // A subnormal largest magnitude: 1 / v overflows before anything is
    // scaled, and the output is not written.
    const double tiny = std::numeric_limits<double>::denorm_min() * 3;
    auto a = MakeMatrix({{tiny, 0}, {-tiny / 3, 0}});
    double v = 42;
    EXPECT_EQ(FaultOf([&] { a->NormalizeMe(&v); }), "overflow");
    EXPECT_EQ(v, 42.0);
    EXPECT_EQ(ToRows(*a), (Rows{{tiny, 0}, {-tiny / 3, 0}}));

    // An infinite largest element: r = 0 and 0 * inf is invalid; the
    // elements before it in row order are scaled, the later ones are not.
    auto b = MakeMatrix({{1, 2, kInf}, {4, 5, 6}});
    EXPECT_EQ(FaultOf([&] { b->NormalizeMe(&v); }), "invalid");
    EXPECT_EQ(v, 42.0);
    const Rows got = ToRows(*b);
    EXPECT_EQ(got[0][0], 0.0);
    EXPECT_EQ(got[0][1], 0.0);
    EXPECT_TRUE(std::isnan(got[0][2]));
    EXPECT_EQ(got[1], (std::vector<double>{4, 5, 6}));

    // Quiet NaNs are skipped by the search and stay NaN.
    auto c = MakeMatrix({{kNaN, 2}, {-4, kNaN}});
    c->NormalizeMe(&v);
    EXPECT_EQ(v, -4.0);
    EXPECT_TRUE(std::isnan(c->Item(0, 0)));
    EXPECT_EQ(c->Item(0, 1), -0.5);
    EXPECT_EQ(c->Item(1, 0), 1.0);
}

}  // namespace
}  // namespace kestrim::test
