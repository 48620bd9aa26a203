// SolveGauss: Gauss-Jordan elimination on the augmented system [A | b].
#include <algorithm>
#include <cmath>

#include "linsys/Kernels.h"

namespace kestrim {

using detail::kSource;
using detail::RaiseMatrixError;

namespace {

// The work array is row-major, n + 1 wide: the receiver's row followed by
// the right-hand side's entry, so every row operation is one contiguous
// range. Returns false when column k has no nonzero entry on or below the
// diagonal. The pivot is the largest magnitude, the first row on ties.
template <bool kChecked>
bool Step(double* aug, std::size_t n, std::size_t k) {
    const std::size_t w = n + 1;
    double big = 0.0;
    const std::size_t p = linsys::FindPivot<linsys::PivotTies::First>(aug, w, n, k, big);
    if (big == 0.0) return false;
    double* pivot = aug + k * w;
    if (p != k) std::swap_ranges(pivot + k, pivot + w, aug + p * w + k);

    // The pivot element itself is not rewritten, nor is column k elsewhere.
    const double d = 1.0 / pivot[k];
    if constexpr (kChecked) {
        linsys::Checked();
        for (std::size_t j = k + 1; j < w; ++j) {
            pivot[j] = pivot[j] * d;
            linsys::Checked();
        }
    } else {
        linsys::Scale(pivot + k + 1, d, w - k - 1);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (i == k) continue;
        double* row = aug + i * w;
        const double f = row[k];
        if (f == 0.0) continue;
        if constexpr (kChecked) {
            for (std::size_t j = k + 1; j < w; ++j) {
                row[j] = row[j] - f * pivot[j];
                linsys::Checked();
            }
        } else {
            linsys::SubScaled(row + k + 1, pivot + k + 1, f, w - k - 1);
        }
    }
    return true;
}

// Steps [k0, k1) on the panel's own columns [k0, k1), kept column-major in
// `panel`, recording the row operations for the columns right of the panel
// (ApplyPanel). Returns the number of steps done: fewer than k1 - k0 when a
// column has no nonzero pivot.
std::size_t FactorPanel(const double* aug, std::size_t n, std::size_t k0, std::size_t k1,
                        linsys::ColumnPanel& panel, std::vector<linsys::RowRange>& runs, std::size_t* swaps,
                        double* scales) {
    const std::size_t m = k1 - k0;
    panel.Load(aug, n + 1, 0, n, k0, k1);
    for (std::size_t k = k0; k < k1; ++k) {
        const std::size_t s = k - k0;
        double* column = panel.Column(s);
        double big = 0.0;
        const std::size_t p = linsys::FindPivotInColumn<linsys::PivotTies::First>(column, 1, k, n, big);
        if (big == 0.0) return s;
        swaps[s] = p;
        if (p != k) panel.Interchange(k, p, s, m, s, true);
        // The pivot element itself is not rewritten, nor is column k elsewhere.
        const double d = 1.0 / column[k];
        scales[s] = d;
        for (std::size_t j = s + 1; j < m; ++j) panel.Column(j)[k] = panel.Column(j)[k] * d;
        // Rows whose entry in column k is exactly zero are left alone.
        double* f = panel.Multipliers(s);
        unsigned char* skips = panel.Skips(s);
        for (std::size_t i = 0; i < n; ++i) {
            f[i] = column[i];
            skips[i] = f[i] == 0.0;
        }
        linsys::UnskippedRuns(skips, 0, n, k, runs);
        for (std::size_t j = s + 1; j < m; ++j)
            linsys::SubScaledRuns(panel.Column(j), f, panel.Column(j)[k], runs);
    }
    return m;
}

// The right-hand side's array has no entry to read. The first step reads
// it after its pivot search and, when the pivot row stays, after that row's
// products; those keep their own errors, then the read fails.
[[noreturn]] void RaiseUnreadableRightHandSide(const linsys::WorkVector& aug, std::size_t n) {
    const std::size_t w = n + 1;
    double big = 0.0;
    std::size_t p = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = std::fabs(aug[i * w]);
        if (std::isgreater(v, big)) {
            p = i;
            big = v;
        }
    }
    if (big == 0.0) RaiseMatrixError(10, kSource, "System of equations can not be solved.", 1118);
    if (p == 0) {
        const double d = 1.0 / aug[0];
        fp::TestStep();
        for (std::size_t j = 1; j < n; ++j) {
            // Kept observable, so the product and its fault are not dropped.
            volatile double product = aug[j] * d;
            (void)product;
            fp::TestStep();
        }
    }
    RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
}

}  // namespace

