// Inverse: Gauss-Jordan inversion of a private copy into a new Matrix.
#include "linsys/GaussJordan.h"
#include "linsys/Kernels.h"

namespace kestrim {

using detail::kSource;
using detail::MatrixAccess;
using detail::RaiseMatrixError;

MatrixPtr Matrix::Inverse() try {
    detail::OperationScope scope(*this);
    if (LastRow != LastCol)
        RaiseMatrixError(5, kSource, "This operation is possible only for a square Matrix.", 1108);
    RequireStorage();
    const int32_t n = LastRow + 1;
    linsys::WorkVector a = linsys::RowMajorCopy(Elements, static_cast<std::size_t>(n));

    bool failed = false;
    bool cancel = false;
    DoubleArray inverse = linsys::GaussJordanInvert(*this, a, n, failed, cancel);
    if (cancel) return nullptr;
    if (failed) RaiseMatrixError(6, kSource, "Matrix can not be inverted.", 1108);

    auto result = Matrix::New();
    MatrixAccess::SetData(*result, std::move(inverse));
    linsys::Finish(*this, "Inverse");
    return result;
} catch (...) {
    detail::RethrowAsDocumented();
}

}  // namespace kestrim
