// Normalize and NormalizeMe: scaling by the element of largest magnitude.
//
// The running value is the signed element of largest magnitude (the first
// in row order among equal magnitudes), so that this element becomes
// exactly 1 and a negative one flips every sign. The elements are
// multiplied by its reciprocal.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/MatrixAccess.h"
#include "ops/OpsSupport.h"

namespace kestrim {

using detail::MatrixAccess;

void Matrix::NormalizeMe(double* NormValue) try {
    detail::OperationScope scope(*this);
    const int32_t m = LastRow + 1;
    const int32_t n = LastCol + 1;
    double v = 0.0;
    bool allFinite = true;
    if (m > 0 && n > 0) {
        MatrixAccess::RequireStorage(*this);
        // Storage order visits a column top to bottom; among equal
        // magnitudes the one in the lowest row (then the lowest column,
        // which storage order meets first) comes first in row order.
        const double* e = Elements.Data();
        double best = 0.0;
        int32_t bestRow = -1;
        for (int32_t j = 0; j < n; ++j) {
            const double* col = e + static_cast<std::size_t>(j) * static_cast<std::size_t>(m);
            for (int32_t i = 0; i < m; ++i) {
                // Quiet comparisons: a NaN is never the largest and raises
                // no flag.
                const double a = std::fabs(col[i]);
                allFinite &= std::isfinite(a);
                if (__builtin_isgreater(a, best) || (a == best && best > 0.0 && i < bestRow)) {
                    best = a;
                    bestRow = i;
                    v = col[i];
                }
            }
        }
    }
    if (std::fabs(v) > 0.0) {
        const double r = 1.0 / v;
        ops::StoreAndTest(r);
        double* e = Elements.Data();
        const std::size_t count = static_cast<std::size_t>(m) * static_cast<std::size_t>(n);
        if (allFinite) {
            // |e| <= |v| for every element, so r * e neither overflows nor
            // is invalid: no fault is possible and any order will do.
            for (std::size_t t = 0; t < count; ++t) e[t] = r * e[t];
        } else {
            // An infinity (0 * inf) or a signalling NaN can fault: scale in
            // row order and stop at the first fault, keeping the elements
            // already scaled.
            for (int32_t i = 0; i < m; ++i)
                for (int32_t j = 0; j < n; ++j) {
                    double& x = Elements.At(i, j);
                    x = r * x;
                    ops::StoreAndTest(x);
                }
        }
    }
    if (NormValue) *NormValue = v;
} catch (...) {
    detail::RethrowAsDocumented();
}

MatrixPtr Matrix::Normalize(double* NormValue) try {
    detail::OperationScope scope(*this);
    MatrixPtr copy = Clone();
    copy->NormalizeMe(NormValue);
    return copy;
} catch (...) {
    detail::RethrowAsDocumented();
}

}  // namespace kestrim
