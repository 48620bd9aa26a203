// Plain scalar eliminations, loop for loop; the optimised code must give the same bits.
#pragma once

#include <optional>
#include <random>

#include "support/DenseRows.h"
#include "support/TestSupport.h"

namespace kestrim::test::oracle {

struct LuResult {  // a: U on and above the diagonal, the multipliers below
    Rows a;
    std::vector<int32_t> perm;
    int32_t sign = 1;
};

// Crout with implicit pivoting; nullopt for a zero row. Stops after `columns` if given.
inline std::optional<LuResult> Lu(Rows a, int columns = -1) {
    const int n = static_cast<int>(a.size());
    LuResult r;
    for (int i = 0; i < n; ++i) r.perm.push_back(i);
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

// Largest magnitude in column k from row k (the last of ties if `lastOfTies`); -1 if all zero.
inline int PivotRow(const Rows& a, int k, bool lastOfTies) {
    double big = 0;
    int p = k;
    for (int i = k; i < static_cast<int>(a.size()); ++i) {
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
    Rows b = Identity(n);
    for (int k = 0; k < n; ++k) {
        const int p = PivotRow(a, k, true);
        if (p < 0) return std::nullopt;
        for (int j = k; j < n; ++j) std::swap(a[k][j], a[p][j]);
        std::swap(b[k], b[p]);
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
        if (p != k) sign = -sign;
        for (int j = k; j < n; ++j) std::swap(a[k][j], a[p][j]);
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

// Gauss-Jordan on [A | r], r one column; nullopt when a pivot column is all zero.
inline std::optional<Rows> SolveGauss(Rows a, Rows r) {
    const int n = static_cast<int>(a.size());
    for (int k = 0; k < n; ++k) {
        const int p = PivotRow(a, k, false);
        if (p < 0) return std::nullopt;
        for (int j = k; j < n; ++j) std::swap(a[k][j], a[p][j]);
        std::swap(r[k], r[p]);
        const double d = 1 / a[k][k];
        for (int j = k + 1; j < n; ++j) a[k][j] = a[k][j] * d;
        r[k][0] = r[k][0] * d;
        for (int i = 0; i < n; ++i) {
            if (i == k || a[i][k] == 0) continue;
            const double f = a[i][k];
            for (int j = k + 1; j < n; ++j) a[i][j] = a[i][j] - f * a[k][j];
            r[i][0] = r[i][0] - f * r[k][0];
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

// Uniform reals, or small integers (ties, zeros, exactly singular cases).
inline Rows RandomRows(int n, int m, std::mt19937_64& gen, bool integers = false) {
    std::uniform_real_distribution<double> real(-1.0, 1.0);
    std::uniform_int_distribution<int> small(-2, 2);
    return FillRows(n, m, [&] { return integers ? small(gen) : real(gen); });
}

}  // namespace kestrim::test::oracle
