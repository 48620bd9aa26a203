// Solve: the inverse (by Gauss-Jordan) times the right-hand side.
#include "linsys/GaussJordan.h"
#include "linsys/Kernels.h"

namespace kestrim {

using detail::kSource;
using detail::MatrixAccess;
using detail::RaiseMatrixError;

MatrixPtr Matrix::Solve(MatrixPtr RightHandTerms) try {
    detail::OperationScope scope(*this);
    if (LastCol != LastRow)
        RaiseMatrixError(9, kSource, "Not as square Matrix. System of equations can not be solved.",
                         1117);
    const int32_t n = LastRow + 1;
    detail::RequireObject(RightHandTerms);
    if (RightHandTerms->Rows() != n || RightHandTerms->Cols() != 1)
        RaiseMatrixError(11, kSource, "Right hand side matrix is not sized correctly.", 1117);
    RequireStorage();
    linsys::WorkVector a = linsys::RowMajorCopy(Elements, static_cast<std::size_t>(n));

    bool failed = false;
    bool cancel = false;
    DoubleArray inverse = linsys::GaussJordanInvert(*this, a, n, failed, cancel);
    if (cancel) return nullptr;
    if (failed) RaiseMatrixError(10, kSource, "System of equations can not be solved.", 1117);

    MatrixPtr result;
    {
        // The temporary inverse has no handlers, so its own events reach nobody.
        auto temporary = Matrix::New();
        MatrixAccess::SetData(*temporary, std::move(inverse));
        result = temporary->Times(RightHandTerms);
    }
    linsys::Finish(*this, "Solve");
    return result;
} catch (...) {
    detail::RethrowAsDocumented();
}

}  // namespace kestrim
