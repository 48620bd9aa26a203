// General path of Eigen: balancing, orthogonal reduction to upper
// Hessenberg form, accumulation of the reduction, the Hessenberg QR
// iteration (HessenbergQR.cpp) and the undoing of the balancing on the
// eigenvector rows.
#include <cmath>
#include <utility>

#include "decomp/NumericHelpers.h"
#include "decomp/ParallelColumns.h"
#include "eigen/EigenInternal.h"
#include "eigen/EigenKernels.h"

namespace kestrim::detail::eigen {

namespace {

// Exchanges index j with m: columns over rows 0 .. l, rows over columns
// k .. n; records j in Scale(m).
void Exchange(int32_t n, Square& A, Vector& Scale, int32_t j, int32_t m, int32_t k, int32_t l) {
    Scale[m] = static_cast<double>(j);
    if (j == m) return;
    double* cj = A.Col(j);
    double* cm = A.Col(m);
    for (int32_t i = 0; i <= l; ++i) std::swap(cj[i], cm[i]);
    for (int32_t i = k; i <= n; ++i) std::swap(A(j, i), A(m, i));
}

// The reflection from the left on columns j0 .. jLast: for each column,
// f = the sum of ort(i) * A(i, j) from i = High down to m, f = f / h, then
// A(i, j) = A(i, j) - f * ort(i) for i = m .. High. Eight (or four)
// columns' sums are formed together (each still in its own order).
void LeftReflectColumns(Square& A, const Vector& ort, int32_t m, int32_t High, double h, int32_t j0,
                        int32_t jLast) {
    const std::size_t count = static_cast<std::size_t>(High - m) + 1;
    int32_t j = j0;
    for (; j + 7 <= jLast; j += 8) {
        const double* y[8];
        for (int c = 0; c < 8; ++c) y[c] = A.Col(j + c);
        double f[8];
        kernels::DescendingDots8(ort.data(), y, static_cast<std::size_t>(m), static_cast<std::size_t>(High), f);
        for (int c = 0; c < 8; ++c) kernels::SubScaled(A.Col(j + c) + m, ort.data() + m, f[c] / h, count);
    }
    for (; j + 3 <= jLast; j += 4) {
        double* c0 = A.Col(j);
        double* c1 = A.Col(j + 1);
        double* c2 = A.Col(j + 2);
        double* c3 = A.Col(j + 3);
        double f0 = 0.0, f1 = 0.0, f2 = 0.0, f3 = 0.0;
        for (int32_t i = High; i >= m; --i) {
            const double o = ort[i];
            f0 = f0 + o * c0[i];
            f1 = f1 + o * c1[i];
            f2 = f2 + o * c2[i];
            f3 = f3 + o * c3[i];
        }
        f0 = f0 / h;
        f1 = f1 / h;
        f2 = f2 / h;
        f3 = f3 / h;
        kernels::SubScaled(c0 + m, ort.data() + m, f0, count);
        kernels::SubScaled(c1 + m, ort.data() + m, f1, count);
        kernels::SubScaled(c2 + m, ort.data() + m, f2, count);
        kernels::SubScaled(c3 + m, ort.data() + m, f3, count);
    }
    for (; j <= jLast; ++j) {
        double* cj = A.Col(j);
        double f = 0.0;
        for (int32_t i = High; i >= m; --i) f = f + ort[i] * cj[i];
        f = f / h;
        kernels::SubScaled(cj + m, ort.data() + m, f, count);
    }
}

// AccumulateHessenberg's update of columns j0 .. jLast of Z by the
// reflection at mp: g = the sum of ort(i) * Z(i, j) for i = mp .. High,
// g = (g / pivot) / sub, Z(i, j) = Z(i, j) + g * ort(i). Blocks of columns'
// sums are formed together (each in order of i).
void AccumulateColumns(Square& Z, const Vector& ort, int32_t mp, int32_t High, double pivot, double sub,
                       int32_t j0, int32_t jLast) {
    const std::size_t count = static_cast<std::size_t>(High - mp) + 1;
    int32_t j = j0;
    const std::size_t blocked = static_cast<std::size_t>(jLast - j0 + 1) / 8 * 8;
    detail::kernels::ColumnDots(
        ort.data() + mp, static_cast<std::size_t>(j0), static_cast<std::size_t>(j0) + blocked, count,
        [&](std::size_t c) { return Z.Col(static_cast<int32_t>(c)) + mp; },
        [&](std::size_t c, double g) {
            kernels::Axpy(Z.Col(static_cast<int32_t>(c)) + mp, ort.data() + mp, (g / pivot) / sub, count);
        });
    j += static_cast<int32_t>(blocked);
    for (; j + 3 <= jLast; j += 4) {
        double* c0 = Z.Col(j);
        double* c1 = Z.Col(j + 1);
        double* c2 = Z.Col(j + 2);
        double* c3 = Z.Col(j + 3);
        double g0 = 0.0, g1 = 0.0, g2 = 0.0, g3 = 0.0;
        for (int32_t i = mp; i <= High; ++i) {
            const double o = ort[i];
            g0 = g0 + o * c0[i];
            g1 = g1 + o * c1[i];
            g2 = g2 + o * c2[i];
            g3 = g3 + o * c3[i];
        }
        g0 = (g0 / pivot) / sub;
        g1 = (g1 / pivot) / sub;
        g2 = (g2 / pivot) / sub;
        g3 = (g3 / pivot) / sub;
        kernels::Axpy(c0 + mp, ort.data() + mp, g0, count);
        kernels::Axpy(c1 + mp, ort.data() + mp, g1, count);
        kernels::Axpy(c2 + mp, ort.data() + mp, g2, count);
        kernels::Axpy(c3 + mp, ort.data() + mp, g3, count);
    }
    for (; j <= jLast; ++j) {
        double* zj = Z.Col(j);
        double g = 0.0;
        for (int32_t i = mp; i <= High; ++i) g = g + ort[i] * zj[i];
        g = (g / pivot) / sub;
        kernels::Axpy(zj + mp, ort.data() + mp, g, count);
    }
}

}  // namespace

template <class K>
void BalanceMatrix(Context& ctx, int32_t n, Square& A, Balance& b) {
    int32_t k = 0;
    int32_t l = n;

    // Rows isolating an eigenvalue at the bottom.
    bool restart = true;
    while (restart) {
        restart = false;
        for (int32_t j = l; j >= 0; --j) {
            bool isolated = true;
            for (int32_t i = 0; i <= l; ++i) {
                if (i != j && A(j, i) != 0.0) {
                    isolated = false;
                    break;
                }
            }
            if (!isolated) continue;
            Exchange(n, A, b.Scale, j, l, k, l);
            if (l == 0) {
                b.Low = k;
                b.High = 0;
                return;
            }
            l = l - 1;
            restart = true;
            break;
        }
    }

    // Columns isolating an eigenvalue at the top.
    restart = true;
    while (restart) {
        restart = false;
        for (int32_t j = k; j <= l; ++j) {
            bool isolated = true;
            const double* cj = A.Col(j);
            for (int32_t i = k; i <= l; ++i) {
                if (i != j && cj[i] != 0.0) {
                    isolated = false;
                    break;
                }
            }
            if (!isolated) continue;
            Exchange(n, A, b.Scale, j, k, k, l);
            k = k + 1;
            restart = true;
            break;
        }
    }

    for (int32_t i = k; i <= l; ++i) b.Scale[i] = 1.0;

    // Power-of-2 scaling until a pass changes nothing.
    bool noconv = true;
    while (noconv) {
        noconv = false;
        for (int32_t i = k; i <= l; ++i) {
            double c = 0.0;
            double r = 0.0;
            const double* ci = A.Col(i);
            for (int32_t j = k; j <= l; ++j) {
                if (j == i) continue;
                c = c + std::fabs(ci[j]);
                K::Step();
                r = r + std::fabs(A(i, j));
                K::Step();
            }
            if (c == 0.0 || r == 0.0) continue;
            double g = r / 2.0;
            K::Step();
            double f = 1.0;
            const double s = c + r;
            K::Step();
            // The two loops below end only on finite values.
            Checkpoint<K>(ctx);
            while (c < g) {
                f = f * 2.0;
                K::Step();
                c = c * 4.0;
                K::Step();
            }
            Checkpoint<K>(ctx);
            g = r * 2.0;
            K::Step();
            Checkpoint<K>(ctx);
            while (c >= g) {
                f = f / 2.0;
                K::Step();
                c = c / 4.0;
                K::Step();
            }
            if ((c + r) / f < 0.95 * s) {
                g = 1.0 / f;
                K::Step();
                b.Scale[i] = b.Scale[i] * f;
                K::Step();
                noconv = true;
                for (int32_t j = k; j <= n; ++j) {
                    A(i, j) = A(i, j) * g;
                    K::Step();
                }
                double* col = A.Col(i);
                for (int32_t j = 0; j <= l; ++j) {
                    col[j] = col[j] * f;
                    K::Step();
                }
            }
        }
        Checkpoint<K>(ctx);
    }
    b.Low = k;
    b.High = l;
}

template <class K>
void ReduceToHessenberg(Context& ctx, int32_t n, int32_t Low, int32_t High, Square& A, Vector& ort) {
    ort = MakeVector(High + 1);
    double g = 0.0;
    Vector rowSums;
    if constexpr (!K::kChecked) rowSums = MakeVector(High + 1);

    for (int32_t m = Low + 1; m <= High - 1; ++m) {
        double h = 0.0;
        ort[m] = 0.0;
        double scale = 0.0;
        const double* prev = A.Col(m - 1);
        for (int32_t i = m; i <= High; ++i) {
            scale = scale + std::fabs(prev[i]);
            K::Step();
        }
        if (scale != 0.0) {
            for (int32_t i = High; i >= m; --i) {
                ort[i] = prev[i] / scale;
                K::Step();
                h = h + ort[i] * ort[i];
                K::Step();
            }
            g = -SignOf(std::sqrt(h), ort[m]);
            K::Step();
            h = h - ort[m] * g;
            K::Step();
            ort[m] = ort[m] - g;
            K::Step();

            // From the left: every column j = m .. n independently.
            if constexpr (!K::kChecked) {
                // Four columns' sums at a time, each added from i = High
                // down to m as in the single-column loop below; ranges of
                // columns on separate threads.
                const std::size_t count = static_cast<std::size_t>(High - m) + 1;
                detail::kernels::ParallelColumns(
                    static_cast<std::size_t>(m), static_cast<std::size_t>(n) + 1, 4.0 * static_cast<double>(count),
                    [&](std::size_t first, std::size_t last) {
                        LeftReflectColumns(A, ort, m, High, h, static_cast<int32_t>(first),
                                           static_cast<int32_t>(last) - 1);
                    });
            } else {
                for (int32_t j = m; j <= n; ++j) {
                    double* cj = A.Col(j);
                    double f = 0.0;
                    for (int32_t i = High; i >= m; --i) {
                        f = f + ort[i] * cj[i];
                        K::Step();
                    }
                    f = f / h;
                    K::Step();
                    for (int32_t i = m; i <= High; ++i) {
                        cj[i] = cj[i] - f * ort[i];
                        K::Step();
                    }
                }
            }

            // From the right: every row i = 0 .. High independently.
            if constexpr (K::kChecked) {
                for (int32_t i = 0; i <= High; ++i) {
                    double f = 0.0;
                    for (int32_t j = High; j >= m; --j) {
                        f = f + ort[j] * A(i, j);
                        K::Step();
                    }
                    f = f / h;
                    K::Step();
                    for (int32_t j = m; j <= High; ++j) {
                        A(i, j) = A(i, j) - f * ort[j];
                        K::Step();
                    }
                }
            } else {
                // The same per-row sums, formed column by column so that
                // the memory runs are contiguous; each row's sum still adds
                // its terms from j = High down to m.
                // Ranges of rows on separate threads.
                double* fr = rowSums.data();
                const std::size_t rows = static_cast<std::size_t>(High) + 1;
                detail::kernels::ParallelRows(
                    rows, 4.0 * static_cast<double>(High - m + 1), [&](std::size_t r0, std::size_t r1) {
                        const std::size_t len = r1 - r0;
                        for (std::size_t i = r0; i < r1; ++i) fr[i] = 0.0;
                        for (int32_t j = High; j >= m; --j) kernels::Axpy(fr + r0, A.Col(j) + r0, ort[j], len);
                        for (std::size_t i = r0; i < r1; ++i) fr[i] = fr[i] / h;
                        for (int32_t j = m; j <= High; ++j) kernels::SubScaled(A.Col(j) + r0, fr + r0, ort[j], len);
                    });
            }
            ort[m] = scale * ort[m];
            K::Step();
        }
        A(m, m - 1) = scale * g;
        K::Step();
        if (Report<K>(ctx, (static_cast<double>(m) / static_cast<double>(High - 1)) * 14.0 + 1.0)) return;
    }
}

template <class K>
void AccumulateHessenberg(Context& ctx, int32_t n, int32_t Low, int32_t High, const Square& A, Vector& ort,
                          Square& Z) {
    std::fill(Z.Data().begin(), Z.Data().end(), 0.0);
    for (int32_t j = 0; j <= n; ++j) Z(j, j) = 1.0;
    if (High - Low - 1 < 1) return;

    for (int32_t mp = High - 1; mp >= Low + 1; --mp) {
        if (A(mp, mp - 1) == 0.0) continue;
        const double* prev = A.Col(mp - 1);
        for (int32_t i = mp + 1; i <= High; ++i) ort[i] = prev[i];
        if constexpr (!K::kChecked) {
            // Ranges of columns on separate threads.
            const double pivot = ort[mp];
            const double sub = A(mp, mp - 1);
            detail::kernels::ParallelColumns(
                static_cast<std::size_t>(mp), static_cast<std::size_t>(High) + 1,
                4.0 * static_cast<double>(High - mp + 1), [&](std::size_t first, std::size_t last) {
                    AccumulateColumns(Z, ort, mp, High, pivot, sub, static_cast<int32_t>(first),
                                      static_cast<int32_t>(last) - 1);
                });
        } else {
            for (int32_t j = mp; j <= High; ++j) {
                double* zj = Z.Col(j);
                double g = 0.0;
                for (int32_t i = mp; i <= High; ++i) {
                    g = g + ort[i] * zj[i];
                    K::Step();
                }
                g = (g / ort[mp]) / A(mp, mp - 1);
                K::Step();
                for (int32_t i = mp; i <= High; ++i) {
                    zj[i] = zj[i] + g * ort[i];
                    K::Step();
                }
            }
        }
        if (Report<K>(ctx, 20.0 - (static_cast<double>(mp + 1) / static_cast<double>(High)) * 5.0)) return;
    }
}

template <class K>
void UnbalanceVectors(int32_t n, int32_t Low, int32_t High, const Vector& Scale, int32_t mc, Square& Z) {
    if (mc == 0) return;
    if (Low < High) {
        if constexpr (K::kChecked) {
            for (int32_t i = Low; i <= High; ++i) {
                const double s = Scale[i];
                for (int32_t j = 0; j <= mc; ++j) {
                    Z(i, j) = Z(i, j) * s;
                    K::Step();
                }
            }
        } else {
            for (int32_t j = 0; j <= mc; ++j) {
                double* zj = Z.Col(j);
                for (int32_t i = Low; i <= High; ++i) zj[i] = zj[i] * Scale[i];
            }
        }
    }
    for (int32_t q = 0; q <= n; ++q) {
        if (Low <= q && q <= High) continue;
        const int32_t i = q < Low ? Low - 1 - q : q;
        const int32_t k = static_cast<int32_t>(Scale[i]);
        if (k == i) continue;
        for (int32_t j = 0; j <= mc; ++j) std::swap(Z(i, j), Z(k, j));
    }
}

template <class K>
void GeneralEigenSolve(Context& ctx, int32_t n, Square& A, Vector& WR, Vector& WI, Square& Z,
                       int32_t& Failed) {
    WR = MakeVector(n + 1);
    WI = MakeVector(n + 1);
    Z = Square(n + 1);
    Vector ort = MakeVector(n + 1);
    Balance b;
    b.Scale = MakeVector(n + 1);
    b.Low = 0;
    b.High = n;

    BalanceMatrix<K>(ctx, n, A, b);
    if (Report<K>(ctx, 1.0)) return;
    ReduceToHessenberg<K>(ctx, n, b.Low, b.High, A, ort);
    if (ctx.Cancel()) return;
    AccumulateHessenberg<K>(ctx, n, b.Low, b.High, A, ort, Z);
    if (ctx.Cancel()) return;
    HessenbergQR<K>(ctx, n, b.Low, b.High, A, WR, WI, Z, Failed);
    if (ctx.Cancel()) return;
    if (Failed == 0) {
        UnbalanceVectors<K>(n, b.Low, b.High, b.Scale, n, Z);
        Checkpoint<K>(ctx);
        Report<K>(ctx, 100.0);
    }
}

template void BalanceMatrix<Fast>(Context&, int32_t, Square&, Balance&);
template void BalanceMatrix<Checked>(Context&, int32_t, Square&, Balance&);
template void ReduceToHessenberg<Fast>(Context&, int32_t, int32_t, int32_t, Square&, Vector&);
template void ReduceToHessenberg<Checked>(Context&, int32_t, int32_t, int32_t, Square&, Vector&);
template void AccumulateHessenberg<Fast>(Context&, int32_t, int32_t, int32_t, const Square&, Vector&, Square&);
template void AccumulateHessenberg<Checked>(Context&, int32_t, int32_t, int32_t, const Square&, Vector&,
                                            Square&);
template void UnbalanceVectors<Fast>(int32_t, int32_t, int32_t, const Vector&, int32_t, Square&);
template void UnbalanceVectors<Checked>(int32_t, int32_t, int32_t, const Vector&, int32_t, Square&);
template void GeneralEigenSolve<Fast>(Context&, int32_t, Square&, Vector&, Vector&, Square&, int32_t&);
template void GeneralEigenSolve<Checked>(Context&, int32_t, Square&, Vector&, Vector&, Square&, int32_t&);

}  // namespace kestrim::detail::eigen
