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
#include "decomp/Kernels.h"
#include "support/TestSupport.h"

namespace kestrim::test {

using reference::Grid;

inline Grid RandomGrid(int m, int n, uint32_t seed, double lo = -1.0, double hi = 1.0) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(lo, hi);
    Grid g(m, std::vector<double>(n));
    for (auto& row : g)
        for (double& x : row) x = dist(gen);
    return g;
}

// The vector widths the kernels can run with on this processor: each
// bit-exactness test runs once per width (the results must not differ).
inline std::vector<bool> KernelWidths() {
#if KESTRIM_DECOMP_AVX
    if (detail::kernels::useAvx) return {true, false};
#endif
    return {false};
}

// Selects the 256-bit kernels (when available) for the life of the object.
class KernelWidth {
public:
    explicit KernelWidth([[maybe_unused]] bool wide) {
#if KESTRIM_DECOMP_AVX
        saved_ = detail::kernels::useAvx;
        detail::kernels::useAvx = wide;
#endif
    }
    ~KernelWidth() {
#if KESTRIM_DECOMP_AVX
        detail::kernels::useAvx = saved_;
#endif
    }
    KernelWidth(const KernelWidth&) = delete;
    KernelWidth& operator=(const KernelWidth&) = delete;

private:
    [[maybe_unused]] bool saved_ = false;
};

inline bool HasStorage(const Matrix& m) { return detail::MatrixAccess::Elements(m).HasStorage(); }

inline Grid ToGrid(const Matrix& m) { return ToRows(m); }

inline Grid Transposed(const Grid& a) {
    Grid t(a[0].size(), std::vector<double>(a.size()));
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < a[0].size(); ++j) t[j][i] = a[i][j];
    return t;
}

inline Grid Multiply(const Grid& a, const Grid& b) {
    Grid c(a.size(), std::vector<double>(b[0].size(), 0.0));
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t k = 0; k < b.size(); ++k)
            for (std::size_t j = 0; j < b[0].size(); ++j) c[i][j] += a[i][k] * b[k][j];
    return c;
}

inline Grid Identity(std::size_t n) {
    Grid g(n, std::vector<double>(n, 0.0));
    for (std::size_t i = 0; i < n; ++i) g[i][i] = 1.0;
    return g;
}

inline double MaxAbsDiff(const Grid& a, const Grid& b) {
    EXPECT_EQ(a.size(), b.size());
    EXPECT_EQ(a[0].size(), b[0].size());
    double d = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < a[0].size(); ++j) d = std::max(d, std::fabs(a[i][j] - b[i][j]));
    return d;
}

// Counts the elements that differ in their bits (so -0 and +0 differ).
inline int BitDifferences(const Grid& a, const Grid& b) {
    if (a.size() != b.size() || a[0].size() != b[0].size()) return -1;
    int count = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < a[0].size(); ++j)
            if (!SameBits(a[i][j], b[i][j])) ++count;
    return count;
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
