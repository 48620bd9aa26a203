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
    std::size_t p = k;
    for (std::size_t i = k; i < n; ++i) {
        const double v = std::fabs(w[i * ld + k]);
        if (std::isgreaterequal(v, big)) {
            p = i;
            big = v;
        }
    }
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

// Step k raised a fault flag (every earlier step was clean): repeat up to
// it and run it with a test after every stored result.
[[noreturn]] void ReplayFault(std::vector<double>& w, const linsys::InitialState& initial,
                              std::size_t ld, std::size_t n, std::size_t k) {
    const int flags = std::fetestexcept(fp::kFaultFlags);
    fp::ClearFlags();
    w = initial.Get();
    double sign = 1.0;
    for (std::size_t s = 0; s < k; ++s) Step<false>(w.data(), ld, n, s, sign);
    fp::ClearFlags();
    Step<true>(w.data(), ld, n, k, sign);
    linsys::RaiseRecordedFault(flags);
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
    std::vector<double> w = initial.Get();

    double sign = 1.0;
    bool cancel = false;
    for (std::size_t k = 0; k < size; ++k) {
        if (!Step<false>(w.data(), ld, size, k, sign)) return 0.0;
        if (fp::HasFault()) ReplayFault(w, initial, ld, size, k);
        if (linsys::Progress(*this, "Determinant", static_cast<int32_t>(k), n, cancel, initial))
            return 0.0;
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
