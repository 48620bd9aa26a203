// Eigen's worked examples (values, vectors, order, events); random checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include "EigenTestUtil.h"

namespace kestrim::test {
namespace {

constexpr double kH = 0.70710678118654752440;

// An expected -0.0 must come back with its sign.
bool Close(double got, double want, double tol) {
    return std::signbit(want) && want == 0 ? SameBits(got, want) : std::fabs(got - want) <= tol;
}

struct Example {
    const char* name;
    Rows a;
    std::vector<double> wr, wi;  // compared within tol
    double tol;
    Rows vr, vi;  // empty: not checked (the residual still is)
    std::optional<std::vector<float>> percents;
};

TEST(EigenExamples, Table) {
    const std::vector<Example> cases{
        {"1x1", {{-2.5}}, {-2.5}, {0}, 0, {{1}}, {{0}}, std::vector<float>{}},
        {"sym2", {{2, 1}, {1, 2}}, {3, 1}, {0, 0}, 1e-15, {{kH, kH}, {kH, -kH}}, {{0, 0}, {0, 0}}, {}},
        {"rotation", {{0, -1}, {1, 0}}, {0, 0}, {1, -1}, 0, {{-1, -1}, {0, 0}}, {{0, -0.0}, {1, -1}},
         std::vector<float>{1, 20, 95, 99, 100}},
        {"two pairs", {{0, -1, 1, 0}, {1, 0, 0, 1}, {0, 0, 0, -2}, {0, 0, 2, 0}}, {0, 0, 0, 0}, {1, -1, 2, -2}, 0,
         {{1, 1, 0, 0}, {0, 0, 1, 1}, {0, 0, -1, -1}, {0, 0, 0, 0}},
         {{0, 0, 1, -1}, {-1, 1, 0, 0}, {0, 0, 0, 0}, {0, 0, 1, -1}}, {}},
        {"sym3", {{4, 5, 5}, {5, 4, 3}, {5, 3, -1}}, {11.576925, -0.485590, -4.091335}, {0, 0, 0}, 1e-6, {}, {},
         std::vector<float>{6.5f, 13, 21.5f, 30, float(160.0 / 3), float(230.0 / 3), 100}},
        // The sort exchanges D(i) with the largest later entry: the two
        // eigenvalue-1 vectors come out reversed.
        {"exchange sort", {{1, 0, 0}, {0, 1, 0}, {0, 0, 2}}, {2, 1, 1}, {0, 0, 0}, 0,
         {{0, 0, 1}, {0, 1, 0}, {1, 0, 0}}, {}, {}},
        {"isolated column", {{1, 0, 2, 1}, {3, 4, 5, 1}, {6, 0, 7, 2}, {1, 0, 1, 3}},
         {4, -0.607374, 9.064478, 2.542895}, {0, 0, 0, 0}, 1e-6, {}, {}, {}},
        {"balancing", {{1, 16}, {1, 1}}, {5, -3}, {0, 0}, 1e-14, {{2 * std::sqrt(2.0), -2 * std::sqrt(2.0)}, {kH, kH}},
         {}, {}},
        // Exact zeros below the diagonal and zero off-diagonal sums: the
        // branches where a division speculated above its zero test, or an
        // operation moved across a flag test, would raise a spurious fault.
        {"triangular", {{3, 1, 2}, {0, -1, 4}, {0, 0, 7}}, {3, -1, 7}, {0, 0, 0}, 0, {}, {},
         std::vector<float>{1, 95, 95, 97, 99, 100}},
        {"upper triangular 2x2", {{2, 1}, {0, 3}}, {2, 3}, {0, 0}, 0, {}, {}, {}},
        {"lower triangular 2x2", {{2, 0}, {1, 3}}, {3, 2}, {0, 0}, 0, {}, {}, {}},
        {"diagonal 2x2", {{5, 0}, {0, -4}}, {5, -4}, {0, 0}, 0, {}, {}, {}},
        {"cyclic", {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}}, {-0.5, -0.5, 1}, {std::sqrt(3.0) / 2, -std::sqrt(3.0) / 2, 0},
         1e-14, {}, {}, {}},
        // Repeated roots on the diagonal: the back-substitution's divisor is
        // zero and must be perturbed instead.
        {"defective real", {{2, 1}, {0, 2}}, {2, 2}, {0, 0}, 0, {}, {}, {}},
        {"defective pair", {{0, -1, 1, 0}, {1, 0, 0, 1}, {0, 0, 0, -1}, {0, 0, 1, 0}}, {0, 0, 0, 0}, {1, -1, 1, -1},
         0, {}, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto a = MakeMatrix(c.a);
        auto rec = Record(a);
        const auto r = RunEigen(a);
        ASSERT_EQ(r.wr.size(), c.wr.size());
        for (size_t k = 0; k < c.wr.size(); ++k)
            EXPECT_TRUE(Close(r.wr[k], c.wr[k], c.tol) && Close(r.wi[k], c.wi[k], c.tol)) << k << ": " << r.wr[k];
        for (size_t i = 0; i < c.vr.size(); ++i)
            for (size_t j = 0; j < c.vr.size(); ++j) {
                EXPECT_TRUE(Close(r.vr[i][j], c.vr[i][j], c.tol)) << i << "," << j << ": " << r.vr[i][j];
                EXPECT_TRUE(c.vi.empty() || Close(r.vi[i][j], c.vi[i][j], c.tol)) << i << "," << j;
            }
        EXPECT_LT(WorstResidual(c.a, r), 1e-14);
        if (c.percents) { EXPECT_EQ(rec->Percents(), *c.percents); }
        ASSERT_FALSE(rec->events.empty());
        EXPECT_EQ(rec->events.back(), (RecordedEvent{"Done", "Eigen", 0.0f}));
    }
}

TEST(EigenExamples, IterationEvents) {
    // The cyclic permutation stalls: 11+ iterations at 20 (the eleventh takes the
    // exceptional shift), one at 57.5 for the pair, then one per column.
    auto a = MakeMatrix({{0, 0, 1}, {1, 0, 0}, {0, 1, 0}});
    auto rec = Record(a);
    a->Eigen();
    auto p = rec->Percents();
    const auto at20 = std::count(p.begin(), p.end(), 20.0f);
    EXPECT_TRUE(at20 >= 11 && at20 <= 21) << at20;
    p.erase(std::remove(p.begin(), p.end(), 20.0f), p.end());
    EXPECT_EQ(p, (std::vector<float>{1, 15, 15, 57.5f, 95, 97, 99, 100}));

    auto b = MakeMatrix({{4, 1, -2, 2, 3}, {1, 2, 0, 1, -1}, {-2, 3, 3, -2, 1}, {2, 1, -2, -1, 4}, {5, -1, 2, 1, 0}});
    rec = Record(b);
    b->Eigen();
    p = rec->Percents();
    ASSERT_GE(p.size(), 14u);
    EXPECT_EQ(std::vector<float>(p.begin(), p.begin() + 8),
              (std::vector<float>{1, float(17.0 / 3), float(31.0 / 3), 15, 15, 16.25f, 17.5f, 20}));
    EXPECT_EQ(std::vector<float>(p.end() - 6, p.end()), (std::vector<float>{95, 96, 97, 98, 99, 100}));
    EXPECT_TRUE(std::is_sorted(p.begin() + 7, p.end()));
}

TEST(EigenQuality, RandomSymmetricAndGeneral) {
    constexpr double eps = 2.220446049250313e-16;
    for (int n : {2, 3, 7, 13, 40}) {
        for (bool sym : {true, false}) {
            const Rows a = RandomRows(n, 1000 * n + sym, sym);
            const auto r = RunEigen(MakeMatrix(a));
            EXPECT_LT(WorstResidual(a, r), 100 * eps) << n << sym;
            for (int k = 0; k < n; ++k) {
                if (sym) {  // descending, real, orthonormal vectors
                    EXPECT_TRUE(k + 1 == n || r.wr[k] >= r.wr[k + 1]);
                    EXPECT_EQ(r.wi[k], 0.0);
                    for (int q = 0; q < n; ++q) {
                        double dot = 0;
                        for (int i = 0; i < n; ++i) dot += r.vr[i][k] * r.vr[i][q];
                        EXPECT_NEAR(dot, k == q ? 1.0 : 0.0, 10 * n * eps);
                    }
                } else if (r.wi[k] != 0) {  // WI(k) > 0, then its conjugate
                    ASSERT_LT(k + 1, n);
                    EXPECT_GT(r.wi[k], 0.0);
                    EXPECT_EQ(r.wi[k + 1], -r.wi[k]);
                    EXPECT_EQ(r.wr[k + 1], r.wr[k]);
                    for (int i = 0; i < n; ++i) EXPECT_EQ(r.vi[i][k + 1], -r.vi[i][k]);
                    ++k;
                }
            }
        }
    }
}

}  // namespace
}  // namespace kestrim::test
