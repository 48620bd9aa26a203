// Plain scalar versions of the eliminations, written loop for loop from the
// algorithm descriptions, on row-indexed arrays. The component's optimised
// code must give exactly the same bits.
#pragma once

#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "support/TestSupport.h"

namespace kestrim::test::oracle {

struct LuResult {
    Rows a;  // U on and above the diagonal, multipliers below
    std::vector<int> perm;
    int sign = 1;
};

// Crout with implicit pivoting; nullopt when a row is entirely zero. Stops
// after `columns` columns when that is given.
inline std::optional<LuResult> Lu(Rows a, int columns = -1) {
    const int n = static_cast<int>(a.size());
    LuResult r;
    r.perm.resize(n);
    for (int i = 0; i < n; ++i) r.perm[i] = i;
    std::vector<double> scale(n);
    for (int i = 0; i < n; ++i) {
        double big = 0;
        for (int j = 0; j < n; ++j)
            if (std::isgreater(std::fabs(a[i][j]), big)) big = std::fabs(a[i][j]);
        if (big == 0) return std::nullopt;
        scale[i] = 1 / big;
    }
    int imax = 0;
    for (int j = 0; j < (columns < 0 ? n : columns); ++j) {
        for (int i = 0; i < j; ++i) {
            double sum = a[i][j];
            for (int k = 0; k < i; ++k) sum = sum - a[i][k] * a[k][j];
            a[i][j] = sum;
        }
        double big = 0;
        for (int i = j; i < n; ++i) {
            double sum = a[i][j];
            for (int k = 0; k < j; ++k) sum = sum - a[i][k] * a[k][j];
            a[i][j] = sum;
            const double w = scale[i] * std::fabs(sum);
            if (std::isgreaterequal(w, big)) {
                big = w;
                imax = i;
            }
        }
        if (imax != j) {
            std::swap(a[imax], a[j]);
            r.sign = -r.sign;
            scale[imax] = scale[j];
        }
        std::swap(r.perm[j], r.perm[imax]);
        if (a[j][j] == 0) a[j][j] = 1.0e-20;
        if (j < n - 1) {
            const double d = 1 / a[j][j];
            for (int i = j + 1; i < n; ++i) a[i][j] = a[i][j] * d;
        }
    }
    r.a = a;
    return r;
}

// Gauss-Jordan inversion; nullopt when a pivot column is all zero.
inline std::optional<Rows> GaussJordan(Rows a) {
    const int n = static_cast<int>(a.size());
    Rows b(n, std::vector<double>(n, 0.0));
    for (int i = 0; i < n; ++i) b[i][i] = 1;
    for (int k = 0; k < n; ++k) {
        double big = 0;
        int p = k;
        for (int i = k; i < n; ++i)
            if (std::isgreaterequal(std::fabs(a[i][k]), big)) {
                p = i;
                big = std::fabs(a[i][k]);
            }
        if (big == 0) return std::nullopt;
        if (p != k) {
            for (int j = k; j < n; ++j) std::swap(a[k][j], a[p][j]);
            std::swap(b[k], b[p]);
        }
        const double d = 1 / a[k][k];
        for (int j = k; j < n; ++j) a[k][j] = a[k][j] * d;
        for (int j = 0; j < n; ++j) b[k][j] = b[k][j] * d;
        for (int i = 0; i < n; ++i) {
            if (i == k) continue;
            const double f = a[i][k];
            for (int j = k; j < n; ++j) a[i][j] = a[i][j] - f * a[k][j];
            for (int j = 0; j < n; ++j) b[i][j] = b[i][j] - f * b[k][j];
        }
    }
    return b;
}

inline double Determinant(Rows a) {
    const int n = static_cast<int>(a.size());
    double sign = 1;
    for (int k = 0; k < n; ++k) {
        double big = 0;
        int p = k;
        for (int i = k; i < n; ++i)
            if (std::isgreaterequal(std::fabs(a[i][k]), big)) {
                p = i;
                big = std::fabs(a[i][k]);
            }
        if (big == 0) return 0.0;
        if (p != k) {
            for (int j = k; j < n; ++j) std::swap(a[k][j], a[p][j]);
            sign = -sign;
        }
        for (int i = k + 1; i < n; ++i) {
            if (a[i][k] == 0) continue;
            const double f = a[i][k] / a[k][k];
            for (int j = k; j < n; ++j) a[i][j] = a[i][j] - f * a[k][j];
        }
    }
    double product = 1;
    for (int i = 0; i < n; ++i) product = product * a[i][i];
    return product * sign;
}

// Gauss-Jordan on [A | b]; nullopt when a pivot column is all zero.
inline std::optional<std::vector<double>> SolveGauss(Rows a, std::vector<double> r) {
    const int n = static_cast<int>(a.size());
    for (int k = 0; k < n; ++k) {
        double big = 0;
        int p = k;
        for (int i = k; i < n; ++i)
            if (std::isgreater(std::fabs(a[i][k]), big)) {
                p = i;
                big = std::fabs(a[i][k]);
            }
        if (big == 0) return std::nullopt;
        if (p != k) {
            for (int j = k; j < n; ++j) std::swap(a[k][j], a[p][j]);
            std::swap(r[k], r[p]);
        }
        const double d = 1 / a[k][k];
        for (int j = k + 1; j < n; ++j) a[k][j] = a[k][j] * d;
        r[k] = r[k] * d;
        for (int i = 0; i < n; ++i) {
            if (i == k || a[i][k] == 0) continue;
            const double f = a[i][k];
            for (int j = k + 1; j < n; ++j) a[i][j] = a[i][j] - f * a[k][j];
            r[i] = r[i] - f * r[k];
        }
    }
    return r;
}

// Cholesky of a symmetric positive definite matrix (no failure handling).
inline Rows Cholesky(const Rows& A) {
    const int n = static_cast<int>(A.size());
    Rows c(n, std::vector<double>(n, 0.0));
    for (int j = 0; j < n; ++j) {
        double s = 0;
        for (int k = 0; k < j; ++k) s = s + c[j][k] * c[j][k];
        c[j][j] = std::sqrt(A[j][j] - s);
        for (int i = j + 1; i < n; ++i) {
            s = 0;
            for (int k = 0; k < j; ++k) s = s + c[i][k] * c[j][k];
            c[i][j] = (A[j][i] - s) / c[j][j];
        }
    }
    return c;
}

// Random matrices: uniform reals, or small integers (which bring ties,
// zero entries and exactly singular cases).
inline Rows RandomRows(int n, int m, std::mt19937_64& gen, bool integers = false) {
    std::uniform_real_distribution<double> real(-1.0, 1.0);
    std::uniform_int_distribution<int> small(-2, 2);
    Rows a(n, std::vector<double>(m));
    for (auto& row : a)
        for (auto& x : row) x = integers ? small(gen) : real(gen);
    return a;
}

// A random well-conditioned matrix: random entries plus n on the diagonal.
inline Rows DominantRows(int n, std::mt19937_64& gen) {
    Rows a = RandomRows(n, n, gen);
    for (int i = 0; i < n; ++i) a[i][i] += n;
    return a;
}

inline Rows Multiply(const Rows& x, const Rows& y) {
    Rows z(x.size(), std::vector<double>(y[0].size(), 0.0));
    for (std::size_t i = 0; i < x.size(); ++i)
        for (std::size_t k = 0; k < y.size(); ++k)
            for (std::size_t j = 0; j < y[0].size(); ++j) z[i][j] += x[i][k] * y[k][j];
    return z;
}

inline double MaxAbs(const Rows& a) {
    double m = 0;
    for (const auto& row : a)
        for (double x : row) m = std::max(m, std::fabs(x));
    return m;
}

inline bool SameRows(const Rows& x, const Rows& y) {
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i].size() != y[i].size()) return false;
        for (std::size_t j = 0; j < x[i].size(); ++j)
            if (!SameBits(x[i][j], y[i][j])) return false;
    }
    return true;
}

}  // namespace kestrim::test::oracle

// Asserts that `stmt` raises the runtime error with description `text`
// (an invalid operation shares overflow's number, so the text tells them apart).
#define EXPECT_FAULT(stmt, text)                                           \
    do {                                                                   \
        try {                                                              \
            stmt;                                                          \
            ADD_FAILURE() << "expected arithmetic fault " << (text);       \
        } catch (const ::kestrim::Error& e_) {                             \
            EXPECT_EQ(e_.Description(), std::string(text));                \
        }                                                                  \
    } while (0)
