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
    std::size_t p = k;
    for (std::size_t i = k; i < n; ++i) {
        const double v = std::fabs(aug[i * w + k]);
        if (std::isgreaterequal(v, big)) {
            p = i;
            big = v;
        }
    }
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

// A fault showed up in step k (all earlier steps were clean): repeat the
// elimination up to step k and run step k with a test after every stored
// result, so that the first faulting step raises its own error.
[[noreturn]] void ReplayFault(std::vector<double>& aug, const std::vector<double>& a,
                              std::size_t n, std::size_t k) {
    const int flags = std::fetestexcept(fp::kFaultFlags);
    fp::ClearFlags();
    LoadAugmented(aug, a, n);
    for (std::size_t s = 0; s < k; ++s) Step<false>(aug.data(), n, s);
    fp::ClearFlags();
    Step<true>(aug.data(), n, k);
    RaiseRecordedFault(flags);
}

}  // namespace

void GaussJordanInvert(Matrix& receiver, std::vector<double>& a, int32_t n, bool& failed,
                       bool& cancel) {
    const auto size = static_cast<std::size_t>(n);
    std::vector<double> aug;
    LoadAugmented(aug, a, size);
    for (std::size_t k = 0; k < size; ++k) {
        if (!Step<false>(aug.data(), size, k)) {
            failed = true;
            return;
        }
        if (fp::HasFault()) ReplayFault(aug, a, size, k);
        if (Progress(receiver, "Inverse", static_cast<int32_t>(k), n, cancel)) return;
    }
    failed = false;
    const std::size_t w = Stride(size);
    for (std::size_t i = 0; i < size; ++i) std::copy_n(&aug[i * w + size], size, &a[i * size]);
}

}  // namespace kestrim::linsys
