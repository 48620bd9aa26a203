// Helpers shared by the decomposition tests: random matrices, conversions
// between Matrix objects and row-indexed grids, and small dense algebra
// used to check factorisations.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "ReferenceDecomp.h"
#include "core/MatrixAccess.h"
#include "support/DenseRows.h"
#include "support/KernelWidth.h"
#include "support/TestSupport.h"

namespace kestrim::test {

using reference::Grid;

inline Grid RandomGrid(int m, int n, uint32_t seed, double lo = -1.0, double hi = 1.0) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(lo, hi);
    return FillRows(m, n, [&] { return dist(gen); });
}

inline bool HasStorage(const Matrix& m) { return detail::MatrixAccess::Elements(m).HasStorage(); }

inline Grid ToGrid(const Matrix& m) { return ToRows(m); }

inline double MaxAbsDiff(const Grid& a, const Grid& b) {
    EXPECT_EQ(a.size(), b.size());
    EXPECT_EQ(a[0].size(), b[0].size());
    double d = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < a[0].size(); ++j) d = std::max(d, std::fabs(a[i][j] - b[i][j]));
    return d;
}

// Singular values by cyclic one-sided Jacobi rotations on the columns of a
// copy of `a` (an independent method), sorted in decreasing order.
inline std::vector<double> JacobiSingularValues(Grid a) {
    const std::size_t m = a.size(), n = a[0].size();
    for (int sweep = 0; sweep < 100; ++sweep) {
        double off = 0.0;
        for (std::size_t p = 0; p + 1 < n; ++p) {
            for (std::size_t q = p + 1; q < n; ++q) {
                double alpha = 0, beta = 0, gamma = 0;
                for (std::size_t i = 0; i < m; ++i) {
                    alpha += a[i][p] * a[i][p];
                    beta += a[i][q] * a[i][q];
                    gamma += a[i][p] * a[i][q];
                }
                if (gamma == 0.0) continue;
                off = std::max(off, std::fabs(gamma) / std::sqrt(alpha * beta));
                const double zeta = (beta - alpha) / (2.0 * gamma);
                const double t = (zeta >= 0 ? 1.0 : -1.0) / (std::fabs(zeta) + std::sqrt(1.0 + zeta * zeta));
                const double c = 1.0 / std::sqrt(1.0 + t * t), s = c * t;
                for (std::size_t i = 0; i < m; ++i) {
                    const double x = a[i][p], y = a[i][q];
                    a[i][p] = c * x - s * y;
                    a[i][q] = s * x + c * y;
                }
            }
        }
        if (off < 1e-15) break;
    }
    std::vector<double> sv(n);
    for (std::size_t j = 0; j < n; ++j) {
        double s = 0;
        for (std::size_t i = 0; i < m; ++i) s += a[i][j] * a[i][j];
        sv[j] = std::sqrt(s);
    }
    std::sort(sv.rbegin(), sv.rend());
    return sv;
}

}  // namespace kestrim::test
