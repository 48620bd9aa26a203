// Determinant: Gaussian elimination with partial pivoting on a private copy.
#include <algorithm>
#include <cmath>

#include "linsys/Kernels.h"

namespace kestrim {

using detail::kSource;
using detail::RaiseMatrixError;

namespace {

// One elimination step on the row-major n x n array w (rows ld apart). Returns false when
// column k has no nonzero entry on or below the diagonal. The pivot is the
// largest magnitude, the last row on ties; rows whose entry in column k is
// exactly zero are left alone.
template <bool kChecked>
bool Step(double* w, std::size_t ld, std::size_t n, std::size_t k, double& sign) {
    double big = 0.0;
    const std::size_t p = linsys::FindPivot<linsys::PivotTies::Last>(w, ld, n, k, big);
    if (big == 0.0) return false;
    double* pivot = w + k * ld;
    if (p != k) {
        std::swap_ranges(pivot + k, pivot + n, w + p * ld + k);
        sign = -sign;
    }
    for (std::size_t i = k + 1; i < n; ++i) {
        double* row = w + i * ld;
        if (row[k] == 0.0) continue;
        const double f = row[k] / pivot[k];
        if constexpr (kChecked) {
            linsys::Checked();
            for (std::size_t j = k; j < n; ++j) {
                row[j] = row[j] - f * pivot[j];
                linsys::Checked();
            }
        } else {
            linsys::SubScaled(row + k, pivot + k, f, n - k);
        }
    }
    return true;
}

// Steps [k0, k1) on the panel's own columns [k0, k1), kept column-major in
// `panel` (rows from k0 on): pivot search, interchange, multipliers and
// eliminations, recording the row operations for the columns right of the
// panel (ApplyPanel). The pivots go back to the diagonal of w. Returns the
// number of steps done: fewer than k1 - k0 when a column has no nonzero
// pivot.
std::size_t FactorPanel(double* w, std::size_t ld, std::size_t n, std::size_t k0, std::size_t k1,
                        linsys::ColumnPanel& panel, std::vector<linsys::RowRange>& runs, std::size_t* swaps,
                        double& sign) {
    const std::size_t m = k1 - k0;
    panel.Load(w, ld, k0, n, k0, k1);
    for (std::size_t k = k0; k < k1; ++k) {
        const std::size_t s = k - k0;
        double* column = panel.Column(s);
        double big = 0.0;
        const std::size_t p = linsys::FindPivotInColumn<linsys::PivotTies::Last>(column, 1, k, n, big);
        if (big == 0.0) return s;
        swaps[s] = p;
        if (p != k) {
            panel.Interchange(k, p, s, m, s, true);
            sign = -sign;
        }
        const double pivot = column[k];
        w[k * ld + k] = pivot;
        // Rows whose entry in column k is exactly zero are left alone.
        double* f = panel.Multipliers(s);
        unsigned char* skips = panel.Skips(s);
        for (std::size_t i = k + 1; i < n; ++i) {
            skips[i] = column[i] == 0.0;
            f[i] = skips[i] ? 0.0 : column[i] / pivot;
        }
        linsys::UnskippedRuns(skips, k + 1, n, n, runs);
        for (std::size_t j = s; j < m; ++j) linsys::SubScaledRuns(panel.Column(j), f, panel.Column(j)[k], runs);
    }
    return m;
}

}  // namespace

double Matrix::Determinant() try {
    detail::OperationScope scope(*this);
    if (LastRow != LastCol)
        RaiseMatrixError(8, kSource, "Determinant can be calculated only for a square matrix.", 1116);
    RequireStorage();
    const int32_t n = LastRow + 1;
    const auto size = static_cast<std::size_t>(n);
    const std::size_t ld = linsys::PaddedStride(size);
    linsys::InitialState initial([this, size, ld] { return linsys::RowMajorCopy(Elements, size, ld); });
    linsys::WorkVector w = initial.Get();

    // Blocked right-looking elimination: a panel of steps is done on its own
    // columns, then the columns right of it take the panel's row operations
    // all at once, each element still in the order of the steps. The flags
    // and the events of a panel's steps are dealt with after the panel.
    constexpr std::size_t ldm = linsys::kPanelSteps;
    linsys::WorkVector mult(size * ldm);
    std::vector<unsigned char> skip(size * ldm);
    linsys::ColumnPanel panel(size, ldm, ldm);
    std::vector<linsys::RowRange> runs;
    std::size_t swaps[ldm];
    double sign = 1.0;
    bool cancel = false;
    std::size_t reported = 0;
    auto report = [&](std::size_t end) {
        for (; reported < end; ++reported)
            if (linsys::Progress(*this, "Determinant", static_cast<int32_t>(reported), n, cancel,
                                 initial))
                return true;
        return false;
    };
    for (std::size_t k0 = 0; k0 < size; k0 += ldm) {
        const std::size_t k1 = std::min(size, k0 + ldm);
        const std::size_t done = FactorPanel(w.data(), ld, size, k0, k1, panel, runs, swaps, sign);
        panel.Record(k0, size, done, mult.data(), skip.data());
        const linsys::PanelSteps steps{
            .first = k0, .steps = done, .swaps = swaps, .mult = mult.data(), .ldm = ldm, .skip = skip.data()};
        const linsys::RowRange below[] = {{k0 + done, size}};
        linsys::ApplyPanel(w.data() + k1, ld, size - k1, steps, below, 1);
        if (fp::HasFault()) {
            // The first faulting step, found step by step, raises its error
            // after the events of the steps before it.
            const int flags = std::fetestexcept(fp::kFaultFlags);
            w = initial.Get();
            const std::size_t s = linsys::FindFaultingStep(w, size, [&](linsys::WorkVector& x, std::size_t k) {
                double ignored = 1.0;
                Step<false>(x.data(), ld, size, k, ignored);
            });
            if (report(s)) return 0.0;
            double ignored = 1.0;
            Step<true>(w.data(), ld, size, s, ignored);
            linsys::RaiseRecordedFault(flags);
        }
        if (report(k0 + done) || done < k1 - k0) return 0.0;
    }
    double product = 1.0;
    for (std::size_t i = 0; i < size; ++i) {
        product = product * w[i * ld + i];
        fp::TestStep();
    }
    const double result = product * sign;
    fp::TestStep();
    linsys::Finish(*this, "Determinant");
    return result;
} catch (...) {
    detail::RethrowAsDocumented();
}

}  // namespace kestrim
