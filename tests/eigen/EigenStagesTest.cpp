// The private stages of the eigensolvers, called directly: balancing,
// the Hessenberg reduction and its accumulation, undoing the balancing,
// the QL iteration limit, and the equality of the plain and the
// step-checked forms of every stage.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "EigenTestUtil.h"
#include "eigen/EigenInternal.h"
#include "eigen/EigenKernels.h"
#include "support/KernelWidth.h"

namespace kestrim::test {
namespace {

using detail::eigen::Balance;
using detail::eigen::Checked;
using detail::eigen::Context;
using detail::eigen::Fast;
using detail::eigen::Square;
using detail::eigen::Vector;

Square ToSquare(const Rows& rows) {
    const int n = static_cast<int>(rows.size());
    Square s(n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) s(i, j) = rows[i][j];
    return s;
}

Rows FromSquare(const Square& s) {
    const int n = s.Order();
    Rows rows(n, std::vector<double>(n));
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) rows[i][j] = s(i, j);
    return rows;
}

Balance Balanced(Square& a) {
    fp::ClearFlags();
    bool cancel = false;
    Context ctx(nullptr, &cancel);
    Balance b;
    b.Scale = Vector(a.Order(), 0.0);
    b.High = a.Order() - 1;
    detail::eigen::BalanceMatrix<Fast>(ctx, a.Order() - 1, a, b);
    return b;
}

bool SameBitsAll(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!SameBits(a[i], b[i])) return false;
    return true;
}

TEST(EigenBalance, PowerOfTwoScaling) {
    Square a = ToSquare({{1, 16}, {1, 1}});
    const Balance b = Balanced(a);
    EXPECT_EQ(FromSquare(a), (Rows{{1, 4}, {4, 1}}));
    EXPECT_EQ(b.Scale, (Vector{4, 1}));
    EXPECT_EQ(b.Low, 0);
    EXPECT_EQ(b.High, 1);
}

TEST(EigenBalance, NothingToDoForTheRotation) {
    Square a = ToSquare({{0, -1}, {1, 0}});
    const Balance b = Balanced(a);
    EXPECT_EQ(FromSquare(a), (Rows{{0, -1}, {1, 0}}));
    EXPECT_EQ(b.Scale, (Vector{1, 1}));
    EXPECT_EQ(b.Low, 0);
    EXPECT_EQ(b.High, 1);
}

TEST(EigenBalance, IsolatedColumnMovesToTheTop) {
    Square a = ToSquare({{1, 0, 2, 1}, {3, 4, 5, 1}, {6, 0, 7, 2}, {1, 0, 1, 3}});
    const Balance b = Balanced(a);
    EXPECT_EQ(b.Low, 1);
    EXPECT_EQ(b.High, 3);
    EXPECT_EQ(b.Scale[0], 1.0);
    // Column 1 is exchanged with column 0 (and row 1 with row 0 over
    // columns 0 .. n): the isolated eigenvalue 4 is at the top.
    EXPECT_EQ(a(0, 0), 4.0);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(a(i, 0), 0.0);
}

TEST(EigenBalance, TriangularIsolatesEverything) {
    Square a = ToSquare({{3, 1, 2}, {0, -1, 4}, {0, 0, 7}});
    const Balance b = Balanced(a);
    EXPECT_EQ(b.Low, 0);
    EXPECT_EQ(b.High, 0);
    EXPECT_EQ(FromSquare(a), (Rows{{3, 1, 2}, {0, -1, 4}, {0, 0, 7}}));
    // Scale holds exchange indices here (each row exchanged with itself).
    EXPECT_EQ(b.Scale, (Vector{0, 1, 2}));
}

TEST(EigenBalance, ScalingLoopsStopOnOverflow) {
    // The column norm overflows: the stage stops with the runtime's
    // overflow error instead of scaling forever.
    fp::ClearFlags();
    Square a = ToSquare({{1, 1, 1}, {1.7e308, 1, 1}, {1.7e308, 1, 1}});
    bool cancel = false;
    Context ctx(nullptr, &cancel);
    Balance b;
    b.Scale = Vector(3, 0.0);
    EXPECT_EQ(RuntimeErrorDescription([&] { detail::eigen::BalanceMatrix<Fast>(ctx, 2, a, b); }),
              Expected(RuntimeError::Overflow, RuntimeErrorText(RuntimeError::Overflow)));
    fp::ClearFlags();
}

