#include "linsys/GaussJordan.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "core/DoubleArrayAccess.h"
#include "linsys/Kernels.h"

namespace kestrim::linsys {

namespace {

// The step-by-step elimination, used to find the step of a fault, works on
// the augmented row-major system [a | b], 2n wide, b starting as the
// identity. A row operation of step k touches a's columns k..n-1 and all of
// b, the contiguous range [k, 2n) of the row.
std::size_t Stride(std::size_t n) { return PaddedStride(2 * n); }

void LoadAugmented(WorkVector& aug, const WorkVector& a, std::size_t n) {
    const std::size_t w = Stride(n);
    aug.assign(n * w, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        std::copy_n(&a[i * n], n, &aug[i * w]);
        aug[i * w + n + i] = 1.0;
    }
}

// One elimination step. Returns false when column k has no nonzero entry
// on or below the diagonal. With kChecked every stored result is tested
// for a fault at once, in the order of the scalar algorithm.
template <bool kChecked>
bool Step(double* aug, std::size_t n, std::size_t k) {
    const std::size_t w = Stride(n);
    const std::size_t end = 2 * n;
    double big = 0.0;
    const std::size_t p = linsys::FindPivot<linsys::PivotTies::Last>(aug, w, n, k, big);
    if (big == 0.0) return false;
    double* pivot = aug + k * w;
    if (p != k) std::swap_ranges(pivot + k, pivot + end, aug + p * w + k);

    const double d = 1.0 / pivot[k];
    if constexpr (kChecked) {
        Checked();
        for (std::size_t j = k; j < end; ++j) {
            pivot[j] = pivot[j] * d;
            Checked();
        }
    } else {
        Scale(pivot + k, d, end - k);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (i == k) continue;
        double* row = aug + i * w;
        const double f = row[k];
        if constexpr (kChecked) {
            for (std::size_t j = k; j < end; ++j) {
                row[j] = row[j] - f * pivot[j];
                Checked();
            }
        } else {
            SubScaled(row + k, pivot + k, f, end - k);
        }
    }
    return true;
}

// The blocked elimination keeps only the columns of b that hold more than
// the identity's zeros and ones. Column c of b stays a unit column until
// the row holding its one becomes a pivot row; until then every row holds
// the same value in all such columns except its own (the one of the
// identity, wherever the interchanges took it), because every step gives
// them the same operations with the same operands. So a row carries two
// numbers for them: `zero`, the value of those columns, and `unit`, the
// value of its own column (0.0 and 1.0 at the start, and so they stay
// unless a non-finite number meets them; the operations are still done on
// them, one per row and step, so that they carry the same bits and raise
// the same flags as the columns they stand for).
//
// The column that step k's pivot row owns becomes a real column then,
// holding `unit` in the pivot row and `zero` in every other row, and takes
// the step's operations like the others. It is kept in position n + k of
// the work array, so the columns that step k touches are [k, n + k]: a's
// columns k..n-1 and b's columns in the order their steps made them.
// `owner[k]` is the column of b that position n + k holds.
struct Elimination {
    std::size_t n = 0;
    std::size_t w = 0;  // row stride of the work array
    DoubleArray storage;  // kept for reuse by the next call (see Work)
    double* work;
    WorkVector zero, unit;
    std::vector<std::size_t> own;    // the column of b whose one row i holds
    std::vector<std::size_t> owner;  // the column of b at position n + k

    Elimination(const WorkVector& a, std::size_t size)
        : n(size), w(PaddedStride(2 * size)), storage(detail::DoubleArrayAccess::Work(size * w)),
          work(storage.Data()), zero(size, 0.0), unit(size, 1.0), own(size), owner(size) {
        // Only a's columns are read before they are written.
        for (std::size_t i = 0; i < n; ++i) std::copy_n(&a[i * n], n, &work[i * w]);
        for (std::size_t i = 0; i < n; ++i) own[i] = i;
    }
};

constexpr std::size_t kSteps = kInversePanelSteps;
// Below this many steps a part of a panel runs one step at a time.
constexpr std::size_t kDirectSteps = 8;
// Smaller arrays run their panels one step at a time: the halves' product
// kernel calls cost more than they save there.
constexpr std::size_t kHalvingMinOrder = 384;

// A panel of steps [k0, k0 + m) on its own columns: a's columns [k0, k0 + m)
// and the columns of b that its steps make real, m of each, row-major
// (a's, then b's), for every row of the work array. Parts of the panel
// are factored in halves: the first half's steps reach the second half's
// columns of a at once (ApplyPanel), and the second half's steps reach the
// columns of b that the first half made; every element still takes its
// operations in the order of the steps.
struct PanelFactor {
    Elimination& e;
    std::size_t k0, m;
    double* rows;  // the panel
    std::size_t ld;
    double* mult;  // row i's multiplier of step s at i * kSteps + s
    std::size_t* swaps;
    double* scales;
    ColumnPanel& scratch;  // twice the widest part run one step at a time

