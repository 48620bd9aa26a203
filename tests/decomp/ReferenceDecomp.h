// Plain scalar transcriptions of the Householder QR and the Golub-Reinsch SVD on row-indexed grids:
// the oracle the blocked, vectorised code must match bit for bit on finite input.
#pragma once

#include <cmath>
#include <vector>

#include "decomp/NumericHelpers.h"

namespace kestrim::test::reference {

using Grid = std::vector<std::vector<double>>;

struct QrResult { Grid q, r; };

inline QrResult Qr(Grid f) {
    const int m = static_cast<int>(f.size()), n = static_cast<int>(f[0].size());
    std::vector<double> diag(n);
    for (int k = 0; k < n; ++k) {
        double nrm = 0;
        for (int i = k; i < m; ++i) nrm = detail::Pythag(nrm, f[i][k]);
        if (nrm != 0) {
            if (f[k][k] < 0) nrm = -nrm;
            for (int i = k; i < m; ++i) f[i][k] = f[i][k] / nrm;
            f[k][k] = f[k][k] + 1;
            for (int j = k + 1; j < n; ++j) {
                double s = 0;
                for (int i = k; i < m; ++i) s = s + f[i][k] * f[i][j];
                s = -s / f[k][k];
                for (int i = k; i < m; ++i) f[i][j] = f[i][j] + s * f[i][k];
            }
        }
        diag[k] = -nrm;
    }
    QrResult out{Grid(m, std::vector<double>(n, 0.0)), Grid(n, std::vector<double>(n, 0.0))};
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) out.r[i][j] = i < j ? f[i][j] : (i == j ? diag[i] : 0.0);
    Grid& q = out.q;
    for (int k = n - 1; k >= 0; --k) {
        for (int i = 0; i < m; ++i) q[i][k] = 0;
        q[k][k] = 1;
        for (int j = k; j < n; ++j) {
            if (f[k][k] == 0) continue;
            double s = 0;
            for (int i = k; i < m; ++i) s = s + q[i][j] * f[i][k];
            s = -s / f[k][k];
            for (int i = k; i < m; ++i) q[i][j] = s * f[i][k] + q[i][j];
        }
    }
    return out;
}

struct SvdResult {
    Grid u, v;
    std::vector<double> w;
    int failure;  // the index whose iteration gave up after 30 sweeps, else 0
};

