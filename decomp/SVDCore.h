// The arithmetic of the singular value decomposition, on private arrays:
// Householder bidiagonalisation, accumulation of the right and left
// transformations, and implicitly shifted QR sweeps on the bidiagonal form
// (Golub-Reinsch). Used by Matrix::SVD.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kestrim/DoubleArray.h"
#include "kestrim/Matrix.h"

namespace kestrim::detail {

struct SvdWork {
    // Failure code for an arithmetic fault inside the computation.
    static constexpr int32_t kFaultFailure = 1000;

    std::size_t m = 0;
    std::size_t n = 0;
    // U (m x n) and V (n x n) in the layout of Elements, ready to be
    // adopted; filled after a successful or cancelled run, when wanted.
    DoubleArray a;
    DoubleArray v;
    // The singular values, in the order the sweeps leave them (unsorted).
    std::vector<double> w;
    // 0 on success; the index of the singular value that did not converge
    // in 30 sweeps; or kFaultFailure after an arithmetic fault.
    int32_t failure = 0;
    // The caller set Cancel in a progress event; the arrays are as the
    // computation had left them there (not a decomposition).
    bool cancelled = false;
};

// Decomposes the receiver's elements (which must have storage), raising the
// "SVD" progress events on `receiver`. Out-of-memory and other runtime
// errors propagate as exceptions; arithmetic faults and non-convergence are
// reported through `work.failure`.
void SVDCore(Matrix& receiver, bool wantU, bool wantV, SvdWork& work);

}  // namespace kestrim::detail