TEST(EigenHessenberg, AccumulatedReductionIsOrthogonalAndSimilar) {
    for (int n : {3, 4, 6, 11}) {
        const Rows rows = RandomRows(n, 100 + n, false);
        Square a = ToSquare(rows);
        bool cancel = false;
        Context ctx(nullptr, &cancel);
        const Balance b = Balanced(a);
        const Square balanced = a;
        Vector ort;
        Square z(n);
        detail::eigen::ReduceToHessenberg<Fast>(ctx, n - 1, b.Low, b.High, a, ort);
        detail::eigen::AccumulateHessenberg<Fast>(ctx, n - 1, b.Low, b.High, a, ort, z);
        // Z' Z = I and Z H Z' = balanced A, with H the Hessenberg part.
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                double dot = 0, back = 0;
                for (int k = 0; k < n; ++k) dot += z(k, i) * z(k, j);
                EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-14);
                for (int k = 0; k < n; ++k)
                    for (int l = std::max(k - 1, 0); l < n; ++l) back += z(i, k) * a(k, l) * z(j, l);
                EXPECT_NEAR(back, balanced(i, j), 1e-13) << n << " " << i << " " << j;
            }
    }
}

TEST(EigenUnbalance, ScalesTheBlockRowsAndUndoesTheExchanges) {
    Square z(4);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) z(i, j) = 10 * i + j + 1;
    // Rows 1 and 2 scaled; row 0 was exchanged with row 3; row 3 with itself.
    detail::eigen::UnbalanceVectors<Fast>(3, 1, 2, Vector{3, 0.5, 4, 3}, 3, z);
    EXPECT_EQ(FromSquare(z), (Rows{{31, 32, 33, 34}, {5.5, 6, 6.5, 7}, {84, 88, 92, 96}, {1, 2, 3, 4}}));

    // Low = High: Scale(Low) is an exchange index, not a factor.
    Square y = ToSquare({{1, 2}, {3, 4}});
    detail::eigen::UnbalanceVectors<Fast>(1, 1, 1, Vector{0, 5}, 1, y);
    EXPECT_EQ(FromSquare(y), (Rows{{1, 2}, {3, 4}}));
    detail::eigen::UnbalanceVectors<Fast>(1, 0, 0, Vector{0, 1}, 1, y);
    EXPECT_EQ(FromSquare(y), (Rows{{1, 2}, {3, 4}}));
}

TEST(EigenQl, IterationLimitReportsTheEigenvalueBeingSought) {
    fp::ClearFlags();
    const int n = 3;
    Square a = ToSquare({{4, 5, 5}, {5, 4, 3}, {5, 3, -1}});
    bool cancel = false;
    Context ctx(nullptr, &cancel);
    Vector d(n), e(n);
    Square v(n);
    detail::eigen::TridiagonalizeSymmetric<Fast>(ctx, n - 1, a, d, e, v);
    Vector d2 = d, e2 = e;
    Square v2 = v;
    int32_t failed = -1;
    detail::eigen::TridiagonalQL(ctx, n - 1, d, e, v, failed, 0);
    EXPECT_EQ(failed, 1);
    detail::eigen::TridiagonalQL(ctx, n - 1, d2, e2, v2, failed);
    EXPECT_EQ(failed, 0);
    EXPECT_GT(d2[0], d2[1]);
    EXPECT_GT(d2[1], d2[2]);
    // A diagonal matrix needs no iteration at all.
    Square diag = ToSquare({{1, 0, 0}, {0, 3, 0}, {0, 0, 2}});
    Vector d3(n), e3(n);
    Square v3(n);
    detail::eigen::TridiagonalizeSymmetric<Fast>(ctx, n - 1, diag, d3, e3, v3);
    detail::eigen::TridiagonalQL(ctx, n - 1, d3, e3, v3, failed, 0);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(d3, (Vector{3, 2, 1}));
    EXPECT_EQ(FromSquare(v3), (Rows{{0, 0, 1}, {1, 0, 0}, {0, 1, 0}}));
}

