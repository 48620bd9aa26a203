// Plain scalar transcriptions of the Householder QR and the Golub-Reinsch
// SVD, one statement per step, on row-indexed nested vectors. The tests use
// them as an independent oracle: the component's blocked, vectorised
// implementation must match them bit for bit on finite input.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "decomp/NumericHelpers.h"

namespace kestrim::test::reference {

using Grid = std::vector<std::vector<double>>;

struct QrResult {
    Grid q;  // m x n
    Grid r;  // n x n
};

inline QrResult Qr(const Grid& input) {
    const int m = static_cast<int>(input.size());
    const int n = static_cast<int>(input[0].size());
    Grid f = input;
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
    QrResult out;
    out.r.assign(n, std::vector<double>(n, 0.0));
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) out.r[i][j] = i < j ? f[i][j] : (i == j ? diag[i] : 0.0);
    Grid& q = out.q;
    q.assign(m, std::vector<double>(n, 0.0));
    for (int k = n - 1; k >= 0; --k) {
        for (int i = 0; i < m; ++i) q[i][k] = 0;
        q[k][k] = 1;
        for (int j = k; j < n; ++j) {
            if (f[k][k] != 0) {
                double s = 0;
                for (int i = k; i < m; ++i) s = s + q[i][j] * f[i][k];
                s = -s / f[k][k];
                for (int i = k; i < m; ++i) q[i][j] = s * f[i][k] + q[i][j];
            }
        }
    }
    return out;
}

struct SvdResult {
    Grid u;  // m x n
    std::vector<double> w;
    Grid v;  // n x n
    int failure = 0;
    int maxSweeps = 0;  // the largest sweep count any singular value needed
};

