// Accuracy of Eigen beyond the worked examples: residuals of every pair,
// orthonormality and order on the symmetric path, the layout of complex
// pairs, and agreement with roots known in advance.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "EigenTestUtil.h"

namespace kestrim::test {
namespace {

constexpr double kEps = 2.220446049250313e-16;

TEST(EigenQuality, RandomSymmetric) {
    for (int n : {2, 3, 5, 8, 13, 30, 64}) {
        for (uint64_t seed = 1; seed <= 3; ++seed) {
            const Rows a = RandomRows(n, 1000 * n + seed, true);
            const auto r = RunEigen(MakeMatrix(a));
            EXPECT_LT(WorstResidual(a, r), 20 * kEps) << n;
            for (int k = 0; k + 1 < n; ++k) EXPECT_GE(r.wr[k], r.wr[k + 1]) << n;
            for (int k = 0; k < n; ++k) EXPECT_EQ(r.wi[k], 0.0);
            EXPECT_EQ(MaxAbs(r.vi), 0.0);
            double worst = 0;
            for (int p = 0; p < n; ++p)
                for (int q = 0; q < n; ++q) {
                    double dot = 0;
                    for (int i = 0; i < n; ++i) dot += r.vr[i][p] * r.vr[i][q];
                    worst = std::max(worst, std::fabs(dot - (p == q ? 1.0 : 0.0)));
                }
            EXPECT_LT(worst, 10 * n * kEps) << n;
        }
    }
}

// The pair layout: WI(k) > 0 and WI(k+1) = -WI(k), equal real parts,
// conjugate vector columns; real eigenvalues have zero imaginary vectors.
void ExpectPairLayout(const EigenResult& r) {
    const int n = r.order();
    for (int k = 0; k < n; ++k) {
        if (r.wi[k] == 0) {
            for (int i = 0; i < n; ++i) EXPECT_EQ(r.vi[i][k], 0.0);
            continue;
        }
        ASSERT_LT(k + 1, n);
        EXPECT_GT(r.wi[k], 0.0);
        EXPECT_EQ(r.wi[k + 1], -r.wi[k]);
        EXPECT_EQ(r.wr[k + 1], r.wr[k]);
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(r.vr[i][k + 1], r.vr[i][k]);
            EXPECT_EQ(r.vi[i][k + 1], -r.vi[i][k]);
        }
        ++k;
    }
}

TEST(EigenQuality, RandomGeneral) {
    int complexSeen = 0;
    for (int n : {2, 3, 4, 7, 10, 20, 40}) {
        for (uint64_t seed = 1; seed <= 4; ++seed) {
            const Rows a = RandomRows(n, 5000 * n + seed, false);
            const auto r = RunEigen(MakeMatrix(a));
            EXPECT_LT(WorstResidual(a, r), 100 * kEps) << n << " " << seed;
            ExpectPairLayout(r);
            for (double w : r.wi) complexSeen += w > 0;
        }
    }
    EXPECT_GT(complexSeen, 10);
}

TEST(EigenQuality, TwoByTwoAgreesWithTheQuadraticFormula) {
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        const Rows a = RandomRows(2, seed, false);
        const double tr = a[0][0] + a[1][1];
        const double det = a[0][0] * a[1][1] - a[0][1] * a[1][0];
        const std::complex<double> disc = std::sqrt(std::complex<double>(tr * tr / 4 - det));
        const auto r = RunEigen(MakeMatrix(a));
        EXPECT_TRUE(SameMultiset(Values(r), {tr / 2 + disc, tr / 2 - disc}, 1e-14)) << seed;
    }
}

// The companion matrix of the monic polynomial with the given roots.
Rows Companion(const std::vector<std::complex<double>>& roots) {
    std::vector<std::complex<double>> c{1.0};
    for (const auto& z : roots) {
        std::vector<std::complex<double>> next(c.size() + 1, 0.0);
        for (size_t i = 0; i < c.size(); ++i) {
            next[i] += c[i];
            next[i + 1] -= z * c[i];
        }
        c = next;
    }
    const int n = static_cast<int>(roots.size());
    Rows a(n, std::vector<double>(n, 0.0));
    for (int j = 0; j < n; ++j) a[0][j] = -c[j + 1].real();
    for (int i = 1; i < n; ++i) a[i][i - 1] = 1;
    return a;
}

TEST(EigenQuality, CompanionMatricesWithKnownRoots) {
    using C = std::complex<double>;
    const std::vector<std::pair<std::vector<C>, double>> cases{
        {{1, 2, 3, 4}, 1e-12},
        {{C(0, 1), C(0, -1), C(1, 2), C(1, -2)}, 1e-12},
        {{-3, 0.5, C(2, 1), C(2, -1), 7}, 1e-11},
        {{2, 2, 2}, 1e-4},  // a triple root: only about eps^(1/3) is attainable
        {{C(1, 1), C(1, -1), C(1, 1), C(1, -1)}, 1e-6},
    };
    for (const auto& [roots, tol] : cases) {
        const Rows a = Companion(roots);
        const auto r = RunEigen(MakeMatrix(a));
        EXPECT_TRUE(SameMultiset(Values(r), roots, tol)) << roots.size();
        ExpectPairLayout(r);
    }
}