    // The steps [lo, hi) of the panel, which have taken the steps before
    // them; returns the number done (fewer when a step finds no pivot).
    std::size_t Factor(std::size_t lo, std::size_t hi) {
        if (hi - lo <= kDirectSteps || e.n < kHalvingMinOrder) return Direct(lo, hi);
        const std::size_t mid = lo + (hi - lo) / 2;
        const std::size_t first = Factor(lo, mid);
        Apply(lo, first, mid, hi - mid);
        if (first < mid - lo) return first;
        const std::size_t second = Factor(mid, hi);
        Apply(mid, second, m + lo, mid - lo);
        return first + second;
    }

    // Steps [s0, s0 + count) applied to the panel's columns [c0, c0 + width).
    void Apply(std::size_t s0, std::size_t count, std::size_t c0, std::size_t width) {
        const PanelSteps steps{.first = k0 + s0, .steps = count, .swaps = swaps + s0, .scales = scales + s0,
                               .mult = mult + s0, .ldm = kSteps, .pivotRowsTakeLaterSteps = true};
        const RowRange others[] = {{0, k0 + s0}, {k0 + s0 + count, e.n}};
        ApplyPanel(rows + c0, ld, width, steps, others, 2);
    }

    // The steps [lo, hi) one at a time, on a's columns up to hi and the
    // columns of b that they make. They run on a column-major copy of those
    // columns, so that each step's updates are a few long runs down
    // columns rather than short pieces of every row.
    std::size_t Direct(std::size_t lo, std::size_t hi) {
        const std::size_t n = e.n, width = hi - lo;
        ColumnPanel& c = scratch;
        c.Load(rows, ld, 0, n, lo, hi);
        std::size_t done = width;
        for (std::size_t s = lo; s < hi; ++s) {
            const std::size_t k = k0 + s, t = s - lo;
            double* column = c.Column(t);
            double big = 0.0;
            const std::size_t p = FindPivotInColumn<PivotTies::Last>(column, 1, k, n, big);
            if (big == 0.0) {
                done = t;
                break;
            }
            swaps[s] = p;
            if (p != k) {
                // The row's numbers so far, and what earlier steps recorded
                // for it, travel with it.
                c.Interchange(k, p, t, width + t, t, false);
                std::swap_ranges(mult + k * kSteps, mult + k * kSteps + lo, mult + p * kSteps);
                std::swap(e.zero[k], e.zero[p]);
                std::swap(e.unit[k], e.unit[p]);
                std::swap(e.own[k], e.own[p]);
            }
            e.owner[k] = e.own[k];
            double* made = c.Column(width + t);
            std::copy_n(e.zero.data(), n, made);
            made[k] = e.unit[k];

            const double d = 1.0 / column[k];
            scales[s] = d;
            for (std::size_t j = t; j <= width + t; ++j) c.Column(j)[k] = c.Column(j)[k] * d;
            e.zero[k] = e.zero[k] * d;
            // Every other row i subtracts f[i] times the pivot row, f[i]
            // being its entry in column k before the step.
            double* f = c.Multipliers(t);
            std::copy_n(column, n, f);
            for (std::size_t j = t; j <= width + t; ++j) {
                double* target = c.Column(j);
                const double pivot = target[k];
                SubScaled(target, f, pivot, k);
                SubScaled(target + k + 1, f + k + 1, pivot, n - k - 1);
            }
            const double pivotZero = e.zero[k];
            for (std::size_t i = 0; i < n; ++i) {
                if (i == k) continue;
                e.zero[i] = e.zero[i] - f[i] * pivotZero;
                if (i > k) e.unit[i] = e.unit[i] - f[i] * pivotZero;
            }
        }
        // The columns of b made here go back into the panel, the
        // multipliers into mult.
        constexpr std::size_t kTile = 8;
        for (std::size_t i0 = 0; i0 < n; i0 += kTile) {
            const std::size_t i1 = std::min(n, i0 + kTile);
            for (std::size_t t = 0; t < done; ++t) {
                const double* made = c.Column(width + t);
                const double* f = c.Multipliers(t);
                for (std::size_t i = i0; i < i1; ++i) {
                    rows[i * ld + m + lo + t] = made[i];
                    mult[i * kSteps + lo + t] = f[i];
                }
            }
        }
        return done;
    }
};

// Steps [k0, k1) on the panel's own columns; the row operations are
// recorded for the rest of the work array (ApplyPanel), and the columns of
// b that they made move to positions n + k0 .. of the work array. Returns
// the number of steps done: fewer than k1 - k0 when a step finds no
// nonzero pivot.
std::size_t FactorPanel(Elimination& e, std::size_t k0, std::size_t k1, double* panel, std::size_t ld,
                        ColumnPanel& scratch, double* mult, std::size_t* swaps, double* scales) {
    const std::size_t n = e.n, m = k1 - k0;
    double* work = e.work;
    for (std::size_t i = 0; i < n; ++i) std::copy(work + i * e.w + k0, work + i * e.w + k1, panel + i * ld);
    PanelFactor factor{e, k0, m, panel, ld, mult, swaps, scales, scratch};
    const std::size_t done = factor.Factor(0, m);
    for (std::size_t i = 0; i < n; ++i) std::copy_n(panel + i * ld + m, done, work + i * e.w + n + k0);
    return done;
}

// The inverse as a zero-based column-major array: column owner[k] is the
// work array's column n + k.
DoubleArray InverseOf(const Elimination& e) {
    const std::size_t n = e.n;
    const auto last = static_cast<int32_t>(n) - 1;
    DoubleArray out = DoubleArray::Create2D(last, last);
    double* dst = out.Data();
    const double* src = e.work + n;
    constexpr std::size_t kTile = 8;  // as in RowMajorCopy
    for (std::size_t i0 = 0; i0 < n; i0 += kTile)
        for (std::size_t k0 = 0; k0 < n; k0 += kTile) {
            const std::size_t i1 = std::min(n, i0 + kTile), k1 = std::min(n, k0 + kTile);
            for (std::size_t k = k0; k < k1; ++k) {
                double* column = dst + e.owner[k] * n;
                for (std::size_t i = i0; i < i1; ++i) column[i] = src[i * e.w + k];
            }
        }
    return out;
}

}  // namespace

DoubleArray GaussJordanInvert(Matrix& receiver, const WorkVector& a, int32_t n, bool& failed,
                              bool& cancel) {
    const auto size = static_cast<std::size_t>(n);
    Elimination e(a, size);
    const std::size_t ldp = PaddedStride(2 * kSteps);
    DoubleArray panel = detail::DoubleArrayAccess::Work(size * ldp);
    const std::size_t width = InversePanelSteps(size);
    const std::size_t direct = size < kHalvingMinOrder ? width : kDirectSteps;
    ColumnPanel scratch(size, 2 * direct, direct);
    WorkVector mult(size * kSteps);
    std::size_t swaps[kSteps];
    double scales[kSteps];
    std::size_t reported = 0;  // steps whose progress event is done
    // Events for the steps up to `end`; true when a handler cancelled.
    auto report = [&](std::size_t end) {
        for (; reported < end; ++reported)
            if (Progress(receiver, "Inverse", static_cast<int32_t>(reported), n, cancel)) return true;
        return false;
    };
    for (std::size_t k0 = 0; k0 < size; k0 += width) {
        const std::size_t k1 = std::min(size, k0 + width);
        const std::size_t done = FactorPanel(e, k0, k1, panel.Data(), ldp, scratch, mult.data(), swaps, scales);
        const PanelSteps steps{.first = k0, .steps = done, .swaps = swaps, .scales = scales, .mult = mult.data(),
                               .ldm = kSteps, .pivotRowsTakeLaterSteps = true};
        const RowRange others[] = {{0, k0}, {k0 + done, size}};
        // The rest of every row: a's columns right of the panel and b's
        // columns made by the earlier panels, [k1, n + k0).
        ApplyPanel(e.work + k1, e.w, size + k0 - k1, steps, others, 2);
        if (fp::HasFault()) {
            // The flags cover the whole panel: the step-by-step elimination
            // finds the first faulting step, whose error follows the events
            // of the steps before it.
            const int flags = std::fetestexcept(fp::kFaultFlags);
            WorkVector aug;
            LoadAugmented(aug, a, size);
            const std::size_t s = FindFaultingStep(
                aug, size, [size](WorkVector& x, std::size_t k) { Step<false>(x.data(), size, k); });
            if (report(s)) return {};
            Step<true>(aug.data(), size, s);
            RaiseRecordedFault(flags);
        }
        if (done < k1 - k0) {
            if (report(k0 + done)) return {};
            failed = true;
            return {};
        }
        if (report(k1)) return {};
    }
    failed = false;
    return InverseOf(e);
}

}  // namespace kestrim::linsys