MatrixPtr Matrix::SolveGauss(MatrixPtr RightHandSide) try {
    detail::OperationScope scope(*this);
    // The right-hand side's array is read before anything is validated.
    detail::RequireObject(RightHandSide);
    const DoubleArray r = RightHandSide->AsArray();
    if (!IsSquare())
        RaiseMatrixError(9, kSource, "Not a square Matrix. System of equations can not be solved.",
                         1118);
    const int32_t n = LastRow + 1;
    if (RightHandSide->Rows() != n || RightHandSide->Cols() != 1)
        RaiseMatrixError(11, kSource, "Right hand side matrix is not sized correctly.", 1118);
    RequireStorage();

    const auto size = static_cast<std::size_t>(n);
    const std::size_t w = size + 1;
    // A right-hand side without storage still reports its counts.
    const bool readable = r.HasStorage() && r.Dims() == 2 && r.UBound(1) >= n - 1 && r.UBound(2) >= 0;
    // The right-hand side is our own copy already; the receiver is read again
    // only when a replay needs it before any event.
    linsys::InitialState initial([this, &r, readable, size, w] {
        linsys::WorkVector rows = linsys::RowMajorCopy(Elements, size, w);  // right-hand side 0.0
        if (readable)
            for (std::size_t i = 0; i < size; ++i) rows[i * w + size] = r.At(i, 0);
        return rows;
    });
    linsys::WorkVector aug = initial.Get();
    if (!readable) RaiseUnreadableRightHandSide(aug, size);

    // Blocked as the inversion is: a panel of steps on its own columns, then
    // the columns right of it (the right-hand side included) take the
    // panel's row operations at once; flags and events after each panel.
    constexpr std::size_t ldm = linsys::kPanelSteps;
    linsys::WorkVector mult(size * ldm);
    std::vector<unsigned char> skip(size * ldm);
    linsys::ColumnPanel panel(size, ldm, ldm);
    std::vector<linsys::RowRange> runs;
    std::size_t swaps[ldm];
    double scales[ldm];
    bool cancel = false;
    std::size_t reported = 0;
    auto report = [&](std::size_t end) {
        for (; reported < end; ++reported)
            if (linsys::Progress(*this, "SolveGauss", static_cast<int32_t>(reported), n, cancel,
                                 initial))
                return true;
        return false;
    };
    for (std::size_t k0 = 0; k0 < size; k0 += ldm) {
        const std::size_t k1 = std::min(size, k0 + ldm);
        const std::size_t done = FactorPanel(aug.data(), size, k0, k1, panel, runs, swaps, scales);
        panel.Record(0, size, done, mult.data(), skip.data());
        const linsys::PanelSteps steps{.first = k0, .steps = done, .swaps = swaps, .scales = scales,
                                       .mult = mult.data(), .ldm = ldm, .skip = skip.data(),
                                       .pivotRowsTakeLaterSteps = true};
        const linsys::RowRange others[] = {{0, k0}, {k0 + done, size}};
        linsys::ApplyPanel(aug.data() + k1, w, w - k1, steps, others, 2);
        if (fp::HasFault()) {
            const int flags = std::fetestexcept(fp::kFaultFlags);
            aug = initial.Get();
            const std::size_t s = linsys::FindFaultingStep(
                aug, size, [size](linsys::WorkVector& x, std::size_t k) { Step<false>(x.data(), size, k); });
            if (report(s)) return nullptr;
            Step<true>(aug.data(), size, s);
            linsys::RaiseRecordedFault(flags);
        }
        if (report(k0 + done)) return nullptr;
        if (done < k1 - k0) RaiseMatrixError(10, kSource, "System of equations can not be solved.", 1118);
    }

    auto result = Matrix::New();
    result->SetRows(n);
    result->SetCols(1);
    for (int32_t i = 0; i < n; ++i) result->SetItem(i, 0, aug[static_cast<std::size_t>(i) * w + size]);
    linsys::Finish(*this, "SolveGauss");
    return result;
} catch (...) {
    detail::RethrowAsDocumented();
}

}  // namespace kestrim
