// The plain (cache-friendly, vectorised) and the step-checked forms of the
// solvers must agree to the last bit, at every kernel width.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "EigenTestUtil.h"
#include "ReferenceQL.h"
#include "eigen/EigenInternal.h"
#include "eigen/EigenKernels.h"
#include "support/WidthsAndThreads.h"

namespace kestrim::test {
namespace {

using namespace detail::eigen;

Square ToSquare(const Rows& rows) {
    const int n = static_cast<int>(rows.size());
    Square s(n);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) s(i, j) = rows[i][j];
    return s;
}

bool SameBitsAll(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), SameBits);
}

TEST(EigenStages, PlainAndCheckedFormsAgreeBitForBit) {
    std::vector<Rows> cases{{{0, 0, 1}, {1, 0, 0}, {0, 1, 0}}, {{1, 16}, {1, 1}}};
    for (int n : {1, 2, 3, 5, 7, 13, 19}) {
        cases.push_back(RandomRows(n, 7 * n, false));
        cases.push_back(RandomRows(n, 7 * n + 1, true));
        Rows sparse = RandomRows(n, 7 * n + 2, false);  // zeros, an isolated column and row
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                if (((i * 3 + j) % 4 == 0 && i != j) || (n > 2 && ((j == 1 && i != 1) || (i == n - 2 && j != i))))
                    sparse[i][j] = 0;
        cases.push_back(sparse);
    }
    // Long enough for the deferred row reflections of the QR steps to be
    // applied in chunks inside the active block and over several steps
    // right of it.
    cases.push_back(RandomRows(90, 5, false));
    fp::ClearFlags();
    ForEachKernelWidth([&](bool) {
        for (const Rows& rows : cases) {
            const int n = static_cast<int>(rows.size());
            bool cancel = false;
            Context ctx(nullptr, &cancel);
            Square a1 = ToSquare(rows), a2 = ToSquare(rows), z1, z2;
            Vector wr1, wi1, wr2, wi2;
            int32_t f1 = -1, f2 = -1;
            GeneralEigenSolve<Fast>(ctx, n - 1, a1, wr1, wi1, z1, f1);
            GeneralEigenSolve<Checked>(ctx, n - 1, a2, wr2, wi2, z2, f2);
            EXPECT_EQ(f1, f2);
            EXPECT_TRUE(SameBitsAll(wr1, wr2) && SameBitsAll(wi1, wi2)) << n;
            EXPECT_TRUE(SameBitsAll(z1.Data(), z2.Data()) && SameBitsAll(a1.Data(), a2.Data())) << n;

            const Square s = ToSquare(rows);
            Vector d1(n), e1(n), d2(n), e2(n);
            Square v1(n), v2(n);
            TridiagonalizeSymmetric<Fast>(ctx, n - 1, s, d1, e1, v1);
            TridiagonalizeSymmetric<Checked>(ctx, n - 1, s, d2, e2, v2);
            EXPECT_TRUE(SameBitsAll(d1, d2) && SameBitsAll(e1, e2) && SameBitsAll(v1.Data(), v2.Data())) << n;
            EXPECT_FALSE(fp::HasFault());
        }
    });
}

// Near the overflow threshold the row updates right of the active block
// are applied after every step instead of over many; the plain form (with
// its replay, as the driver sets it) and the checked form still end alike,
// here in the same error.
TEST(EigenStages, PlainAndCheckedFormsAgreeNearOverflow) {
    for (double factor : {1e303, 1e306}) {
        Rows rows = RandomRows(40, 6, false);
        for (auto& row : rows)
            for (double& v : row) v *= factor;
        std::string errors[2];
        Square a[2] = {ToSquare(rows), ToSquare(rows)}, z[2];
        Vector wr[2], wi[2];
        int32_t failed[2] = {-1, -1};
        for (int form = 0; form < 2; ++form) {
            bool cancel = false;
            Context ctx(nullptr, &cancel);
            ctx.SetReplay([&] {
                Context replay(nullptr, &cancel);
                Square copy = ToSquare(rows), zr;
                Vector wrr, wir;
                int32_t f = 0;
                GeneralEigenSolve<Checked>(replay, 39, copy, wrr, wir, zr, f);
            });
            try {
                if (form == 0) GeneralEigenSolve<Fast>(ctx, 39, a[0], wr[0], wi[0], z[0], failed[0]);
                else GeneralEigenSolve<Checked>(ctx, 39, a[1], wr[1], wi[1], z[1], failed[1]);
            } catch (const std::exception& e) {
                errors[form] = e.what();
            }
            fp::ClearFlags();
        }
        EXPECT_EQ(errors[0], errors[1]) << factor;
        EXPECT_FALSE(errors[0].empty()) << factor;
        EXPECT_EQ(failed[0], failed[1]) << factor;
    }
}

// The QL rotation runs on the shared plane-rotation kernel with renamed
// arguments; it must give the bits of its own scalar statements.
TEST(EigenStages, ColumnRotationsMatchTheirScalarStatements) {
    Rows ab = RandomRows(70, 2024, false);
    ForEachKernelWidth([&](bool wide) {
        for (std::size_t n : {1u, 3u, 7u, 16u, 17u, 70u}) {
            const std::vector<double> a(ab[0].begin(), ab[0].begin() + n), b(ab[1].begin(), ab[1].begin() + n);
            const double c = ab[2][n - 1], s = ab[3][n - 1];
            std::vector<double> qa = a, qb = b, ka = a, kb = b;
            for (std::size_t i = 0; i < n; ++i) {
                const double h = qb[i];  // QL: h = b; b = s*a + c*h; a = c*a - s*h
                qb[i] = s * qa[i] + c * h;
                qa[i] = c * qa[i] - s * h;
            }
            kernels::Rotate(kb.data(), ka.data(), c, s, n);
            EXPECT_TRUE(SameBitsAll(qa, ka) && SameBitsAll(qb, kb)) << n << wide;
        }
    });
}

