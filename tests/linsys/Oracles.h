// Plain scalar versions of the eliminations, written loop for loop from the
// algorithm descriptions, on row-indexed arrays. The component's optimised
// code must give exactly the same bits.
#pragma once

#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "support/DenseRows.h"
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

// Partial pivoting down column k from row k: the row of the largest
// magnitude, the last of equal ones when `lastOfTies`, else the first;
// -1 when no element is nonzero (a NaN never wins the comparison).
inline int PivotRow(const Rows& a, int k, bool lastOfTies) {
    const int n = static_cast<int>(a.size());
    double big = 0;
    int p = k;
    for (int i = k; i < n; ++i) {
        const double m = std::fabs(a[i][k]);
        if (lastOfTies ? std::isgreaterequal(m, big) : std::isgreater(m, big)) {
            p = i;
            big = m;
        }
    }
    return big == 0 ? -1 : p;
}

// Gauss-Jordan inversion; nullopt when a pivot column is all zero.
inline std::optional<Rows> GaussJordan(Rows a) {
    const int n = static_cast<int>(a.size());
    Rows b(n, std::vector<double>(n, 0.0));
    for (int i = 0; i < n; ++i) b[i][i] = 1;
    for (int k = 0; k < n; ++k) {
        const int p = PivotRow(a, k, true);
        if (p < 0) return std::nullopt;
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
        const int p = PivotRow(a, k, true);
        if (p < 0) return 0.0;
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
        const int p = PivotRow(a, k, false);
        if (p < 0) return std::nullopt;
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
    return FillRows(n, m, [&] { return integers ? small(gen) : real(gen); });
}

// A random well-conditioned matrix: random entries plus n on the diagonal.
inline Rows DominantRows(int n, std::mt19937_64& gen) {
    Rows a = RandomRows(n, n, gen);
    for (int i = 0; i < n; ++i) a[i][i] += n;
    return a;
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
