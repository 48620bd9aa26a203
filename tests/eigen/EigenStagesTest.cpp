// The plain (cache-friendly, vectorised) and the step-checked forms of the
// solvers must agree to the last bit, at every kernel width.
#include <gtest/gtest.h>

#include <algorithm>

#include "EigenTestUtil.h"
#include "eigen/EigenInternal.h"
#include "eigen/EigenKernels.h"
#include "support/KernelWidth.h"

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
    fp::ClearFlags();
    for (bool wide : KernelWidths()) {
        KernelWidth width(wide);
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
    }
}

// The QL rotation runs on the shared plane-rotation kernel with renamed
// arguments; it must give the bits of its own scalar statements.
TEST(EigenStages, ColumnRotationsMatchTheirScalarStatements) {
    Rows ab = RandomRows(70, 2024, false);
    for (bool wide : KernelWidths()) {
        KernelWidth width(wide);
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
    }
}

}  // namespace
}  // namespace kestrim::test
