// Symmetric path of Eigen: Householder tridiagonalization with accumulated
// transformation, then the implicitly shifted QL iteration.
//
// V is column-major, so the column loops below (the reflections, the
// accumulation and the QL rotations) run over contiguous memory.
#include <algorithm>
#include <cmath>
#include <new>
#include <vector>
#include <utility>

#include "decomp/NumericHelpers.h"
#include "eigen/EigenInternal.h"
#include "decomp/ParallelColumns.h"
#include "decomp/RotationLog.h"
#include "eigen/EigenKernels.h"
#include "eigen/TridiagonalMatVec.h"

namespace kestrim::detail::eigen {

using detail::kernels::RotationLog;

namespace {
thread_local int32_t qlIterationLimit = 30;
}  // namespace

int32_t QlIterationLimit() noexcept { return qlIterationLimit; }

ScopedQlIterationLimit::ScopedQlIterationLimit(int32_t limit) noexcept : saved_(qlIterationLimit) {
    qlIterationLimit = limit;
}

ScopedQlIterationLimit::~ScopedQlIterationLimit() { qlIterationLimit = saved_; }

namespace {

// The accumulation of the reflections into V, reordered by columns: step l
// (i = l + 1) updates every column j <= l with the vector u = V(0..l, i)
// and D = u / h, neither of which any earlier step changes, and a column
// never reads another column. So the vectors are taken out first (with the
// step's other stores, in step order), and then each block of columns runs
// through all its steps while it stays in cache; blocks are split among
// threads. Every element receives the operations of the step order, in
// that order. Only for runs without events: the events of the step order
// fall between steps. False (nothing changed) when the vectors do not fit
// in memory.
bool AccumulateByColumns(int32_t n, Vector& D, Square& V) {
    const std::size_t steps = static_cast<std::size_t>(n);
    std::vector<double> us, ds;
    std::vector<std::size_t> offset(steps + 1, 0);
    try {
        us.resize(steps * (steps + 1) / 2);
        ds.resize(us.size());
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::vector<bool> active(steps, false);
    for (int32_t l = 0; l <= n - 1; ++l) {
        const int32_t i = l + 1;
        const std::size_t count = static_cast<std::size_t>(l) + 1;
        offset[l + 1] = offset[l] + count;
        V(n, l) = V(l, l);
        V(l, l) = 1.0;
        const double h = D[i];
        double* vi = V.Col(i);
        if (h != 0.0) {
            active[l] = true;
            double* u = us.data() + offset[l];
            double* d = ds.data() + offset[l];
            for (std::size_t k = 0; k < count; ++k) {
                d[k] = vi[k] / h;
                u[k] = vi[k];
            }
            // D keeps the values of the step order (it is replaced after
            // the accumulation anyway).
            for (std::size_t k = 0; k < count; ++k) D[k] = d[k];
        }
        for (std::size_t k = 0; k < count; ++k) vi[k] = 0.0;
    }

    // Blocks of columns, ordered first, last, second, second last, ... so
    // that every contiguous share of the order carries about the same work
    // (early columns take part in many more steps than late ones).
    constexpr std::size_t kBlock = 16;
    const std::size_t blocks = (steps + kBlock - 1) / kBlock;
    std::vector<std::size_t> order;
    order.reserve(blocks);
    for (std::size_t lo = 0, hi = blocks; lo < hi;) {
        order.push_back(lo++);
        if (lo < hi) order.push_back(--hi);
    }
    const double work = 4.0 * static_cast<double>(steps) * static_cast<double>(steps) * static_cast<double>(steps) / 3.0;
    ParallelFor(static_cast<int64_t>(blocks), ThreadsFor(work), [&](int64_t begin, int64_t end) {
        for (int64_t b = begin; b < end; ++b) {
            const std::size_t j0 = order[static_cast<std::size_t>(b)] * kBlock;
            const std::size_t j1 = std::min(steps, j0 + kBlock);
            for (std::size_t l = j0; l < steps; ++l) {
                if (!active[l]) continue;
                const std::size_t count = l + 1;
                const double* u = us.data() + offset[l];
                const double* d = ds.data() + offset[l];
                detail::kernels::ColumnDots(
                    u, j0, std::min(j1, count), count,
                    [&](std::size_t j) { return V.Col(static_cast<int32_t>(j)); },
                    [&](std::size_t j, double g) { kernels::SubScaled(V.Col(static_cast<int32_t>(j)), d, g, count); });
            }
        }
    });
    return true;
}

bool EventsOn(const Context& ctx) {
    return ctx.Receiver() != nullptr && MatrixAccess::EventsEnabled(*ctx.Receiver());
}

}  // namespace

template <class K>
void TridiagonalizeSymmetric(Context& ctx, int32_t n, const Square& A, Vector& D, Vector& E, Square& V) {
    for (int32_t i = 0; i <= n; ++i) {
        const double* a = A.Col(i);
        double* v = V.Col(i);
        for (int32_t r = 0; r <= n; ++r) v[r] = a[r];
        D[i] = A(n, i);
    }

    if (n != 0) {
        for (int32_t step = 1; step <= n; ++step) {
            const int32_t i = n + 1 - step;
            const int32_t l = i - 1;
            double h = 0.0;
            double scale = 0.0;
            if (l >= 1) {
                for (int32_t k = 0; k <= l; ++k) {
                    scale = scale + std::fabs(D[k]);
                    K::Step();
                }
            }
            if (l < 1 || scale == 0.0) {
                E[i] = D[l];
                for (int32_t j = 0; j <= l; ++j) {
                    D[j] = V(l, j);
                    V(i, j) = 0.0;
                    V(j, i) = 0.0;
                }
            } else {
                for (int32_t k = 0; k <= l; ++k) {
                    D[k] = D[k] / scale;
                    K::Step();
                    h = h + D[k] * D[k];
                    K::Step();
                }
                double f = D[l];
                double g = -SignOf(std::sqrt(h), f);
                K::Step();
                E[i] = scale * g;
                K::Step();
                h = h - f * g;
                K::Step();
                D[l] = f - g;
                K::Step();
                for (int32_t j = 0; j <= l; ++j) E[j] = 0.0;

                int32_t j0 = 0;
                if constexpr (!K::kChecked) {
#if KESTRIM_DECOMP_AVX
                    if (detail::kernels::useAvx) {
                        for (; j0 + 7 <= l; j0 += 8) TridiagonalMatVec8Avx(V, i, l, j0, D.data(), E.data());
                    }
#endif
                    // Two columns at a time: the sums of columns j and j + 1
                    // are independent chains, each still added in order of
                    // k; E(j + 1) receives column j's update before column
                    // j + 1 starts from it, and every other E(k) receives
                    // the two updates in the order j, j + 1.
                    double* e = E.data();
                    const double* d = D.data();
                    for (; j0 + 1 <= l; j0 += 2) {
                        const double f0 = d[j0];
                        V(j0, i) = f0;
                        const double* v0 = V.Col(j0);
                        double g0 = f0 * v0[j0] + e[j0];
                        e[j0 + 1] = e[j0 + 1] + f0 * v0[j0 + 1];
                        const double f1 = d[j0 + 1];
                        V(j0 + 1, i) = f1;
                        const double* v1 = V.Col(j0 + 1);
                        double g1 = f1 * v1[j0 + 1] + e[j0 + 1];
                        g0 = g0 + d[j0 + 1] * v0[j0 + 1];
                        for (int32_t k = j0 + 2; k <= l; ++k) {
                            g0 = g0 + d[k] * v0[k];
                            g1 = g1 + d[k] * v1[k];
                            e[k] = (e[k] + f0 * v0[k]) + f1 * v1[k];
                        }
                        e[j0] = g0;
                        e[j0 + 1] = g1;
                    }
                }
                for (int32_t j = j0; j <= l; ++j) {
                    f = D[j];
                    V(j, i) = f;
                    const double* vj = V.Col(j);
                    g = f * vj[j] + E[j];
                    K::Step();
                    for (int32_t k = j + 1; k <= l; ++k) {
                        g = g + D[k] * vj[k];
                        K::Step();
                        E[k] = E[k] + f * vj[k];
                        K::Step();
                    }
                    E[j] = g;
                }

                f = 0.0;
                for (int32_t j = 0; j <= l; ++j) {
                    E[j] = E[j] / h;
                    K::Step();
                    f = f + D[j] * E[j];
                    K::Step();
                }
                const double hh = f / (h + h);
                K::Step();
                for (int32_t j = 0; j <= l; ++j) {
                    E[j] = E[j] - hh * D[j];
                    K::Step();
                }
                if constexpr (K::kChecked) {
                    for (int32_t j = 0; j <= l; ++j) {
                        f = D[j];
                        g = E[j];
                        double* vj = V.Col(j);
                        for (int32_t k = j; k <= l; ++k) {
                            vj[k] = (vj[k] - f * E[k]) - g * D[k];
                            K::Step();
                        }
                        D[j] = V(l, j);
                        V(i, j) = 0.0;
                    }
                } else {
                    // Column j reads D(j .. l) before its own D(j) is
                    // replaced, and no other column writes V(l, j), so the
                    // columns are updated first (among threads) and D and
                    // row i follow.
                    const std::size_t count = static_cast<std::size_t>(l) + 1;
                    detail::kernels::ParallelColumns(0, count, 2.0 * static_cast<double>(count),
                                                     [&](std::size_t j0, std::size_t j1) {
                                                         for (std::size_t j = j0; j < j1; ++j)
                                                             kernels::SubTwoScaled(V.Col(static_cast<int32_t>(j)) + j,
                                                                                   E.data() + j, D.data() + j, D[j],
                                                                                   E[j], count - j);
                                                     });
                    for (int32_t j = 0; j <= l; ++j) {
                        D[j] = V(l, j);
                        V(i, j) = 0.0;
                    }
                }
            }
            D[i] = h;
            if (Report<K>(ctx, (static_cast<double>(step) / static_cast<double>(n)) * 13.0)) return;
        }

        // Accumulate the transformations.
        bool accumulated = false;
        if constexpr (!K::kChecked) accumulated = !EventsOn(ctx) && AccumulateByColumns(n, D, V);
        for (int32_t l = 0; !accumulated && l <= n - 1; ++l) {
            const int32_t i = l + 1;
            V(n, l) = V(l, l);
            V(l, l) = 1.0;
            const double h = D[i];
            double* vi = V.Col(i);
            if (h != 0.0) {
                for (int32_t k = 0; k <= l; ++k) {
                    D[k] = vi[k] / h;
                    K::Step();
                }
                const std::size_t count = static_cast<std::size_t>(l) + 1;
                if constexpr (!K::kChecked) {
                    // The sums of a block of columns are formed together
                    // (each in order of k, vi[k] * vj[k] being the same
                    // product as vj[k] * vi[k]); a column's update touches
                    // neither vi nor the other columns' sums.
                    detail::kernels::ParallelColumnDots(
                        vi, 0, count, count, [&](std::size_t j) { return V.Col(static_cast<int32_t>(j)); },
                        [&](std::size_t j, double g) {
                            kernels::SubScaled(V.Col(static_cast<int32_t>(j)), D.data(), g, count);
                        });
                } else {
                    for (int32_t j = 0; j <= l; ++j) {
                        double* vj = V.Col(j);
                        double g = 0.0;
                        for (int32_t k = 0; k <= l; ++k) {
                            g = g + vj[k] * vi[k];
                            K::Step();
                        }
                        for (int32_t k = 0; k <= l; ++k) {
                            vj[k] = vj[k] - g * D[k];
                            K::Step();
                        }
                    }
                }
            }
            for (int32_t k = 0; k <= l; ++k) vi[k] = 0.0;
            if (Report<K>(ctx, (static_cast<double>(i) / static_cast<double>(n)) * 17.0 + 13.0)) return;
        }
    }

    for (int32_t i = 0; i <= n; ++i) {
        D[i] = V(n, i);
        V(n, i) = 0.0;
    }
    V(n, n) = 1.0;
    E[0] = 0.0;
    Checkpoint<K>(ctx);
}

template void TridiagonalizeSymmetric<Fast>(Context&, int32_t, const Square&, Vector&, Vector&, Square&);
template void TridiagonalizeSymmetric<Checked>(Context&, int32_t, const Square&, Vector&, Vector&, Square&);

void TridiagonalQL(Context& ctx, int32_t n, Vector& D, Vector& E, Square& V, int32_t& Failed,
                   int32_t iterationLimit) {
    Failed = 0;
    if (n == 0) return;
    const std::size_t rows = static_cast<std::size_t>(n) + 1;

    // The rotations of V never feed back into D and E, so each sweep's
    // rotations are recorded and applied later, a block of rows at a time
    // (every element still receives them in order). V's rotations cannot be
    // the first faulting step: their coefficients are finite unless the
    // step that computed them faulted, and that is trapped below first.
    RotationLog log;
    try {
        log.Reserve(rows);
    } catch (const std::bad_alloc&) {
        Failed = 1;  // a run-time error inside this routine, as any other
        return;
    }

    for (int32_t i = 1; i <= n; ++i) E[i - 1] = E[i];
    E[n] = 0.0;
    double f = 0.0;
    double tst1 = 0.0;

    // Any fault inside this routine ends it as a failure of eigenvalue l;
    // the driver then switches to the general solver.
    auto trapped = [&](int32_t l) {
        if (!fp::HasFault()) return false;
        fp::ClearFlags();
        Failed = l + 1;
        return true;
    };

    for (int32_t l = 0; l <= n; ++l) {
        int32_t j = 0;
        double h = std::fabs(D[l]) + std::fabs(E[l]);
        if (tst1 < h) tst1 = h;
        if (trapped(l)) return;

        int32_t m = l;
        while (m <= n && !(std::fabs(E[m]) + tst1 == tst1)) ++m;

        if (m != l) {
            do {
                if (j == iterationLimit) {
                    fp::ClearFlags();
                    Failed = l + 1;
                    return;
                }
                ++j;

                // Shift.
                const int32_t l1 = l + 1;
                double g = D[l];
                double p = (D[l1] - g) / (E[l] + E[l]);
                double r = Pythag(p, 1.0);
                D[l] = E[l] / (p + SignOf(r, p));
                D[l1] = E[l] * (p + SignOf(r, p));
                const double dl1 = D[l1];
                h = g - D[l];
                for (int32_t i = l + 2; i <= n; ++i) D[i] = D[i] - h;
                f = f + h;

                // QL sweep.
                p = D[m];
                double c = 1.0;
                double c2 = c;
                double c3 = c2;
                const double el1 = E[l1];
                double s = 0.0;
                double s2 = 0.0;
                // Columns (i + 1, i) for i = m - 1 down to l.
                log.Begin(static_cast<std::size_t>(m), true);
                for (int32_t i = m - 1; i >= l; --i) {
                    c3 = c2;
                    c2 = c;
                    s2 = s;
                    g = c * E[i];
                    h = c * p;
                    r = Pythag(p, E[i]);
                    E[i + 1] = s * r;
                    s = E[i] / r;
                    c = p / r;
                    p = c * D[i] - s * g;
                    D[i + 1] = (s * D[i] + c * g) * s + h;
                    log.Add(c, s);  // the QL rotation, Rotate(V(i + 1), V(i), c, s)
                }
                log.End();
                if (log.Full()) log.Apply(V.Col(0), V.Stride(), rows);
                p = (-s) * s2 * c3 * el1 * E[l] / dl1;
                E[l] = s * p;
                D[l] = c * p;
                if (trapped(l)) return;
            } while (std::fabs(E[l]) + tst1 > tst1);
        }
        D[l] = D[l] + f;
        if (trapped(l)) return;
        if (Report<Fast>(ctx, (static_cast<double>(l + 1) / static_cast<double>(n + 1)) * 70.0 + 30.0)) {
            log.Apply(V.Col(0), V.Stride(), rows);
            return;
        }
    }
    log.Apply(V.Col(0), V.Stride(), rows);

    // Descending order: exchange D(i) with the largest later entry.
    for (int32_t i = 0; i <= n; ++i) {
        int32_t k = i;
        double p = D[i];
        for (int32_t j = i + 1; j <= n; ++j) {
            if (D[j] > p) {
                k = j;
                p = D[j];
            }
        }
        if (k != i) {
            D[k] = D[i];
            D[i] = p;
            double* vi = V.Col(i);
            double* vk = V.Col(k);
            for (std::size_t r = 0; r < rows; ++r) std::swap(vi[r], vk[r]);
        }
    }
}

}  // namespace kestrim::detail::eigen