// The QL iteration applies its recorded rotations to V a block of rows at a
// time; eigenvalues, eigenvectors and the failure index must be those of the
// plain statement-by-statement iteration, at every kernel width and for
// orders around the block sizes.
struct QlCase {
    std::vector<double> d, e;
    Rows v;
    int32_t limit = 30;
    bool fails = false;  // the input is built to fail
};

QlCase TridiagonalOf(const Rows& a) {
    const int n = static_cast<int>(a.size());
    bool cancel = false;
    Context ctx(nullptr, &cancel);
    const Square s = ToSquare(a);
    Vector d(n), e(n);
    Square v(n);
    TridiagonalizeSymmetric<Fast>(ctx, n - 1, s, d, e, v);
    QlCase c{d, e, Rows(n, std::vector<double>(n))};
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) c.v[i][j] = v(i, j);
    return c;
}

QlCase Tridiagonal(std::vector<double> d, std::vector<double> e) {
    const int n = static_cast<int>(d.size());
    QlCase c{std::move(d), std::move(e), Rows(n, std::vector<double>(n, 0.0))};
    for (int i = 0; i < n; ++i) c.v[i][i] = 1.0;
    return c;
}

TEST(EigenStages, RecordedQlMatchesThePlainIteration) {
    std::vector<QlCase> cases;
    for (int n : {1, 2, 3, 4, 5, 8, 31, 33, 47, 64, 97, 130, 203}) cases.push_back(TridiagonalOf(RandomRows(n, 11 * n, true)));
    // Repeated eigenvalues and a split tridiagonal.
    cases.push_back(Tridiagonal({2, 2, 2, 2, 2}, {0, 1e-30, 1, 0, 1}));
    // Faults in the shift (overflow, then 0/0 from a zero hypotenuse), and
    // iteration caps reached at the first and at a later eigenvalue.
    for (QlCase c : {Tridiagonal({1, 1, 1}, {0, 1e308, 1}), Tridiagonal({1, 2, 1, 1}, {0, 0, 1e308, 1}),
                     Tridiagonal({1e300, 3, 1e300, 2}, {0, 1e300, 1e300, 1e300})}) {
        c.fails = true;
        cases.push_back(c);
    }
    QlCase capped = TridiagonalOf(RandomRows(40, 5, true));
    capped.fails = true;
    capped.limit = 1;
    cases.push_back(capped);
    capped.limit = 3;
    cases.push_back(capped);

    ForEachWidthAndThreadCount([&](bool wide, int threads) {
        for (const QlCase& c : cases) {
            const int n = static_cast<int>(c.d.size());
            QlReference ref{c.d, c.e, c.v, -1};
            RunReferenceQl(ref, c.limit);

            bool cancel = false;
            Context ctx(nullptr, &cancel);
            Vector d = c.d, e = c.e;
            Square v = ToSquare(c.v);
            int32_t failed = -1;
            TridiagonalQL(ctx, n - 1, d, e, v, failed, c.limit);
            EXPECT_FALSE(fp::HasFault());
            EXPECT_EQ(failed, ref.failed) << n;
            EXPECT_EQ(c.fails, ref.failed != 0) << n << " fails at " << ref.failed;
            if (failed != 0) continue;  // the driver discards a failed run
            bool same = SameBitsAll(d, ref.d);
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < n; ++j) same = same && SameBits(v(i, j), ref.v[i][j]);
            EXPECT_TRUE(same) << "order " << n << " wide " << wide << " threads " << threads;
        }
    });
}

// Large enough for the reductions, the recorded rotations and reflections
// and the accumulations to split their work among threads: every thread
// count gives the bits of one thread (which the tests above tie to the
// plain statement order), on both paths and at every kernel width.
TEST(EigenStages, EveryThreadCountGivesTheSameBits) {
    for (bool symmetric : {true, false}) {
        const Rows rows = RandomRows(150, symmetric ? 3 : 4, symmetric);
        std::vector<EigenResult> results;
        ForEachWidthAndThreadCount([&](bool, int) { results.push_back(RunEigen(MakeMatrix(rows))); });
        // With events on, the stages keep their step order between events.
        MatrixPtr withEvents = MakeMatrix(rows);
        withEvents->SetFireEvents(true);
        results.push_back(RunEigen(withEvents));
        for (std::size_t k = 1; k < results.size(); ++k) {
            EXPECT_TRUE(SameBitsAll(results[k].wr, results[0].wr) && SameBitsAll(results[k].wi, results[0].wi))
                << symmetric << " run " << k;
            EXPECT_EQ(BitDifferences(results[k].vr, results[0].vr) + BitDifferences(results[k].vi, results[0].vi), 0)
                << symmetric << " run " << k;
        }
        EXPECT_LT(WorstResidual(rows, results[0]), 1e-13);
    }
}

}  // namespace
}  // namespace kestrim::test