TEST(EigenQuality, TriangularAndHessenbergInputs) {
    for (int n : {3, 6, 12}) {
        Rows upper = RandomRows(n, 77 + n, false);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < i; ++j) upper[i][j] = 0;
        const auto r = RunEigen(MakeMatrix(upper));
        // Every root is isolated: the diagonal comes back in place, exactly.
        for (int i = 0; i < n; ++i) EXPECT_EQ(r.wr[i], upper[i][i]);
        EXPECT_LT(WorstResidual(upper, r), 100 * kEps);

        Rows hess = RandomRows(n, 99 + n, false);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j + 1 < i; ++j) hess[i][j] = 0;
        const auto h = RunEigen(MakeMatrix(hess));
        EXPECT_LT(WorstResidual(hess, h), 100 * kEps);
        ExpectPairLayout(h);

        Rows lower = upper;  // lower triangular: the column search isolates
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) lower[i][j] = upper[j][i];
        const auto l = RunEigen(MakeMatrix(lower));
        EXPECT_TRUE(SameMultiset(Values(l), Values(r), 1e-13));
        EXPECT_LT(WorstResidual(lower, l), 100 * kEps);
    }
}

TEST(EigenQuality, DefectiveAndRepeatedEigenvalues) {
    // A Jordan block of order 3 for eigenvalue 2 in disguise: S J S^-1 with
    // S = I + strictly upper ones (S^-1 known exactly).
    const Rows j{{2, 1, 0}, {0, 2, 1}, {0, 0, 2}};
    const Rows s{{1, 1, 1}, {0, 1, 1}, {0, 0, 1}};
    const Rows si{{1, -1, 0}, {0, 1, -1}, {0, 0, 1}};
    Rows a(3, std::vector<double>(3, 0.0));
    for (int p = 0; p < 3; ++p)
        for (int q = 0; q < 3; ++q)
            for (int k = 0; k < 3; ++k)
                for (int l = 0; l < 3; ++l) a[p][q] += s[p][k] * j[k][l] * si[l][q];
    const auto r = RunEigen(MakeMatrix(a));
    EXPECT_TRUE(SameMultiset(Values(r), {2, 2, 2}, 1e-4));
    EXPECT_LT(WorstResidual(a, r), 1e-12);

    // Repeated but not defective, not symmetric: diag(3, 3, -1) in disguise.
    const Rows d{{3, 0, 0}, {0, 3, 0}, {0, 0, -1}};
    Rows b(3, std::vector<double>(3, 0.0));
    for (int p = 0; p < 3; ++p)
        for (int q = 0; q < 3; ++q)
            for (int k = 0; k < 3; ++k)
                for (int l = 0; l < 3; ++l) b[p][q] += s[p][k] * d[k][l] * si[l][q];
    const auto rb = RunEigen(MakeMatrix(b));
    EXPECT_TRUE(SameMultiset(Values(rb), {3, 3, -1}, 1e-13));
    EXPECT_LT(WorstResidual(b, rb), 100 * kEps);
}

TEST(EigenQuality, WidelyScaledEntriesAreBalanced) {
    // Row and column scalings by powers of ten: balancing brings the norms
    // together, and the residual stays small relative to the matrix.
    const int n = 6;
    Rows a = RandomRows(n, 4242, false);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) a[i][j] *= std::pow(10.0, i - j);
    const auto r = RunEigen(MakeMatrix(a));
    for (int k = 0; k < n; ++k) {
        const auto v = r.vector(k);
        double worst = 0, scale = 0;
        for (int i = 0; i < n; ++i) {
            std::complex<double> s = 0;
            double rowScale = 0;
            for (int q = 0; q < n; ++q) {
                s += a[i][q] * v[q];
                rowScale += std::fabs(a[i][q]) * std::abs(v[q]);
            }
            s -= r.value(k) * v[i];
            worst = std::max(worst, std::abs(s));
            scale = std::max(scale, rowScale + std::abs(r.value(k) * v[i]));
        }
        EXPECT_LT(worst, 1e-12 * scale) << k;
    }
}

}  // namespace
}  // namespace kestrim::test

namespace kestrim::test {
namespace {

TEST(EigenQuality, DefectiveQuasiTriangularUsesThePerturbedDivisors) {
    // A repeated real root on the diagonal: w = 0 in the back-substitution,
    // so the divisor is shrunk from the norm until it no longer changes it,
    // and the overflow control then normalizes the vector.
    const Rows real{{2, 1}, {0, 2}};
    const auto r = RunEigen(MakeMatrix(real));
    EXPECT_EQ(r.wr, (std::vector<double>{2, 2}));
    EXPECT_EQ(r.vr[0][1], -1.0);
    EXPECT_GT(r.vr[1][1], 0.0);
    EXPECT_LT(r.vr[1][1], 1e-13);
    EXPECT_LT(WorstResidual(real, r), 1e-15);

    // The same for a repeated complex pair: vr = vi = 0 for the 2 x 2 block.
    const Rows complexPair{{0, -1, 1, 0}, {1, 0, 0, 1}, {0, 0, 0, -1}, {0, 0, 1, 0}};
    const auto c = RunEigen(MakeMatrix(complexPair));
    using C = std::complex<double>;
    EXPECT_TRUE(SameMultiset(Values(c), {C(0, 1), C(0, -1), C(0, 1), C(0, -1)}, 0.0));
    EXPECT_LT(WorstResidual(complexPair, c), 1e-14);
    for (int k = 0; k < 4; ++k) {
        double size = 0;
        for (const auto& x : c.vector(k)) size = std::max(size, std::abs(x));
        EXPECT_GT(size, 0.5);
        EXPECT_LT(size, 2.0);
    }
}

}  // namespace
}  // namespace kestrim::test