// `stopAt` > 0 stops at that progress event, as a cancel there does.
inline SvdResult Svd(Grid a, bool wantU = true, bool wantV = true, int stopAt = 0) {
    using detail::SignOf;
    int events = 0;
    auto stop = [&] { return ++events == stopAt; };
    const int m = static_cast<int>(a.size()), n = static_cast<int>(a[0].size());
    std::vector<double> w(n, 0.0), e(n, 0.0);
    Grid v(n, std::vector<double>(n, 0.0));
    double g = 0, scale = 0, anorm = 0, s = 0, f = 0, h = 0;
    int l = 0;
    for (int i = 0; i < n; ++i) {
        l = i + 1, e[i] = scale * g;
        g = s = scale = 0;
        if (i <= m - 1) {
            for (int k = i; k < m; ++k) scale = scale + std::fabs(a[k][i]);
            if (scale != 0) {
                for (int k = i; k < m; ++k) a[k][i] = a[k][i] / scale, s = s + a[k][i] * a[k][i];
                f = a[i][i], g = -SignOf(std::sqrt(s), f), h = f * g - s;
                a[i][i] = f - g;
                for (int j = l; j < n; ++j) {
                    s = 0;
                    for (int k = i; k < m; ++k) s = s + a[k][i] * a[k][j];
                    f = s / h;
                    for (int k = i; k < m; ++k) a[k][j] = a[k][j] + f * a[k][i];
                }
                for (int k = i; k < m; ++k) a[k][i] = scale * a[k][i];
            }
        }
        w[i] = scale * g;
        g = s = scale = 0;
        if (i <= m - 1 && i != n - 1) {
            for (int k = l; k < n; ++k) scale = scale + std::fabs(a[i][k]);
            if (scale != 0) {
                for (int k = l; k < n; ++k) a[i][k] = a[i][k] / scale, s = s + a[i][k] * a[i][k];
                f = a[i][l], g = -SignOf(std::sqrt(s), f), h = f * g - s;
                a[i][l] = f - g;
                for (int k = l; k < n; ++k) e[k] = a[i][k] / h;
                for (int j = l; j < m && i != m - 1; ++j) {
                    s = 0;
                    for (int k = l; k < n; ++k) s = s + a[j][k] * a[i][k];
                    for (int k = l; k < n; ++k) a[j][k] = a[j][k] + s * e[k];
                }
                for (int k = l; k < n; ++k) a[i][k] = scale * a[i][k];
            }
        }
        anorm = detail::MaxDouble(anorm, std::fabs(e[i]) + std::fabs(w[i]));
        if (stop()) return {a, v, w, 0};
    }
    for (int i = n - 1; i >= 0 && wantV; --i) {
        if (i < n - 1) {
            if (g != 0) {
                for (int j = l; j < n; ++j) v[j][i] = (a[i][j] / a[i][l]) / g;
                for (int j = l; j < n; ++j) {
                    s = 0;
                    for (int k = l; k < n; ++k) s = s + a[i][k] * v[k][j];
                    for (int k = l; k < n; ++k) v[k][j] = v[k][j] + s * v[k][i];
                }
            }
            for (int j = l; j < n; ++j) v[i][j] = v[j][i] = 0;
        }
        v[i][i] = 1, g = e[i], l = i;
    }
    if (wantV && stop()) return {a, v, w, 0};
    const int p = (m < n ? m : n) - 1;
    for (int i = p; i >= 0 && wantU; --i) {
        l = i + 1, g = w[i];
        for (int j = l; j < n; ++j) a[i][j] = 0;
        if (g != 0) {
            for (int j = l; j < n && i != p; ++j) {
                s = 0;
                for (int k = l; k < m; ++k) s = s + a[k][i] * a[k][j];
                f = (s / a[i][i]) / g;
                for (int k = i; k < m; ++k) a[k][j] = a[k][j] + f * a[k][i];
            }
            for (int j = i; j < m; ++j) a[j][i] = a[j][i] / g;
        } else {
            for (int j = i; j < m; ++j) a[j][i] = 0;
        }
        a[i][i] = a[i][i] + 1;
        if (stop()) return {a, v, w, 0};
    }
    auto negligible = [&](double x) { return std::fabs(x) + anorm == anorm; };
    auto rotate = [](Grid& x, int rows, int j, int i, double c, double s) {
        for (int r = 0; r < rows; ++r) {
            const double y = x[r][j], z = x[r][i];
            x[r][j] = y * c + z * s;
            x[r][i] = z * c - y * s;
        }
    };
    double c = 0, x = 0, y = 0, z = 0;
    int nm = 0;
    for (int k = n - 1; k >= 0; --k) {
        for (int its = 0;; ++its) {
            bool flag = true;
            for (l = k; l >= 0; --l) {
                nm = l - 1;
                if (negligible(e[l])) { flag = false; break; }
                if (negligible(w[nm])) break;
            }
            if (flag) {
                c = 0, s = 1;
                for (int i = l; i <= k; ++i) {
                    f = s * e[i], e[i] = c * e[i];
                    if (negligible(f)) break;
                    g = w[i], h = std::sqrt(g * g + f * f), w[i] = h;
                    c = g / h, s = -f / h;
                    if (wantU) rotate(a, m, nm, i, c, s);
                }
            }
            z = w[k];
            if (l == k) {
                if (z < 0) w[k] = -z;
                for (int j = 0; j < n && wantV && z < 0; ++j) v[j][k] = -v[j][k];
                if (stop()) return {a, v, w, 0};
                break;
            }
            if (its == 30) return {a, v, w, k};
            x = w[l], nm = k - 1, y = w[nm], g = e[nm], h = e[k];
            f = ((y - z) * (y + z) + (g - h) * (g + h)) / (2 * h * y);
            g = std::sqrt(f * f + 1);
            f = ((x - z) * (x + z) + h * (y / (f + SignOf(g, f)) - h)) / x;
            c = s = 1;
            for (int j = l; j <= nm; ++j) {
                const int i = j + 1;
                g = e[i], y = w[i], h = s * g, g = c * g;
                z = std::sqrt(h * h + f * f), e[j] = z;
                c = f / z, s = h / z;
                f = x * c + g * s, g = g * c - x * s;
                h = y * s, y = y * c;
                if (wantV) rotate(v, n, j, i, c, s);
                z = std::sqrt(h * h + f * f), w[j] = z;
                if (z != 0) c = f / z, s = h / z;
                f = c * g + s * y, x = c * y - s * g;
                if (wantU) rotate(a, m, j, i, c, s);
            }
            e[l] = 0, e[k] = f, w[k] = x;
        }
    }
    return {a, v, w, 0};
}

}  // namespace kestrim::test::reference
