#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "DecompTestUtil.h"

namespace kestrim::test {
namespace {

constexpr int kSvdError = 16;
constexpr int kSvdHelp = 1132;

struct SvdOut {
    MatrixPtr u = Matrix::New();
    MatrixPtr s = Matrix::New();
    MatrixPtr v = Matrix::New();
};

SvdOut RunSvd(const MatrixPtr& a) {
    SvdOut out;
    a->SVD(&out.u, &out.s, &out.v);
    return out;
}

std::vector<double> Diagonal(const Matrix& s) {
    std::vector<double> d;
    for (int i = 0; i < s.Rows(); ++i) d.push_back(s.Item(i, i));
    return d;
}

// U * S * V^T from the delivered objects.
Grid Reconstruct(const SvdOut& out) {
    return Multiply(Multiply(ToGrid(*out.u), ToGrid(*out.s)), Transposed(ToGrid(*out.v)));
}

TEST(SVD, OneByOneExamplesAndTheirEvents) {
    struct Case {
        double a, u, s, v;
    } cases[] = {{3, -1, 3, -1}, {-3, -1, 3, 1}, {0, 1, 0, 1}};
    for (const auto& c : cases) {
        auto a = MakeMatrix({{c.a}});
        auto rec = Record(a);
        auto out = RunSvd(a);
        EXPECT_EQ(ToRows(*out.u), (Rows{{c.u}})) << c.a;
        EXPECT_EQ(ToRows(*out.s), (Rows{{c.s}})) << c.a;
        EXPECT_EQ(ToRows(*out.v), (Rows{{c.v}})) << c.a;
        EXPECT_EQ(rec->Percents(), (std::vector<float>{34, 35, 35, 53}));
        EXPECT_EQ(rec->events.back(), (RecordedEvent{"Done", "SVD", 0.0f}));
        for (const auto& e : rec->events) EXPECT_EQ(e.operation, "SVD");
    }
}

TEST(SVD, DiagonalInputNeedsNoSweep) {
    auto out = RunSvd(MakeMatrix({{2, 0, 0}, {0, 3, 0}, {0, 0, 1}}));
    EXPECT_EQ(Diagonal(*out.s), (std::vector<double>{2, 3, 1}));  // not sorted
    const Rows minusI = {{-1, 0, 0}, {0, -1, 0}, {0, 0, -1}};
    EXPECT_EQ(ToRows(*out.u), minusI);
    EXPECT_EQ(ToRows(*out.v), minusI);
    EXPECT_EQ(reference::Svd({{2, 0, 0}, {0, 3, 0}, {0, 0, 1}}).maxSweeps, 0);
}

TEST(SVD, TwoByTwoExample) {
    const Grid a = {{1, 2}, {3, 4}};
    auto out = RunSvd(MakeMatrix(a));
    const auto w = Diagonal(*out.s);
    EXPECT_NEAR(w[0], 0.36597, 1e-5);
    EXPECT_NEAR(w[1], 5.46499, 1e-5);
    EXPECT_LT(MaxAbsDiff(Reconstruct(out), a), 1e-14);
    EXPECT_TRUE(SameBits(out.s->Item(0, 1), 0.0));
    EXPECT_TRUE(SameBits(out.s->Item(1, 0), 0.0));
}

TEST(SVD, WideReceiverIsAccepted) {
    const Grid a = {{1, 2, 3}, {4, 5, 6}};
    auto out = RunSvd(MakeMatrix(a));
    ASSERT_EQ(out.u->Rows(), 2);
    ASSERT_EQ(out.u->Cols(), 3);
    EXPECT_EQ(out.u->Item(0, 2), 0.0);
    EXPECT_EQ(out.u->Item(1, 2), 0.0);
    ASSERT_EQ(out.s->Rows(), 3);
    const auto w = Diagonal(*out.s);
    EXPECT_NEAR(w[0], 9.50803, 1e-5);
    EXPECT_NEAR(w[1], 0.77287, 1e-5);
    EXPECT_EQ(w[2], 0.0);
    ASSERT_EQ(out.v->Rows(), 3);
    EXPECT_LT(MaxAbsDiff(Reconstruct(out), a), 1e-14);
    EXPECT_LT(MaxAbsDiff(Multiply(Transposed(ToGrid(*out.v)), ToGrid(*out.v)), Identity(3)), 1e-14);
}

TEST(SVD, RandomMatricesDecomposeAccurately) {
    const int shapes[][2] = {{1, 4}, {6, 6}, {12, 5}, {5, 12}, {20, 20}, {37, 23}, {23, 37}, {64, 64}};
    uint32_t seed = 300;
    for (const auto& sh : shapes) {
        const int m = sh[0], n = sh[1];
        const Grid a = RandomGrid(m, n, seed++);
        auto out = RunSvd(MakeMatrix(a));
        ASSERT_EQ(out.u->Rows(), m);
        ASSERT_EQ(out.u->Cols(), n);
        ASSERT_EQ(out.v->Rows(), n);
        EXPECT_LT(MaxAbsDiff(Reconstruct(out), a), 1e-13) << m << "x" << n;
        const Grid v = ToGrid(*out.v);
        EXPECT_LT(MaxAbsDiff(Multiply(Transposed(v), v), Identity(n)), 1e-13);
        if (m >= n) {
            const Grid u = ToGrid(*out.u);
            EXPECT_LT(MaxAbsDiff(Multiply(Transposed(u), u), Identity(n)), 1e-13);
        }
        auto w = Diagonal(*out.s);
        for (double x : w) EXPECT_GE(x, 0.0);
        std::sort(w.rbegin(), w.rend());
        // Compare with an independent method on A (tall) or A^T (wide).
        const auto expected = JacobiSingularValues(m >= n ? a : Transposed(a));
        for (std::size_t i = 0; i < expected.size(); ++i)
            EXPECT_NEAR(w[i], expected[i], 1e-12) << m << "x" << n << " #" << i;
        for (std::size_t i = expected.size(); i < w.size(); ++i) EXPECT_LT(w[i], 1e-14);
    }
}

TEST(SVD, KnownSingularValues) {
    // An orthogonal matrix times diag(5, 2, 0.5): the singular values are
    // exactly those scales (up to rounding).
    const double c = std::cos(0.3), s = std::sin(0.3);
    const Grid rot = {{c, -s, 0}, {s, c, 0}, {0, 0, 1}};
    const Grid scaled = Multiply(rot, Grid{{5, 0, 0}, {0, 2, 0}, {0, 0, 0.5}});
    auto out = RunSvd(MakeMatrix(scaled));
    auto w = Diagonal(*out.s);
    std::sort(w.rbegin(), w.rend());
    EXPECT_NEAR(w[0], 5, 1e-14);
    EXPECT_NEAR(w[1], 2, 1e-14);
    EXPECT_NEAR(w[2], 0.5, 1e-14);
}

// Decomposes random matrices of several shapes with every combination of
// wanted outputs and compares every bit with the step-by-step computation.
void ExpectSvdMatchesReference(bool events) {
    const int shapes[][2] = {{2, 2}, {3, 1}, {1, 3}, {7, 5}, {5, 7}, {9, 9},
                             {17, 11}, {11, 17}, {40, 33}, {37, 61}};
    std::vector<Grid> inputs;
    uint32_t seed = 500;
    for (const auto& sh : shapes) inputs.push_back(RandomGrid(sh[0], sh[1], seed++, -10, 10));
    // Rank-deficient inputs reach the cancellation of superdiagonal terms.
    inputs.push_back(Multiply(RandomGrid(30, 6, 1), RandomGrid(6, 25, 2)));
    inputs.push_back(Multiply(RandomGrid(20, 3, 3), RandomGrid(3, 40, 4)));
    inputs.push_back({{1, 2, 3}, {2, 4, 6}, {1, 0, -1}, {3, 6, 9}});
    Grid zeroColumns = RandomGrid(12, 9, 5);
    for (auto& row : zeroColumns) row[0] = row[4] = 0.0;
    inputs.push_back(zeroColumns);
    for (const Grid& a : inputs) {
        const int sh[2] = {static_cast<int>(a.size()), static_cast<int>(a[0].size())};
        for (int mode = 0; mode < 4; ++mode) {
            const bool wantU = mode & 1, wantV = mode & 2;
            const auto expected = reference::Svd(a, wantU, wantV);
            ASSERT_EQ(expected.failure, 0);
            auto m = MakeMatrix(a);
            auto rec = events ? Record(m) : nullptr;
            MatrixPtr u = wantU ? Matrix::New() : nullptr;
            MatrixPtr v = wantV ? Matrix::New() : nullptr;
            auto s = Matrix::New();
            m->SVD(&u, &s, &v);
            const auto w = Diagonal(*s);
            for (std::size_t i = 0; i < w.size(); ++i)
                EXPECT_TRUE(SameBits(w[i], expected.w[i])) << sh[0] << "x" << sh[1] << " mode " << mode;
            if (wantU) {
                EXPECT_EQ(BitDifferences(ToGrid(*u), expected.u), 0) << sh[0] << "x" << sh[1];
            }
            if (wantV) {
                EXPECT_EQ(BitDifferences(ToGrid(*v), expected.v), 0) << sh[0] << "x" << sh[1];
            }
            if (events) {
                EXPECT_EQ(rec->events.back().kind, "Done");
            }
        }
    }
}

TEST(SVD, MatchesTheStepByStepComputationBitForBit) {
    for (bool wide : KernelWidths()) {
        KernelWidth width(wide);
        ExpectSvdMatchesReference(false);
        ExpectSvdMatchesReference(true);
    }
}

TEST(SVD, RankDeficientAndZeroMatrices) {
    auto out = RunSvd(MakeMatrix({{0, 0, 0}, {0, 0, 0}}));
    EXPECT_EQ(Diagonal(*out.s), (std::vector<double>{0, 0, 0}));
    EXPECT_EQ(ToRows(*out.v), (Rows{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}));

    const Grid a = {{1, 2, 3}, {2, 4, 6}, {1, 0, -1}, {3, 6, 9}};  // rank 2
    out = RunSvd(MakeMatrix(a));
    auto w = Diagonal(*out.s);
    EXPECT_LT(MaxAbsDiff(Reconstruct(out), a), 1e-13);
    std::sort(w.begin(), w.end());
    EXPECT_LT(w[0], 1e-14);
    EXPECT_GT(w[1], 0.1);
}

TEST(SVD, OnlyVGivesTheSameVAsUAndV) {
    const Grid a = RandomGrid(8, 6, 9);
    auto both = RunSvd(MakeMatrix(a));
    MatrixPtr none;
    auto v = Matrix::New();
    MakeMatrix(a)->SVD(&none, nullptr, &v);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(BitDifferences(ToGrid(*v), ToGrid(*both.v)), 0);
}

TEST(SVD, OmittedOutputsSkipTheirPhases) {
    const int m = 5, n = 4;
    auto a = MakeMatrix(RandomGrid(m, n, 10));
    auto rec = Record(a);
    a->SVD();
    // Phase 1 (34 (i+1)/n), then phase 4 (100 - 47 (k+1)/n), then Done.
    std::vector<float> expected;
    for (int i = 0; i < n; ++i) expected.push_back(static_cast<float>(34.0 * (i + 1) / n));
    for (int k = n - 1; k >= 0; --k) expected.push_back(static_cast<float>(100.0 - 47.0 * (k + 1) / n));
    EXPECT_EQ(rec->Percents(), expected);
    EXPECT_EQ(rec->events.back().kind, "Done");

    rec->events.clear();
    MatrixPtr u = Matrix::New();
    a->SVD(&u);
    std::vector<float> withU(expected.begin(), expected.begin() + n);
    const int p = std::min(m, n);
    for (int i = p - 1; i >= 0; --i) withU.push_back(static_cast<float>(53.0 - 18.0 * (i + 1) / p));
    withU.insert(withU.end(), expected.begin() + n, expected.end());
    EXPECT_EQ(rec->Percents(), withU);
    EXPECT_EQ(u->Rows(), m);
    for (float pct : rec->Percents()) EXPECT_LT(pct, 100.0f);
}

TEST(SVD, OutputsMayBeTheReceiverOrShared) {
    const Grid g = RandomGrid(4, 3, 12);
    const auto expected = reference::Svd(g);
    auto a = MakeMatrix(g);
    auto s = Matrix::New(), v = Matrix::New();
    a->SVD(&a, &s, &v);
    EXPECT_EQ(BitDifferences(ToGrid(*a), expected.u), 0);
    EXPECT_EQ(BitDifferences(ToGrid(*v), expected.v), 0);
    // One object for all three ends up holding S, delivered last.
    auto b = MakeMatrix(g);
    auto all = Matrix::New();
    b->SVD(&all, &all, &all);
    ASSERT_EQ(all->Rows(), 3);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(SameBits(all->Item(i, i), expected.w[i]));
}

TEST(SVD, CancelDeliversNothingAndRaisesNoDone) {
    for (int cancelAt : {0, 3, 6, 9}) {
        auto a = MakeMatrix(RandomGrid(4, 4, 13));
        auto rec = Record(a);
        rec->onProgress = [&](int index, bool& cancel) { cancel = index == cancelAt; };
        SvdOut out;
        out.u->Size(2, 2);
        out.u->SetItem(0, 1, 42);
        out.s->Size(1, 3);
        a->SVD(&out.u, &out.s, &out.v);  // no error
        EXPECT_EQ(rec->events.size(), static_cast<std::size_t>(cancelAt + 1));
        EXPECT_EQ(rec->events.back().kind, "OnProgress");
        EXPECT_EQ(ToRows(*out.u), (Rows{{0, 42}, {0, 0}})) << cancelAt;
        EXPECT_EQ(out.s->Rows(), 1);
        EXPECT_EQ(out.s->Cols(), 3);
        EXPECT_FALSE(HasStorage(*out.v));
    }
}

TEST(SVD, FireEventsIsReadAtEveryPoint) {
    auto a = MakeMatrix(RandomGrid(3, 3, 14));
    auto rec = Record(a);
    rec->onProgress = [&](int index, bool&) {
        if (index == 2) a->SetFireEvents(false);
    };
    auto out = RunSvd(a);
    EXPECT_EQ(rec->events.size(), 3u);
    EXPECT_LT(MaxAbsDiff(Reconstruct(out), ToGrid(*a)), 1e-13);
}

TEST(SVD, FaultsBecomeTheOperationsErrorAndTouchNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Grid bad[] = {
        {{1e308, 1e308}, {1e308, 1e308}},  // the column scale overflows
        {{1, nan}, {2, 3}},
        {{inf, 1}, {0, 1}},
    };
    for (const auto& g : bad) {
        auto a = MakeMatrix(g);
        auto rec = Record(a);
        SvdOut out;
        out.s->Size(2, 2);
        out.s->SetItem(1, 1, 8);
        EXPECT_MATRIX_ERROR(a->SVD(&out.u, &out.s, &out.v), kSvdError, kSvdHelp);
        EXPECT_FALSE(HasStorage(*out.u));
        EXPECT_FALSE(HasStorage(*out.v));
        EXPECT_EQ(out.s->Item(1, 1), 8.0);
        for (const auto& e : rec->events) EXPECT_NE(e.kind, "Done");
    }
}

TEST(SVD, ReceiverWithoutStorageOrElements) {
    SvdOut out;
    EXPECT_MATRIX_ERROR(Matrix::New()->SVD(&out.u, &out.s, &out.v), kSvdError, kSvdHelp);
    auto emptied = MakeMatrix({{1, 2}});
    emptied->SetAsArray(DoubleArray::Create2D(-1, 1));
    EXPECT_MATRIX_ERROR(emptied->SVD(&out.u, &out.s, &out.v), kSvdError, kSvdHelp);
    EXPECT_FALSE(HasStorage(*out.u));
}

TEST(SVD, HandlerChangesToTheReceiverDoNotAffectTheRun) {
    const Grid g = RandomGrid(5, 4, 15);
    const auto expected = reference::Svd(g);
    auto a = MakeMatrix(g);
    auto rec = Record(a);
    rec->onProgress = [&](int index, bool&) {
        if (index == 0) a->Size(1, 1);
        if (index == 1) a->SetAsArray(DoubleArray::Create2D(-1, -1));
    };
    auto out = RunSvd(a);
    EXPECT_EQ(BitDifferences(ToGrid(*out.u), expected.u), 0);
    EXPECT_EQ(BitDifferences(ToGrid(*out.v), expected.v), 0);
}

}  // namespace
}  // namespace kestrim::test

namespace kestrim::test {
namespace {

// A multiple of a rotation below a zero row: both singular values equal
// sqrt(13), and the shifted sweeps make no progress on the coupling term.
TEST(SVD, NonConvergenceAfterThirtySweepsIsTheOperationsError) {
    const Grid g = {{0, 0}, {3, 2}, {-2, 3}};
    fp::FpScope scope;
    const auto expected = reference::Svd(g);
    ASSERT_EQ(expected.failure, 1);  // the plain computation gives up too
    ASSERT_FALSE(fp::HasFault());    // and without any arithmetic fault
    auto a = MakeMatrix(g);
    auto rec = Record(a);
    SvdOut out;
    EXPECT_MATRIX_ERROR(a->SVD(&out.u, &out.s, &out.v), kSvdError, kSvdHelp);
    EXPECT_FALSE(HasStorage(*out.u));
    EXPECT_FALSE(HasStorage(*out.s));
    // Phases 1 to 3 completed; no value converged in phase 4 and no Done.
    EXPECT_EQ(rec->Percents(), (std::vector<float>{17, 34, 35, 35, 44}));
}

}  // namespace
}  // namespace kestrim::test
