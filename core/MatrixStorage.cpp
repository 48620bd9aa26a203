// Dimensions, element access, storage adoption and handler bookkeeping.
#include <algorithm>

#include "core/MatrixAccess.h"

namespace kestrim {

using detail::kSource;
using detail::RaiseMatrixError;

MatrixPtr Matrix::New() try {
    return std::make_shared<Matrix>();
} catch (...) {
    detail::RethrowAsDocumented();
}

void Matrix::RequireStorage() const {
    if (!Elements.HasStorage()) RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
}

void Matrix::SetRows(int32_t NumOfRows) try {
    if (NumOfRows < 1) RaiseMatrixError(1, kSource, "Invalid number of rows.", 1101);
    // A new row count always clears the matrix. The new storage is obtained
    // before anything changes, so a failed allocation leaves the object as it was.
    DoubleArray fresh;
    if (ColsSet) fresh = DoubleArray::Create2D(NumOfRows - 1, LastCol);
    LastRow = NumOfRows - 1;
    RowsSet = true;
    if (ColsSet) Elements = std::move(fresh);
} catch (...) {
    detail::RethrowAsDocumented();
}

void Matrix::SetCols(int32_t NumOfCols) try {
    if (NumOfCols < 1) RaiseMatrixError(2, kSource, "Invalid number of columns.", 1102);
    // A new column count keeps the surviving columns.
    DoubleArray resized;
    if (RowsSet) {
        if (Elements.HasStorage() && Elements.Dims() == 2) {
            resized = Elements;
            resized.RedimPreserveLast(NumOfCols - 1);
        } else {
            resized = DoubleArray::Create2D(LastRow, NumOfCols - 1);
        }
    }
    LastCol = NumOfCols - 1;
    ColsSet = true;
    if (RowsSet) Elements = std::move(resized);
} catch (...) {
    detail::RethrowAsDocumented();
}

void Matrix::Size(int32_t NumOfRows, int32_t NumOfCols) try {
    if (NumOfRows < 1) RaiseMatrixError(1, kSource, "Invalid number of rows.", 1103);
    if (NumOfCols < 1) RaiseMatrixError(2, kSource, "Invalid number of columns.", 1103);
    DoubleArray fresh = DoubleArray::Create2D(NumOfRows - 1, NumOfCols - 1);
    LastRow = NumOfRows - 1;
    LastCol = NumOfCols - 1;
    Elements = std::move(fresh);
    RowsSet = ColsSet = true;
} catch (...) {
    detail::RethrowAsDocumented();
}

double Matrix::Item(int32_t RowIndex, int32_t ColIndex) const try {
    if (RowIndex < 0 || RowIndex > LastRow)
        RaiseMatrixError(19, kSource, "Row index exceeds matrix size.", 1105);
    if (ColIndex < 0 || ColIndex > LastCol)
        RaiseMatrixError(20, kSource, "Column index exceeds matrix size.", 1105);
    RequireStorage();
    return Elements.At(static_cast<std::size_t>(RowIndex), static_cast<std::size_t>(ColIndex));
} catch (...) {
    detail::RethrowAsDocumented();
}

void Matrix::SetItem(int32_t RowIndex, int32_t ColIndex, double vData) try {
    if (RowIndex < 0 || RowIndex > LastRow)
        RaiseMatrixError(19, kSource, "Row index exceeds matrix size.", 1105);
    if (ColIndex < 0 || ColIndex > LastCol)
        RaiseMatrixError(20, kSource, "Column index exceeds matrix size.", 1105);
    RequireStorage();
    Elements.At(static_cast<std::size_t>(RowIndex), static_cast<std::size_t>(ColIndex)) = vData;
} catch (...) {
    detail::RethrowAsDocumented();
}

Matrix::Cookie Matrix::Connect(std::shared_ptr<MatrixEvents> handler) try {
    if (!handler) RaiseRuntimeError(RuntimeError::MissingObject);
    const Cookie cookie = nextCookie_++;
    handlers_.emplace_back(cookie, std::move(handler));
    return cookie;
} catch (...) {
    detail::RethrowAsDocumented();
}

void Matrix::Disconnect(Cookie cookie) try {
    std::erase_if(handlers_, [cookie](const auto& entry) { return entry.first == cookie; });
} catch (...) {
    detail::RethrowAsDocumented();
}

namespace detail {

void MatrixAccess::SetData(Matrix& target, DoubleArray array) {
    const int32_t lastRow = array.UBound(1);
    const int32_t lastCol = array.UBound(2);
    target.Elements = std::move(array);
    target.LastRow = lastRow;
    target.LastCol = lastCol;
    target.RowsSet = target.ColsSet = true;
}

}  // namespace detail
}  // namespace kestrim
