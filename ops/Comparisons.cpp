// IsSymmetric and IsEqualTo (IsSquare is inline in the class).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/MatrixAccess.h"
#include "ops/OpsSupport.h"

namespace kestrim {

using detail::MatrixAccess;

bool Matrix::IsSymmetric() const try {
    detail::OperationScope scope(*this);
    if (!IsSquare()) return false;
    const int32_t n = LastRow + 1;
    if (n < 2) return true;  // no pair off the diagonal
    MatrixAccess::RequireStorage(*this);
    // The answer does not depend on the order in which the pairs are
    // examined, so the upper triangle is scanned in tiles: the column run
    // of (i, j) and the row run of (j, i) both stay in cache. A pair with
    // a NaN is not symmetric; == is a quiet comparison, so it raises no
    // flag.
    const double* e = Elements.Data();
    const std::size_t ld = Elements.Stride();
    constexpr int32_t kTile = 32;
    for (int32_t j0 = 0; j0 < n; j0 += kTile) {
        const int32_t j1 = std::min(n, j0 + kTile);
        for (int32_t i0 = 0; i0 <= j0; i0 += kTile) {
            const int32_t i1 = std::min(j1, i0 + kTile);
            for (int32_t j = j0; j < j1; ++j) {
                const double* upper = e + static_cast<std::size_t>(j) * ld;  // (i, j)
                const double* lower = e + static_cast<std::size_t>(j);        // (j, i)
                const int32_t iEnd = std::min(i1, j);
                for (int32_t i = i0; i < iEnd; ++i)
                    if (!(upper[i] == lower[static_cast<std::size_t>(i) * ld])) return false;
            }
        }
    }
    return true;
} catch (...) {
    detail::RethrowAsDocumented();
}

bool Matrix::IsEqualTo(MatrixPtr Matrix2, double MaxDifference) try {
    detail::OperationScope scope(*this);
    detail::RequireObject(Matrix2);
    const int32_t otherRows = Matrix2->Rows();
    const int32_t otherCols = Matrix2->Cols();
    if (otherRows != LastRow + 1 || otherCols != LastCol + 1) return false;
    const DoubleArray b = Matrix2->AsArray();
    const int32_t m = LastRow + 1;
    const int32_t n = LastCol + 1;
    if (m == 0 || n == 0) return true;
    MatrixAccess::RequireStorage(*this);
    if (!b.HasStorage() || b.Stride() != static_cast<std::size_t>(m) ||
        b.Count() != static_cast<std::size_t>(m) * static_cast<std::size_t>(n))
        ops::RaiseSubscript();

    // One pass in storage order answers the common case: no NaN, no fault
    // and every difference below the tolerance.
    const double* e = Elements.Data();
    const double* other = b.Data();
    const std::size_t count = static_cast<std::size_t>(m) * static_cast<std::size_t>(n);
    bool allBelow = true;
    for (std::size_t t = 0; t < count; ++t) {
        const double d = std::fabs(other[t] - e[t]);
        allBelow &= __builtin_isless(d, MaxDifference);  // false for a NaN difference
    }
    if (allBelow && !fp::HasFault()) return true;

    // Otherwise the first element in row order decides: a NaN pair or a
    // difference not below the tolerance gives false, a fault its error.
    fp::ClearFlags();
    for (int32_t i = 0; i < m; ++i)
        for (int32_t j = 0; j < n; ++j) {
            const double x = b.At(i, j);
            const double y = Elements.At(i, j);
            if (std::isnan(x) || std::isnan(y)) return false;
            const double d = std::fabs(x - y);
            ops::StoreAndTest(d);
            if (!(d < MaxDifference)) return false;
        }
    return true;
} catch (...) {
    detail::RethrowAsDocumented();
}

}  // namespace kestrim
