// Singular value decomposition A = U * S * V^T of the receiver (any shape):
// the driver around SVDCore. It decides which accumulations are needed,
// runs the computation, and delivers U and V by adoption and S through
// Size and element access, then raises Done.
//
// A cancelled run still delivers the supplied outputs, from the arrays as
// the computation had left them at the cancelling event (they are not a
// decomposition), and raises Done. Every run-time failure (an arithmetic
// fault, non-convergence, a receiver without storage, storage that cannot
// be obtained) is reported as the operation's own error 16, and then no
// output is touched.
#include <exception>
#include <utility>

#include "core/MatrixAccess.h"
#include "decomp/SVDCore.h"

namespace kestrim {
namespace {

using detail::MatrixAccess;

constexpr int32_t kSvdHelp = 1132;

// The outputs the caller supplied are written in this order: U, V, then S.
void Deliver(Matrix& self, detail::SvdWork& work, bool wantU, bool wantV, MatrixPtr* U,
             MatrixPtr* S, MatrixPtr* V) {
    // S's storage is obtained before anything is written, so running out
    // of memory leaves every output as it was.
    const auto n = static_cast<int32_t>(work.n);
    DoubleArray diagonal = S != nullptr && *S ? DoubleArray::Create2D(n - 1, n - 1) : DoubleArray();
    if (wantU) {
        MatrixPtr target = *U;
        detail::RequireObject(target);
        MatrixAccess::SetData(*target, std::move(work.a));
    }
    if (wantV) {
        MatrixPtr target = *V;
        detail::RequireObject(target);
        MatrixAccess::SetData(*target, std::move(work.v));
    }
    if (S != nullptr && *S) {
        for (int32_t i = 0; i < n; ++i) diagonal.At(i, i) = work.w[i];
        MatrixAccess::SetData(**S, std::move(diagonal));
    }
    if (MatrixAccess::EventsEnabled(self)) MatrixAccess::RaiseDone(self, "SVD");
}

}  // namespace

void Matrix::SVD(MatrixPtr* U, MatrixPtr* S, MatrixPtr* V) try {
    detail::OperationScope scope(*this);
    bool failed = false;
    try {
        const bool wantU = U != nullptr && *U;
        const bool wantV = V != nullptr && *V;
        detail::SvdWork work;
        detail::SVDCore(*this, wantU, wantV, work);
        if (work.failure != 0) {
            failed = true;
        } else {
            Deliver(*this, work, wantU, wantV, U, S, V);
        }
    } catch (const std::exception&) {
        // Runtime errors (kestrim::Error), storage that cannot be obtained
        // (bad_alloc, length_error): all end as this operation's error.
        failed = true;
    }
    if (failed) {
        fp::ClearFlags();
        detail::RaiseMatrixError(16, detail::kSource, "An error occurred during SVD.", kSvdHelp);
    }
} catch (...) {
    detail::RethrowAsDocumented();
}

}  // namespace kestrim