inline SvdResult Svd(const Grid& input, bool wantU = true, bool wantV = true) {
    using detail::MaxDouble;
    using detail::SignOf;
    const int m = static_cast<int>(input.size());
    const int n = static_cast<int>(input[0].size());
    SvdResult out;
    Grid a = input;
    std::vector<double> w(n, 0.0), e(n, 0.0);
    Grid v(n, std::vector<double>(n, 0.0));
    double g = 0, scale = 0, anorm = 0, s = 0, f = 0, h = 0;
    int l = 0;
    for (int i = 0; i < n; ++i) {
        l = i + 1;
        e[i] = scale * g;
        g = s = scale = 0;
        if (i <= m - 1) {
            for (int k = i; k < m; ++k) scale = scale + std::fabs(a[k][i]);
            if (scale != 0) {
                for (int k = i; k < m; ++k) {
                    a[k][i] = a[k][i] / scale;
                    s = s + a[k][i] * a[k][i];
                }
                f = a[i][i];
                g = -SignOf(std::sqrt(s), f);
                h = f * g - s;
                a[i][i] = f - g;
                if (i != n - 1) {
                    for (int j = l; j < n; ++j) {
                        s = 0;
                        for (int k = i; k < m; ++k) s = s + a[k][i] * a[k][j];
                        f = s / h;
                        for (int k = i; k < m; ++k) a[k][j] = a[k][j] + f * a[k][i];
                    }
                }
                for (int k = i; k < m; ++k) a[k][i] = scale * a[k][i];
            }
        }
        w[i] = scale * g;
        g = s = scale = 0;
        if (i <= m - 1 && i != n - 1) {
            for (int k = l; k < n; ++k) scale = scale + std::fabs(a[i][k]);
            if (scale != 0) {
                for (int k = l; k < n; ++k) {
                    a[i][k] = a[i][k] / scale;
                    s = s + a[i][k] * a[i][k];
                }
                f = a[i][l];
                g = -SignOf(std::sqrt(s), f);
                h = f * g - s;
                a[i][l] = f - g;
                for (int k = l; k < n; ++k) e[k] = a[i][k] / h;
                if (i != m - 1) {
                    for (int j = l; j < m; ++j) {
                        s = 0;
                        for (int k = l; k < n; ++k) s = s + a[j][k] * a[i][k];
                        for (int k = l; k < n; ++k) a[j][k] = a[j][k] + s * e[k];
                    }
                }
                for (int k = l; k < n; ++k) a[i][k] = scale * a[i][k];
            }
        }
        anorm = MaxDouble(anorm, std::fabs(e[i]) + std::fabs(w[i]));
    }
    if (wantV) {
        for (int i = n - 1; i >= 0; --i) {
            if (i < n - 1) {
                if (g != 0) {
                    for (int j = l; j < n; ++j) v[j][i] = (a[i][j] / a[i][l]) / g;
                    for (int j = l; j < n; ++j) {
                        s = 0;
                        for (int k = l; k < n; ++k) s = s + a[i][k] * v[k][j];
                        for (int k = l; k < n; ++k) v[k][j] = v[k][j] + s * v[k][i];
                    }
                }
                for (int j = l; j < n; ++j) {
                    v[i][j] = 0;
                    v[j][i] = 0;
                }
            }
            v[i][i] = 1;
            g = e[i];
            l = i;
        }
    }
    if (wantU) {
        const int p = (m < n ? m : n) - 1;
        for (int i = p; i >= 0; --i) {
            l = i + 1;
            g = w[i];
            if (i != n - 1)
                for (int j = l; j < n; ++j) a[i][j] = 0;
            if (g != 0) {
                if (i != p) {
                    for (int j = l; j < n; ++j) {
                        s = 0;
                        for (int k = l; k < m; ++k) s = s + a[k][i] * a[k][j];
                        f = (s / a[i][i]) / g;
                        for (int k = i; k < m; ++k) a[k][j] = a[k][j] + f * a[k][i];
                    }
                }
                for (int j = i; j < m; ++j) a[j][i] = a[j][i] / g;
            } else {
                for (int j = i; j < m; ++j) a[j][i] = 0;
            }
            a[i][i] = a[i][i] + 1;
        }
    }
    auto negligible = [&](double x) { return std::fabs(x) + anorm == anorm; };
    double c = 0, x = 0, y = 0, z = 0;
    int nm = 0;
    for (int k = n - 1; k >= 0; --k) {
        for (int its = 0;; ++its) {
            bool flag = true;
            for (l = k; l >= 0; --l) {
                nm = l - 1;
                if (negligible(e[l])) {
                    flag = false;
                    break;
                }
                if (negligible(w[nm])) break;
            }
            if (flag) {
                c = 0;
                s = 1;
                for (int i = l; i <= k; ++i) {
                    f = s * e[i];
                    e[i] = c * e[i];
                    if (negligible(f)) break;
                    g = w[i];
                    h = std::sqrt(g * g + f * f);
                    w[i] = h;
                    c = g / h;
                    s = -f / h;
                    if (wantU) {
                        for (int j = 0; j < m; ++j) {
                            y = a[j][nm];
                            z = a[j][i];
                            a[j][nm] = y * c + z * s;
                            a[j][i] = z * c - y * s;
                        }
                    }
                }
            }
            z = w[k];
            if (l == k) {
                if (z < 0) {
                    w[k] = -z;
                    if (wantV)
                        for (int j = 0; j < n; ++j) v[j][k] = -v[j][k];
                }
                if (its > out.maxSweeps) out.maxSweeps = its;
                break;
            }
            if (its == 30) {
                out.failure = k;
                out.maxSweeps = 30;
                return out;
            }
            x = w[l];
            nm = k - 1;
            y = w[nm];
            g = e[nm];
            h = e[k];
            f = ((y - z) * (y + z) + (g - h) * (g + h)) / (2 * h * y);
            g = std::sqrt(f * f + 1);
            f = ((x - z) * (x + z) + h * (y / (f + SignOf(g, f)) - h)) / x;
            c = s = 1;
            for (int j = l; j <= nm; ++j) {
                const int i = j + 1;
                g = e[i];
                y = w[i];
                h = s * g;
                g = c * g;
                z = std::sqrt(h * h + f * f);
                e[j] = z;
                c = f / z;
                s = h / z;
                f = x * c + g * s;
                g = g * c - x * s;
                h = y * s;
                y = y * c;
                if (wantV) {
                    for (int jj = 0; jj < n; ++jj) {
                        x = v[jj][j];
                        z = v[jj][i];
                        v[jj][j] = x * c + z * s;
                        v[jj][i] = z * c - x * s;
                    }
                }
                z = std::sqrt(h * h + f * f);
                w[j] = z;
                if (z != 0) {
                    c = f / z;
                    s = h / z;
                }
                f = c * g + s * y;
                x = c * y - s * g;
                if (wantU) {
                    for (int jj = 0; jj < m; ++jj) {
                        y = a[jj][j];
                        z = a[jj][i];
                        a[jj][j] = y * c + z * s;
                        a[jj][i] = z * c - y * s;
                    }
                }
            }
            e[l] = 0;
            e[k] = f;
            w[k] = x;
        }
    }
    out.u = a;
    out.w = w;
    out.v = v;
    return out;
}

}  // namespace kestrim::test::reference
