// The worked examples of Eigen: exact values, vectors, orders and events.
#include <gtest/gtest.h>

#include <cmath>

#include "EigenTestUtil.h"

namespace kestrim::test {
namespace {

constexpr double kHalfSqrt2 = 0.70710678118654752440;

TEST(EigenExamples, OneByOneIsItsOwnEigenpair) {
    auto a = MakeMatrix({{-2.5}});
    auto rec = Record(a);
    const auto r = RunEigen(a);
    EXPECT_EQ(r.wr, std::vector<double>{-2.5});
    EXPECT_EQ(r.wi, std::vector<double>{0.0});
    EXPECT_EQ(r.vr, (Rows{{1.0}}));
    EXPECT_EQ(r.vi, (Rows{{0.0}}));
    EXPECT_EQ(rec->events, (std::vector<RecordedEvent>{{"Done", "Eigen", 0.0f}}));
}

TEST(EigenExamples, SymmetricTwoByTwoDescendingOrthonormal) {
    auto a = MakeMatrix({{2, 1}, {1, 2}});
    const auto r = RunEigen(a);
    ASSERT_EQ(r.order(), 2);
    EXPECT_NEAR(r.wr[0], 3.0, 1e-15);
    EXPECT_NEAR(r.wr[1], 1.0, 1e-15);
    EXPECT_NEAR(r.vr[0][0], kHalfSqrt2, 1e-15);
    EXPECT_NEAR(r.vr[1][0], kHalfSqrt2, 1e-15);
    EXPECT_NEAR(r.vr[0][1], kHalfSqrt2, 1e-15);
    EXPECT_NEAR(r.vr[1][1], -kHalfSqrt2, 1e-15);
    EXPECT_EQ(r.wi, (std::vector<double>{0, 0}));
    EXPECT_EQ(r.vi, (Rows{{0, 0}, {0, 0}}));
}

TEST(EigenExamples, RotationGivesConjugatePairWithItsLayoutAndEvents) {
    auto a = MakeMatrix({{0, -1}, {1, 0}});
    auto rec = Record(a);
    const auto r = RunEigen(a);
    EXPECT_EQ(r.wr, (std::vector<double>{0, 0}));
    EXPECT_EQ(r.wi, (std::vector<double>{1, -1}));
    EXPECT_EQ(r.vr, (Rows{{-1, -1}, {0, 0}}));
    EXPECT_EQ(r.vi, (Rows{{0, 0}, {1, -1}}));
    // The conjugate's imaginary part is the negation of a zero: -0.0.
    EXPECT_TRUE(SameBits(r.vi[0][1], -0.0));
    EXPECT_TRUE(SameBits(r.vi[0][0], 0.0));
    EXPECT_EQ(rec->Percents(), (std::vector<float>{1, 20, 95, 99, 100}));
    ASSERT_FALSE(rec->events.empty());
    EXPECT_EQ(rec->events.back(), (RecordedEvent{"Done", "Eigen", 0.0f}));
    for (const auto& e : rec->events) EXPECT_EQ(e.operation, "Eigen");
}

TEST(EigenExamples, TwoComplexPairsExact) {
    const Rows rows{{0, -1, 1, 0}, {1, 0, 0, 1}, {0, 0, 0, -2}, {0, 0, 2, 0}};
    const auto r = RunEigen(MakeMatrix(rows));
    EXPECT_EQ(r.wr, (std::vector<double>{0, 0, 0, 0}));
    EXPECT_EQ(r.wi, (std::vector<double>{1, -1, 2, -2}));
    // Eigenvector 0 is (1, -i, 0, 0), eigenvector 2 is (i, 1, -1, i), and
    // 1 and 3 are their conjugates.
    const Rows vr{{1, 1, 0, 0}, {0, 0, 1, 1}, {0, 0, -1, -1}, {0, 0, 0, 0}};
    const Rows vi{{0, 0, 1, -1}, {-1, 1, 0, 0}, {0, 0, 0, 0}, {0, 0, 1, -1}};
    EXPECT_EQ(r.vr, vr);
    EXPECT_EQ(r.vi, vi);
    EXPECT_EQ(WorstResidual(rows, r), 0.0);
}

TEST(EigenExamples, SymmetricThreeByThree) {
    const Rows rows{{4, 5, 5}, {5, 4, 3}, {5, 3, -1}};
    const auto r = RunEigen(MakeMatrix(rows));
    EXPECT_NEAR(r.wr[0], 11.576925, 1e-6);
    EXPECT_NEAR(r.wr[1], -0.485590, 1e-6);
    EXPECT_NEAR(r.wr[2], -4.091335, 1e-6);
    EXPECT_LT(WorstResidual(rows, r), 1e-15);
    // Orthonormal columns.
    for (int p = 0; p < 3; ++p)
        for (int q = 0; q < 3; ++q) {
            double dot = 0;
            for (int i = 0; i < 3; ++i) dot += r.vr[i][p] * r.vr[i][q];
            EXPECT_NEAR(dot, p == q ? 1.0 : 0.0, 4e-15);
        }
}

TEST(EigenExamples, SymmetricEventsOfOrderThree) {
    auto a = MakeMatrix({{4, 5, 5}, {5, 4, 3}, {5, 3, -1}});
    auto rec = Record(a);
    a->Eigen();
    EXPECT_EQ(rec->Percents(), (std::vector<float>{6.5f, 13.0f, 21.5f, 30.0f, static_cast<float>(160.0 / 3.0),
                                                   static_cast<float>(230.0 / 3.0), 100.0f}));
    ASSERT_EQ(rec->events.size(), 8u);
    EXPECT_EQ(rec->events.back().kind, "Done");
}

TEST(EigenExamples, RepeatedEigenvaluesFollowTheExchangeSort) {
    // The sort exchanges D(i) with the largest later entry, so the two
    // eigenvalue-1 vectors come out in reversed order.
    const auto r = RunEigen(MakeMatrix({{1, 0, 0}, {0, 1, 0}, {0, 0, 2}}));
    EXPECT_EQ(r.wr, (std::vector<double>{2, 1, 1}));
    EXPECT_EQ(r.vr, (Rows{{0, 0, 1}, {0, 1, 0}, {1, 0, 0}}));
}

TEST(EigenExamples, CyclicPermutationNeedsTheExceptionalShift) {
    const Rows rows{{0, 0, 1}, {1, 0, 0}, {0, 1, 0}};
    auto a = MakeMatrix(rows);
    auto rec = Record(a);
    MatrixPtr wr = Matrix::New(), wi = Matrix::New(), vr = Matrix::New(), vi = Matrix::New();
    a->Eigen(&wr, &wi, &vr, &vi);
    const double h = std::sqrt(3.0) / 2;
    EXPECT_NEAR(wr->Item(0, 0), -0.5, 1e-14);
    EXPECT_NEAR(wr->Item(1, 0), -0.5, 1e-14);
    EXPECT_NEAR(wr->Item(2, 0), 1.0, 1e-14);
    EXPECT_NEAR(wi->Item(0, 0), h, 1e-14);
    EXPECT_NEAR(wi->Item(1, 0), -h, 1e-14);
    EXPECT_EQ(wi->Item(2, 0), 0.0);

    // 1 after balancing, 15 and 15 from the reduction and accumulation,
    // then one event per QR iteration: at least eleven at 20 for the first
    // root (the eleventh takes the exceptional shift), one at 57.5 for the
    // pair, and 95, 97, 99 from the back-substitution, then 100.
    const auto p = rec->Percents();
    ASSERT_GE(p.size(), 3u + 11u + 1u + 4u);
    EXPECT_EQ(p[0], 1.0f);
    EXPECT_EQ(p[1], 15.0f);
    EXPECT_EQ(p[2], 15.0f);
    size_t i = 3;
    size_t at20 = 0;
    while (i < p.size() && p[i] == 20.0f) ++i, ++at20;
    EXPECT_GE(at20, 11u);
    EXPECT_LE(at20, 21u);
    ASSERT_EQ(p.size(), i + 5);
    EXPECT_EQ(p[i], 57.5f);
    EXPECT_EQ(p[i + 1], 95.0f);
    EXPECT_EQ(p[i + 2], 97.0f);
    EXPECT_EQ(p[i + 3], 99.0f);
    EXPECT_EQ(p[i + 4], 100.0f);

    EigenResult r;
    r.wr = Column(*wr);
    r.wi = Column(*wi);
    r.vr = ToRows(*vr);
    r.vi = ToRows(*vi);
    EXPECT_LT(WorstResidual(rows, r), 1e-14);
}

TEST(EigenExamples, IsolatedColumnIsExchangedBack) {
    const Rows rows{{1, 0, 2, 1}, {3, 4, 5, 1}, {6, 0, 7, 2}, {1, 0, 1, 3}};
    const auto r = RunEigen(MakeMatrix(rows));
    EXPECT_EQ(r.wr[0], 4.0);
    EXPECT_NEAR(r.wr[1], -0.607374, 1e-6);
    EXPECT_NEAR(r.wr[2], 9.064478, 1e-6);
    EXPECT_NEAR(r.wr[3], 2.542895, 1e-6);
    EXPECT_EQ(r.wi, (std::vector<double>{0, 0, 0, 0}));
    EXPECT_EQ(r.vr[0][0], 0.0);
    EXPECT_EQ(r.vr[1][0], 1.0);
    EXPECT_EQ(r.vr[2][0], 0.0);
    EXPECT_EQ(r.vr[3][0], 0.0);
    EXPECT_LT(WorstResidual(rows, r), 1e-15);
}

TEST(EigenExamples, BalancingByPowersOfTwo) {
    const Rows rows{{1, 16}, {1, 1}};
    const auto r = RunEigen(MakeMatrix(rows));
    EXPECT_EQ(r.wr, (std::vector<double>{5, -3}));
    EXPECT_NEAR(r.vr[0][0], 2.0 * std::sqrt(2.0), 1e-14);
    EXPECT_NEAR(r.vr[1][0], kHalfSqrt2, 1e-15);
    EXPECT_NEAR(r.vr[0][1], -2.0 * std::sqrt(2.0), 1e-14);
    EXPECT_NEAR(r.vr[1][1], kHalfSqrt2, 1e-15);
    EXPECT_LT(WorstResidual(rows, r), 1e-16);
}

TEST(EigenExamples, DenseFiveByFiveEventSequence) {
    auto a = MakeMatrix({{4, 1, -2, 2, 3}, {1, 2, 0, 1, -1}, {-2, 3, 3, -2, 1}, {2, 1, -2, -1, 4}, {5, -1, 2, 1, 0}});
    auto rec = Record(a);
    a->Eigen();
    const auto p = rec->Percents();
    ASSERT_GE(p.size(), 8u);
    const std::vector<float> head{1.0f, static_cast<float>(17.0 / 3.0), static_cast<float>(31.0 / 3.0), 15.0f,
                                  15.0f, 16.25f, 17.5f, 20.0f};
    EXPECT_EQ(std::vector<float>(p.begin(), p.begin() + 8), head);
    // The back-substitution reports 95, 96, 97, 98, 99, then 100.
    ASSERT_GE(p.size(), 14u);
    EXPECT_EQ(std::vector<float>(p.end() - 6, p.end()), (std::vector<float>{95, 96, 97, 98, 99, 100}));
    // The iteration events never go back and stay within 20 .. 95.
    for (size_t i = 7; i + 6 < p.size(); ++i) {
        EXPECT_GE(p[i], 20.0f);
        EXPECT_LE(p[i], 95.0f);
        EXPECT_LE(p[i], p[i + 1]);
    }
    EXPECT_EQ(rec->events.back().kind, "Done");
}

TEST(EigenExamples, TriangularIsIsolatedAndReportsStageEnd) {
    // Upper triangular: every eigenvalue is isolated by balancing, the
    // diagonal comes back in place, and the one iteration event reports 95.
    const Rows rows{{3, 1, 2}, {0, -1, 4}, {0, 0, 7}};
    auto a = MakeMatrix(rows);
    auto rec = Record(a);
    MatrixPtr wr = Matrix::New(), wi = Matrix::New(), vr = Matrix::New(), vi = Matrix::New();
    a->Eigen(&wr, &wi, &vr, &vi);
    EXPECT_EQ(Column(*wr), (std::vector<double>{3, -1, 7}));
    EXPECT_EQ(Column(*wi), (std::vector<double>{0, 0, 0}));
    EXPECT_EQ(rec->Percents(), (std::vector<float>{1, 95, 95, 97, 99, 100}));
    EigenResult r{Column(*wr), Column(*wi), ToRows(*vr), ToRows(*vi)};
    EXPECT_LT(WorstResidual(rows, r), 1e-16);
}

}  // namespace
}  // namespace kestrim::test
