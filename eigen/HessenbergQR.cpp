// Eigenvalues of an upper Hessenberg matrix by the Francis double-shift QR
// iteration with exceptional shifts, eigenvectors of the resulting
// quasi-triangular matrix by back-substitution, and their transformation
// back by the accumulated reduction Z.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "decomp/NumericHelpers.h"
#include "decomp/ParallelColumns.h"
#include "eigen/EigenInternal.h"
#include "eigen/EigenKernels.h"
#include "eigen/ReflectorLog.h"
#include "eigen/RowOpLog.h"

namespace kestrim::detail::eigen {

namespace {

template <class K>
inline void Divide(double ar, double ai, double br, double bi, double& cr, double& ci) {
    if constexpr (K::kChecked) {
        ComplexDivideChecked(ar, ai, br, bi, cr, ci);
    } else {
        ComplexDivide(ar, ai, br, bi, cr, ci);
    }
}

// t + 1/t <= t can hold only for t > 1 (below, 1/t exceeds t); testing
// that first keeps 1/t from overflowing for tiny t, where the comparison
// is false anyway.
inline bool NeedsRescale(double t) { return t > 1.0 && t + 1.0 / t <= t; }

// Iteration events: 95 - (en / High) * 75. With High = 0 (everything
// isolated by balancing) the quotient is undefined; the stage's end, 95,
// is reported instead.
inline double IterationPercent(int32_t en, int32_t High) {
    if (High == 0) return 95.0;
    return 95.0 - (static_cast<double>(en) / static_cast<double>(High)) * 75.0;
}

// Back-substitution events: 99 - (en / n) * 4. Eigen never runs this for
// n = 0 (a 1 x 1 matrix is symmetric); the stage's end stands in then, as
// the percentage is worked out before events are looked at and 0 / 0 would
// raise the invalid-operation flag.
inline double BackSubstitutionPercent(int32_t en, int32_t n) {
    if (n == 0) return 99.0;
    return 99.0 - (static_cast<double>(en) / static_cast<double>(n)) * 4.0;
}

}  // namespace

template <class K>
void HessenbergQR(Context& ctx, int32_t n, int32_t Low, int32_t High, Square& H, Vector& WR, Vector& WI,
                  Square& Z, int32_t& Failed) {
    Failed = 0;
    double norm = 0.0;
    {
        int32_t k = 0;
        for (int32_t i = 0; i <= n; ++i) {
            for (int32_t j = k; j <= n; ++j) {
                norm = norm + std::fabs(H(i, j));
                K::Step();
            }
            k = i;
            if (i < Low || i > High) {
                WR[i] = H(i, i);
                WI[i] = 0.0;
            }
        }
    }

    int32_t en = High;
    double t = 0.0;
    int64_t itn = 30 * (static_cast<int64_t>(n) + 1);

    // The Fast policy records Z's reflections and rotations and applies
    // them when Z is next read (ReflectorLog.h); they cannot be the first
    // faulting step, since their coefficients are finite unless the step of
    // H that computed them faulted, and Checked applies them at once.
    ReflectorLog zlog;
    // Likewise the reflections and rotations of the rows of H in the columns
    // right of the active block (j > en), which the iteration never reads
    // again (RowOpLog.h). They are kept over many steps only when they
    // cannot fault: the elements of H stay within its norm (the transforms
    // are orthogonal), the coefficients q, r are at most 1 and x, y, zz at
    // most 2 in magnitude, so no result exceeds 7 * norm. Otherwise they
    // are applied after every step, before the next test, as a fault there
    // must stop the call before the next event.
    RowOpLog rowLog;
    const bool keepRows = norm <= std::numeric_limits<double>::max() / 16.0;
    // Inside the active block, a step's reflections from the left go at
    // once only to the columns that the next reflections read or that the
    // reflections from the right change: for a chunk of kRowChunk
    // consecutive k from k0, columns up to nearEnd = k0 + kRowChunk + 1.
    // The chunk's reflections reach the columns nearEnd + 1 .. en together,
    // column by column, before the next chunk starts; those columns receive
    // nothing else meanwhile.
    constexpr int32_t kRowChunk = 32;
    std::vector<RowOp> farOps;
    int32_t nearEnd = 0;
    if constexpr (!K::kChecked) {
        zlog.Reserve(n + 1);
        rowLog.Reserve(n + 1);
        farOps.reserve(static_cast<std::size_t>(kRowChunk));
    }
    auto flushZ = [&] {
        if constexpr (!K::kChecked) {
            zlog.Apply(Z, Low, High);
            rowLog.Apply(H, n);
        }
    };
    double p = 0.0, q = 0.0, r = 0.0, s = 0.0, w = 0.0, x = 0.0, y = 0.0, zz = 0.0;

    while (en >= Low) {
        int32_t its = 0;
        const int32_t na = en - 1;
        const int32_t enm2 = na - 1;
        for (;;) {
            if constexpr (!K::kChecked) {
                if (zlog.Full()) zlog.Apply(Z, Low, High);
                if (rowLog.Full() || !keepRows) rowLog.Apply(H, n);
            }
            if (Report<K>(ctx, IterationPercent(en, High))) {
                flushZ();
                return;
            }

            // Look for a single small sub-diagonal element.
            int32_t l = en;
            for (; l > Low; --l) {
                s = std::fabs(H(l - 1, l - 1)) + std::fabs(H(l, l));
                K::Step();
                if (s == 0.0) s = norm;
                if (s + std::fabs(H(l, l - 1)) == s) break;
            }

            x = H(en, en);
            if (l == en) {
                // One root.
                H(en, en) = x + t;
                K::Step();
                WR[en] = H(en, en);
                WI[en] = 0.0;
                en = na;
                break;
            }
            y = H(na, na);
            w = H(en, na) * H(na, en);
            K::Step();
            if (l == na) {
                // Two roots.
                p = (y - x) / 2.0;
                K::Step();
                q = p * p + w;
                K::Step();
                zz = std::sqrt(std::fabs(q));
                K::Step();
                H(en, en) = x + t;
                K::Step();
                x = H(en, en);
                H(na, na) = y + t;
                K::Step();
                if (q >= 0.0) {
                    // Real pair.
                    zz = p + SignOf(zz, p);
                    K::Step();
                    WR[na] = x + zz;
                    K::Step();
                    WR[en] = WR[na];
                    if (zz != 0.0) {
                        WR[en] = x - w / zz;
                        K::Step();
                    }
                    WI[na] = 0.0;
                    WI[en] = 0.0;
                    x = H(en, na);
                    s = std::fabs(x) + std::fabs(zz);
                    K::Step();
                    p = x / s;
                    K::Step();
                    q = zz / s;
                    K::Step();
                    r = std::sqrt(p * p + q * q);
                    K::Step();
                    p = p / r;
                    K::Step();
                    q = q / r;
                    K::Step();
                    if constexpr (!K::kChecked) {
                        if (en < n) rowLog.Record({na, en + 1, RowOp::Kind::Rotation, q, p, 0.0, 0.0, 0.0});
                    }
                    for (int32_t j = na; j <= (K::kChecked ? n : en); ++j) {
                        zz = H(na, j);
                        H(na, j) = q * zz + p * H(en, j);
                        K::Step();
                        H(en, j) = q * H(en, j) - p * zz;
                        K::Step();
                    }
                    double* hna = H.Col(na);
                    double* hen = H.Col(en);
                    double* zna = Z.Col(na);
                    double* zen = Z.Col(en);
                    if constexpr (!K::kChecked) {
                        kernels::Rotate(hna, hen, q, p, static_cast<std::size_t>(en) + 1);
                        zlog.Rotate(na, q, p);
                    } else {
                        for (int32_t i = 0; i <= en; ++i) {
                            const double z0 = hna[i];
                            hna[i] = q * z0 + p * hen[i];
                            K::Step();
                            hen[i] = q * hen[i] - p * z0;
                            K::Step();
                        }
                        for (int32_t i = Low; i <= High; ++i) {
                            const double z0 = zna[i];
                            zna[i] = q * z0 + p * zen[i];
                            K::Step();
                            zen[i] = q * zen[i] - p * z0;
                            K::Step();
                        }
                    }
                } else {
                    // Complex pair.
                    WR[na] = x + p;
                    K::Step();
                    WR[en] = x + p;
                    K::Step();
                    WI[na] = zz;
                    WI[en] = -zz;
                }
                en = enm2;
                break;
            }

            // A QR step.
            if (itn == 0) {
                Checkpoint<K>(ctx);
                flushZ();
                Failed = en;
                return;
            }
            if (its == 10 || its == 20) {
                // Exceptional shift.
                t = t + x;
                K::Step();
                for (int32_t i = Low; i <= en; ++i) {
                    H(i, i) = H(i, i) - x;
                    K::Step();
                }
                s = std::fabs(H(en, na)) + std::fabs(H(na, enm2));
                K::Step();
                x = 0.75 * s;
                K::Step();
                y = x;
                w = -0.4375 * s * s;
                K::Step();
            }
            its = its + 1;
            itn = itn - 1;

            // Look for two consecutive small sub-diagonal elements.
            int32_t m = enm2;
            for (; m >= l; --m) {
                zz = H(m, m);
                r = x - zz;
                K::Step();
                s = y - zz;
                K::Step();
                p = (r * s - w) / H(m + 1, m) + H(m, m + 1);
                K::Step();
                q = H(m + 1, m + 1) - zz - r - s;
                K::Step();
                r = H(m + 2, m + 1);
                s = std::fabs(p) + std::fabs(q) + std::fabs(r);
                K::Step();
                p = p / s;
                K::Step();
                q = q / s;
                K::Step();
                r = r / s;
                K::Step();
                if (m == l) break;
                const double tst1 =
                    std::fabs(p) * (std::fabs(H(m - 1, m - 1)) + std::fabs(zz) + std::fabs(H(m + 1, m + 1)));
                K::Step();
                const double tst2 = tst1 + std::fabs(H(m, m - 1)) * (std::fabs(q) + std::fabs(r));
                K::Step();
                if (tst2 == tst1) break;
            }

            for (int32_t i = m + 2; i <= en; ++i) {
                H(i, i - 2) = 0.0;
                if (i != m + 2) H(i, i - 3) = 0.0;
            }

            // Double QR step over rows l .. en and columns m .. en.
            for (int32_t k = m; k <= na; ++k) {
                const bool notlas = k != na;
                if constexpr (!K::kChecked) {
                    if ((k - m) % kRowChunk == 0) {
                        ApplyRowOpsToColumns(H, farOps, nearEnd + 1, en);
                        nearEnd = k + kRowChunk + 1;
                    }
                }
                if (k != m) {
                    p = H(k, k - 1);
                    q = H(k + 1, k - 1);
                    r = notlas ? H(k + 2, k - 1) : 0.0;
                    x = std::fabs(p) + std::fabs(q) + std::fabs(r);
                    K::Step();
                    if (x == 0.0) continue;
                    p = p / x;
                    K::Step();
                    q = q / x;
                    K::Step();
                    r = r / x;
                    K::Step();
                }
                s = SignOf(std::sqrt(p * p + q * q + r * r), p);
                K::Step();
                if (k != m) {
                    H(k, k - 1) = -s * x;
                    K::Step();
                } else if (l != m) {
                    H(k, k - 1) = -H(k, k - 1);
                }
                p = p + s;
                K::Step();
                x = p / s;
                K::Step();
                y = q / s;
                K::Step();
                zz = r / s;
                K::Step();
                q = q / p;
                K::Step();
                r = r / p;
                K::Step();

                const int32_t iLast = MinLong(en, k + 3);
                double* hk = H.Col(k);
                double* hk1 = H.Col(k + 1);
                double* zk = Z.Col(k);
                double* zk1 = Z.Col(k + 1);
                if (notlas) {
                    if constexpr (!K::kChecked) {
                        kernels::RowReflect3(H.Col(k) + k, H.Stride(),
                                             static_cast<std::size_t>(MinLong(en, nearEnd) - k) + 1, q, r, x, y, zz);
                        if (nearEnd < en) farOps.push_back({k, nearEnd + 1, RowOp::Kind::Three, q, r, x, y, zz});
                        if (en < n) rowLog.Record({k, en + 1, RowOp::Kind::Three, q, r, x, y, zz});
                    }
                    for (int32_t j = K::kChecked ? k : n + 1; j <= n; ++j) {
                        double* hj = H.Col(j);
                        p = hj[k] + q * hj[k + 1] + r * hj[k + 2];
                        K::Step();
                        hj[k] = hj[k] - p * x;
                        K::Step();
                        hj[k + 1] = hj[k + 1] - p * y;
                        K::Step();
                        hj[k + 2] = hj[k + 2] - p * zz;
                        K::Step();
                    }
                    double* hk2 = H.Col(k + 2);
                    double* zk2 = Z.Col(k + 2);
                    if constexpr (!K::kChecked) {
                        kernels::Reflect3(hk, hk1, hk2, x, y, zz, q, r, static_cast<std::size_t>(iLast) + 1);
                        zlog.Reflect3(k, x, y, zz, q, r);
                        continue;
                    }
                    for (int32_t i = 0; i <= iLast; ++i) {
                        p = x * hk[i] + y * hk1[i] + zz * hk2[i];
                        K::Step();
                        hk[i] = hk[i] - p;
                        K::Step();
                        hk1[i] = hk1[i] - p * q;
                        K::Step();
                        hk2[i] = hk2[i] - p * r;
                        K::Step();
                    }
                    for (int32_t i = Low; i <= High; ++i) {
                        p = x * zk[i] + y * zk1[i] + zz * zk2[i];
                        K::Step();
                        zk[i] = zk[i] - p;
                        K::Step();
                        zk1[i] = zk1[i] - p * q;
                        K::Step();
                        zk2[i] = zk2[i] - p * r;
                        K::Step();
                    }
                } else {
                    if constexpr (!K::kChecked) {
                        if (en < n) rowLog.Record({k, en + 1, RowOp::Kind::Two, q, 0.0, x, y, 0.0});
                    }
                    for (int32_t j = k; j <= (K::kChecked ? n : en); ++j) {
                        double* hj = H.Col(j);
                        p = hj[k] + q * hj[k + 1];
                        K::Step();
                        hj[k] = hj[k] - p * x;
                        K::Step();
                        hj[k + 1] = hj[k + 1] - p * y;
                        K::Step();
                    }
                    if constexpr (!K::kChecked) {
                        kernels::Reflect2(hk, hk1, x, y, q, static_cast<std::size_t>(iLast) + 1);
                        zlog.Reflect2(k, x, y, q);
                        continue;
                    }
                    for (int32_t i = 0; i <= iLast; ++i) {
                        p = x * hk[i] + y * hk1[i];
                        K::Step();
                        hk[i] = hk[i] - p;
                        K::Step();
                        hk1[i] = hk1[i] - p * q;
                        K::Step();
                    }
                    for (int32_t i = Low; i <= High; ++i) {
                        p = x * zk[i] + y * zk1[i];
                        K::Step();
                        zk[i] = zk[i] - p;
                        K::Step();
                        zk1[i] = zk1[i] - p * q;
                        K::Step();
                    }
                }
            }
            if constexpr (!K::kChecked) {
                ApplyRowOpsToColumns(H, farOps, nearEnd + 1, en);
            }
        }
    }

    // Back-substitution on the quasi-triangular H.
    flushZ();
    Checkpoint<K>(ctx);
    if (norm == 0.0) return;

    // Row i of H is read (for j <= en) only before any of its entries in
    // columns <= en are overwritten, so the Fast policy reads the rows from
    // a row-major copy taken here, which keeps those sums contiguous.
    const int32_t N = n + 1;
    Square rowsCopy;  // rowsCopy(j, i) = H(i, j): column i holds row i
    if constexpr (!K::kChecked) {
        rowsCopy = Square(N);
        for (int32_t j = 0; j <= n; ++j) {
            const double* hj = H.Col(j);
            for (int32_t i = 0; i <= n; ++i) rowsCopy(j, i) = hj[i];
        }
    }
    auto rowOf = [&](int32_t i) -> const double* { return rowsCopy.Col(i); };

    for (en = n; en >= 0; --en) {
        p = WR[en];
        q = WI[en];
        const int32_t na = en - 1;
        if (q == 0.0) {
            // Real vector.
            int32_t m = en;
            H(en, en) = 1.0;
            double* hen = H.Col(en);
            for (int32_t i = en - 1; i >= 0; --i) {
                w = H(i, i) - p;
                K::Step();
                r = 0.0;
                if constexpr (K::kChecked) {
                    for (int32_t j = m; j <= en; ++j) {
                        r = r + H(i, j) * hen[j];
                        K::Step();
                    }
                } else {
                    const double* row = rowOf(i);
                    for (int32_t j = m; j <= en; ++j) r = r + row[j] * hen[j];
                }
                if (WI[i] < 0.0) {
                    zz = w;
                    s = r;
                    continue;
                }
                m = i;
                if (WI[i] == 0.0) {
                    t = w;
                    if (t == 0.0) {
                        Checkpoint<K>(ctx);
                        t = norm;
                        do {
                            t = 0.01 * t;
                            K::Step();
                        } while (norm + t > norm);
                    }
                    hen[i] = -r / t;
                    K::Step();
                } else {
                    x = H(i, i + 1);
                    y = H(i + 1, i);
                    q = (WR[i] - p) * (WR[i] - p) + WI[i] * WI[i];
                    K::Step();
                    t = (x * s - zz * r) / q;
                    K::Step();
                    hen[i] = t;
                    if (std::fabs(x) > std::fabs(zz)) {
                        hen[i + 1] = (-r - w * t) / x;
                    } else {
                        hen[i + 1] = (-s - y * t) / zz;
                    }
                    K::Step();
                }
                t = std::fabs(hen[i]);
                if (t != 0.0 && NeedsRescale(t)) {
                    for (int32_t j = i; j <= en; ++j) {
                        hen[j] = hen[j] / t;
                        K::Step();
                    }
                }
            }
        } else if (q < 0.0) {
            // Complex vector in columns na (real part) and en (imaginary).
            int32_t m = na;
            double* hna = H.Col(na);
            double* hen = H.Col(en);
            if (std::fabs(H(en, na)) > std::fabs(H(na, en))) {
                H(na, na) = q / H(en, na);
                K::Step();
                H(na, en) = -(H(en, en) - p) / H(en, na);
                K::Step();
            } else {
                Divide<K>(0.0, -H(na, en), H(na, na) - p, q, H(na, na), H(na, en));
            }
            H(en, na) = 0.0;
            H(en, en) = 1.0;
            for (int32_t i = en - 2; i >= 0; --i) {
                w = H(i, i) - p;
                K::Step();
                double ra = 0.0;
                double sa = 0.0;
                if constexpr (K::kChecked) {
                    for (int32_t j = m; j <= en; ++j) {
                        ra = ra + H(i, j) * hna[j];
                        K::Step();
                        sa = sa + H(i, j) * hen[j];
                        K::Step();
                    }
                } else {
                    const double* row = rowOf(i);
                    for (int32_t j = m; j <= en; ++j) {
                        ra = ra + row[j] * hna[j];
                        sa = sa + row[j] * hen[j];
                    }
                }
                if (WI[i] < 0.0) {
                    zz = w;
                    r = ra;
                    s = sa;
                    continue;
                }
                m = i;
                if (WI[i] == 0.0) {
                    Divide<K>(-ra, -sa, w, q, hna[i], hen[i]);
                } else {
                    x = H(i, i + 1);
                    y = H(i + 1, i);
                    double vr = (WR[i] - p) * (WR[i] - p) + WI[i] * WI[i] - q * q;
                    K::Step();
                    double vi = 2.0 * (WR[i] - p) * q;
                    K::Step();
                    if (vr == 0.0 && vi == 0.0) {
                        const double tst1 =
                            norm * (std::fabs(w) + std::fabs(q) + std::fabs(x) + std::fabs(y) + std::fabs(zz));
                        K::Step();
                        Checkpoint<K>(ctx);
                        vr = tst1;
                        do {
                            vr = 0.01 * vr;
                            K::Step();
                        } while (tst1 + vr > tst1);
                    }
                    Divide<K>(x * r - zz * ra + q * sa, x * s - zz * sa - q * ra, vr, vi, hna[i], hen[i]);
                    if (std::fabs(x) > std::fabs(zz) + std::fabs(q)) {
                        hna[i + 1] = (-ra - w * hna[i] + q * hen[i]) / x;
                        K::Step();
                        hen[i + 1] = (-sa - w * hen[i] - q * hna[i]) / x;
                        K::Step();
                    } else {
                        Divide<K>(-r - y * hna[i], -s - y * hen[i], zz, q, hna[i + 1], hen[i + 1]);
                    }
                }
                t = MaxDouble(std::fabs(hna[i]), std::fabs(hen[i]));
                if (t != 0.0 && NeedsRescale(t)) {
                    for (int32_t j = i; j <= en; ++j) {
                        hna[j] = hna[j] / t;
                        K::Step();
                        hen[j] = hen[j] / t;
                        K::Step();
                    }
                }
            }
        }
        if (Report<K>(ctx, BackSubstitutionPercent(en, n))) return;
    }

    // Vectors of isolated roots.
    for (int32_t i = 0; i <= n; ++i) {
        if (i >= Low && i <= High) continue;
        for (int32_t j = i; j <= n; ++j) Z(i, j) = H(i, j);
    }

    // Multiply back by the accumulated transformation.
    if constexpr (K::kChecked) {
        for (int32_t j = n; j >= Low; --j) {
            const int32_t m = MinLong(j, High);
            for (int32_t i = Low; i <= High; ++i) {
                zz = 0.0;
                for (int32_t k = Low; k <= m; ++k) {
                    zz = zz + Z(i, k) * H(k, j);
                    K::Step();
                }
                Z(i, j) = zz;
            }
        }
    } else {
        // Each element's sum runs over k = Low .. m in order; rows are
        // independent, so the sums of one column are formed together.
        std::vector<double> acc(static_cast<std::size_t>(N));
        for (int32_t j = n; j >= Low; --j) {
            const int32_t m = MinLong(j, High);
            const double* hj = H.Col(j);
            for (int32_t i = Low; i <= High; ++i) acc[i] = 0.0;
            for (int32_t k = Low; k <= m; ++k) {
                const double hkj = hj[k];
                kernels::Axpy(acc.data() + Low, Z.Col(k) + Low, hkj, static_cast<std::size_t>(High - Low) + 1);
            }
            double* zj = Z.Col(j);
            for (int32_t i = Low; i <= High; ++i) zj[i] = acc[i];
        }
    }
    Checkpoint<K>(ctx);
}

template void HessenbergQR<Fast>(Context&, int32_t, int32_t, int32_t, Square&, Vector&, Vector&, Square&,
                                 int32_t&);
template void HessenbergQR<Checked>(Context&, int32_t, int32_t, int32_t, Square&, Vector&, Vector&, Square&,
                                    int32_t&);

}  // namespace kestrim::detail::eigen
