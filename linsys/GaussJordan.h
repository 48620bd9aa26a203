// Gauss-Jordan inversion shared by Inverse and Solve.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kestrim/Matrix.h"
#include "linsys/Kernels.h"

namespace kestrim::linsys {

// Steps per panel of the inversion: an eighth of the order, in multiples
// of 8, from 16 to 64. Its panels are factored in halves through the
// product kernels, which makes wider panels pay than in the other
// eliminations once the array is large.
inline constexpr std::size_t kInversePanelSteps = 64;
constexpr std::size_t InversePanelSteps(std::size_t n) {
    const std::size_t steps = n / 64 * 8;
    return steps < 16 ? 16 : steps > kInversePanelSteps ? kInversePanelSteps : steps;
}

// Inverts the row-major n x n array `a` by Gauss-Jordan elimination with
// partial pivoting (largest magnitude, the last row on ties), applied in
// parallel to an identity. On success returns the inverse as a zero-based
// column-major n x n array and `failed` is false. When a pivot column has
// no nonzero entry on or below the diagonal, `failed` becomes true and the
// result is empty, as it is after a cancel. Raises
// OnProgress "Inverse" on `receiver` after every column while its events
// are on; `cancel` is the flag handed to the handlers, and the routine
// returns at once when it is set.
DoubleArray GaussJordanInvert(Matrix& receiver, const WorkVector& a, int32_t n, bool& failed,
                              bool& cancel);

}  // namespace kestrim::linsys
