#include "linsys/GaussJordan.h"

#include <algorithm>
#include <cmath>

#include "linsys/Kernels.h"

namespace kestrim::linsys {

namespace {

// The work array is the augmented row-major system [a | b], 2n wide. A row
// operation of step k touches a's columns k..n-1 and all of b, which are
// the contiguous range [k, 2n) of the row.
std::size_t Stride(std::size_t n) { return PaddedStride(2 * n); }

void LoadAugmented(std::vector<double>& aug, const std::vector<double>& a, std::size_t n) {
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

// One panel of steps [k0, k1) of the blocked elimination: each step's
// pivot search, interchange, normalisation and eliminations run at once on
// the panel's own columns [k0, k1); the rest of every row, columns
// [k1, 2n), takes the panel's row operations afterwards, all together
// (ApplyPanel), each element still in the order of the steps. Returns the
// number of steps done: fewer than k1 - k0 when a step finds no pivot.
std::size_t FactorPanel(double* aug, std::size_t n, std::size_t k0, std::size_t k1,
                        std::vector<double>& mult, std::size_t* swaps, double* scales) {
    const std::size_t w = Stride(n);
    const std::size_t ldm = kPanelSteps;
    for (std::size_t k = k0; k < k1; ++k) {
        const std::size_t s = k - k0;
        double big = 0.0;
        const std::size_t p = linsys::FindPivot<linsys::PivotTies::Last>(aug, w, n, k, big);
        if (big == 0.0) return s;
        double* pivot = aug + k * w;
        swaps[s] = p;
        if (p != k) {
            std::swap_ranges(pivot + k, pivot + k1, aug + p * w + k);
            // The multipliers recorded so far travel with their rows.
            std::swap_ranges(&mult[k * ldm], &mult[k * ldm] + s, &mult[p * ldm]);
        }
        const double d = 1.0 / pivot[k];
        scales[s] = d;
        Scale(pivot + k, d, k1 - k);
        for (std::size_t i = 0; i < n; ++i) {
            if (i == k) continue;
            double* row = aug + i * w;
            const double f = row[k];
            mult[i * ldm + s] = f;
            SubScaled(row + k, pivot + k, f, k1 - k);
        }
    }
    return k1 - k0;
}

}  // namespace

void GaussJordanInvert(Matrix& receiver, std::vector<double>& a, int32_t n, bool& failed,
                       bool& cancel) {
    const auto size = static_cast<std::size_t>(n);
    const std::size_t w = Stride(size);
    std::vector<double> aug;
    LoadAugmented(aug, a, size);
    std::vector<double> mult(size * kPanelSteps);
    std::size_t swaps[kPanelSteps];
    double scales[kPanelSteps];
    std::size_t reported = 0;  // steps whose progress event is done
    // Events for the steps up to `end`; true when a handler cancelled.
    auto report = [&](std::size_t end) {
        for (; reported < end; ++reported)
            if (Progress(receiver, "Inverse", static_cast<int32_t>(reported), n, cancel)) return true;
        return false;
    };
    for (std::size_t k0 = 0; k0 < size; k0 += kPanelSteps) {
        const std::size_t k1 = std::min(size, k0 + kPanelSteps);
        const std::size_t done = FactorPanel(aug.data(), size, k0, k1, mult, swaps, scales);
        PanelSteps panel;
        panel.first = k0;
        panel.steps = done;
        panel.swaps = swaps;
        panel.scales = scales;
        panel.mult = mult.data();
        panel.ldm = kPanelSteps;
        panel.pivotRowsTakeLaterSteps = true;
        const RowRange others[] = {{0, k0}, {k0 + done, size}};
        ApplyPanel(aug.data() + k1, w, 2 * size - k1, panel, others, 2);
        if (fp::HasFault()) {
            // The flags cover the whole panel: the step-by-step elimination
            // finds the first faulting step, whose error follows the events
            // of the steps before it.
            const int flags = std::fetestexcept(fp::kFaultFlags);
            LoadAugmented(aug, a, size);
            const std::size_t s = FindFaultingStep(
                aug, size, [size](std::vector<double>& x, std::size_t k) { Step<false>(x.data(), size, k); });
            if (report(s)) return;
            Step<true>(aug.data(), size, s);
            RaiseRecordedFault(flags);
        }
        if (done < k1 - k0) {
            if (report(k0 + done)) return;
            failed = true;
            return;
        }
        if (report(k1)) return;
    }
    failed = false;
    for (std::size_t i = 0; i < size; ++i) std::copy_n(&aug[i * w + size], size, &a[i * size]);
}

}  // namespace kestrim::linsys
