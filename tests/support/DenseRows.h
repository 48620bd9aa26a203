// Small dense algebra on row-indexed grids (Rows), shared by the tests of
// the numerical subsystems: random filling, products, transposes, norms
// and bitwise comparison.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "support/TestSupport.h"

namespace kestrim::test {

// A rows x cols grid whose elements are drawn from `draw()` in row-major
// order, so that a given generator always yields the same grid.
template <class Draw>
Rows FillRows(int rows, int cols, Draw&& draw) {
    Rows a(rows, std::vector<double>(cols));
    for (auto& row : a)
        for (double& x : row) x = draw();
    return a;
}

// The plain triple loop: each sum from +0 in increasing k (only k < kmax).
inline Rows Multiply(const Rows& x, const Rows& y, std::size_t kmax = ~std::size_t{0}) {
    Rows z(x.size(), std::vector<double>(y[0].size(), 0.0));
    for (std::size_t i = 0; i < x.size(); ++i)
        for (std::size_t k = 0; k < std::min(kmax, y.size()); ++k)
            for (std::size_t j = 0; j < y[0].size(); ++j) z[i][j] += x[i][k] * y[k][j];
    return z;
}

inline Rows Transposed(const Rows& a) {
    Rows t(a[0].size(), std::vector<double>(a.size()));
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < a[0].size(); ++j) t[j][i] = a[i][j];
    return t;
}

inline Rows Identity(std::size_t n) {
    Rows g(n, std::vector<double>(n, 0.0));
    for (std::size_t i = 0; i < n; ++i) g[i][i] = 1.0;
    return g;
}

// The largest magnitude of any element (0 for an empty grid).
inline double MaxAbs(const Rows& a) {
    double m = 0;
    for (const auto& row : a)
        for (double x : row) m = std::max(m, std::fabs(x));
    return m;
}

// Counts the elements that differ in their bits (so -0 and +0 differ);
// -1 when the shapes differ.
inline int BitDifferences(const Rows& a, const Rows& b) {
    if (a.size() != b.size()) return -1;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].size() != b[i].size()) return -1;
    int count = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < a[i].size(); ++j)
            if (!SameBits(a[i][j], b[i][j])) ++count;
    return count;
}

// Same shape and the same bits everywhere.
inline bool SameRows(const Rows& x, const Rows& y) { return BitDifferences(x, y) == 0; }

}  // namespace kestrim::test