// The plain form traverses independent elements in a cache-friendly order
// (with the column kernels at each of their vector widths); the checked
// form follows the statements one by one. Both must agree to the last bit,
// for structured and random inputs of many orders.
TEST(EigenStages, PlainAndCheckedFormsAgreeBitForBit) {
    std::vector<Rows> cases;
    for (int n = 1; n <= 24; n += (n < 8 ? 1 : 5)) {
        cases.push_back(RandomRows(n, 7 * n, false));
        cases.push_back(RandomRows(n, 7 * n + 1, true));
        Rows sparse = RandomRows(n, 7 * n + 2, false);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                if ((i * 3 + j) % 4 == 0 && i != j) sparse[i][j] = 0;
        if (n > 2) {
            for (int j = 0; j < n; ++j)
                if (j != 1) sparse[j][1] = 0;  // an isolated column
            for (int j = 0; j < n; ++j)
                if (j != n - 2) sparse[n - 2][j] = 0;  // an isolated row
        }
        cases.push_back(sparse);
    }
    cases.push_back({{0, 0, 1}, {1, 0, 0}, {0, 1, 0}});
    cases.push_back({{1, 16}, {1, 1}});
    fp::ClearFlags();
    for (bool wide : KernelWidths()) {
        KernelWidth width(wide);
        for (const Rows& rows : cases) {
            const int n = static_cast<int>(rows.size());
            bool cancel = false;
            Context ctx(nullptr, &cancel);
            Square a1 = ToSquare(rows), a2 = ToSquare(rows);
            Vector wr1, wi1, wr2, wi2;
            Square z1, z2;
            int32_t f1 = -1, f2 = -1;
            detail::eigen::GeneralEigenSolve<Fast>(ctx, n - 1, a1, wr1, wi1, z1, f1);
            detail::eigen::GeneralEigenSolve<Checked>(ctx, n - 1, a2, wr2, wi2, z2, f2);
            EXPECT_EQ(f1, f2);
            EXPECT_TRUE(SameBitsAll(wr1, wr2)) << n;
            EXPECT_TRUE(SameBitsAll(wi1, wi2)) << n;
            EXPECT_TRUE(SameBitsAll(z1.Data(), z2.Data())) << n;
            EXPECT_TRUE(SameBitsAll(a1.Data(), a2.Data())) << n;

            const Square s = ToSquare(rows);
            Vector d1(n), e1(n), d2(n), e2(n);
            Square v1(n), v2(n);
            detail::eigen::TridiagonalizeSymmetric<Fast>(ctx, n - 1, s, d1, e1, v1);
            detail::eigen::TridiagonalizeSymmetric<Checked>(ctx, n - 1, s, d2, e2, v2);
            EXPECT_TRUE(SameBitsAll(d1, d2) && SameBitsAll(e1, e2) && SameBitsAll(v1.Data(), v2.Data())) << n;
            EXPECT_FALSE(fp::HasFault());
        }
    }
}

// The solvers' column rotations run on the shared plane-rotation kernel
// with columns and coefficients renamed; each must give the bits of its
// own scalar statements, at every vector width and for lengths with and
// without tails.
TEST(EigenStages, ColumnRotationsMatchTheirScalarStatements) {
    namespace kernels = detail::eigen::kernels;  // the solvers' names for the kernels
    TestRandom rnd(2024);
    for (bool wide : KernelWidths()) {
        KernelWidth width(wide);
        for (std::size_t n : {1u, 2u, 3u, 7u, 16u, 17u, 33u, 70u}) {
            std::vector<double> a(n), b(n);
            for (std::size_t i = 0; i < n; ++i) {
                a[i] = rnd.Next() * 1e3;
                b[i] = rnd.Next() * 1e-3;
            }
            const double c = rnd.Next(), s = rnd.Next();

            // QL rotation: h = b; b = s*a + c*h; a = c*a - s*h.
            std::vector<double> qa = a, qb = b, ka = a, kb = b;
            for (std::size_t i = 0; i < n; ++i) {
                const double h = qb[i];
                qb[i] = s * qa[i] + c * h;
                qa[i] = c * qa[i] - s * h;
            }
            kernels::Rotate(kb.data(), ka.data(), c, s, n);
            EXPECT_TRUE(SameBitsAll(qa, ka) && SameBitsAll(qb, kb)) << "QL, n=" << n << " wide=" << wide;

            // Pair rotation (p = c, q = s): z = a; a = q*z + p*b; b = q*b - p*z.
            std::vector<double> pa = a, pb = b, ra = a, rb = b;
            for (std::size_t i = 0; i < n; ++i) {
                const double z = pa[i];
                pa[i] = s * z + c * pb[i];
                pb[i] = s * pb[i] - c * z;
            }
            kernels::Rotate(ra.data(), rb.data(), s, c, n);
            EXPECT_TRUE(SameBitsAll(pa, ra) && SameBitsAll(pb, rb)) << "pair, n=" << n << " wide=" << wide;
        }
    }
}

TEST(EigenStages, CheckedFormRaisesTheFirstFaultingStep) {
    // The scale of the first reflection overflows (an overflow), and the
    // plain form then also divides 0 by 0 (an invalid operation); stepwise,
    // the overflow comes first.
    fp::ClearFlags();
    const Rows rows{{1, 1e308, 1e308}, {1e308, 1, 1e308}, {1e308, 1e308, 1}};
    bool cancel = false;
    Context ctx(nullptr, &cancel);
    const Square s = ToSquare(rows);
    Vector d(3), e(3);
    Square v(3);
    EXPECT_EQ(RuntimeErrorDescription([&] { detail::eigen::TridiagonalizeSymmetric<Checked>(ctx, 2, s, d, e, v); }),
              Expected(RuntimeError::Overflow, RuntimeErrorText(RuntimeError::Overflow)));
    fp::ClearFlags();
    // Without a replay the plain form can only report the flags it holds,
    // where the invalid operation takes precedence.
    Vector d2(3), e2(3);
    Square v2(3);
    EXPECT_EQ(RuntimeErrorDescription([&] { detail::eigen::TridiagonalizeSymmetric<Fast>(ctx, 2, s, d2, e2, v2); }),
              Expected(RuntimeError::Overflow, kInvalidOperationText));
    fp::ClearFlags();
}

}  // namespace
}  // namespace kestrim::test
