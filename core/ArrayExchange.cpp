// Whole-array exchange (AsArray) and cloning.
#include <cstring>

#include "core/MatrixAccess.h"

namespace kestrim {

using detail::kSource;
using detail::RaiseMatrixError;

namespace {

// Every count must be a Long, like the counts that Rows, Cols and Size
// take: an upper bound of 2147483647 would make 2^31 rows or columns, one
// more than MaxSize, which Rows or Cols could not report and which would
// overflow every loop up to the last index. Refused with the errors of a
// count that Size cannot take, rows first, before anything changes.
void RequireCounts(int32_t upperRow, int32_t upperCol) {
    constexpr int32_t kMaxUpper = 2147483647;
    if (upperRow == kMaxUpper) RaiseMatrixError(1, kSource, "Invalid number of rows.", 1107);
    if (upperCol == kMaxUpper) RaiseMatrixError(2, kSource, "Invalid number of columns.", 1107);
}

}  // namespace

DoubleArray Matrix::AsArray() const try {
    // A copy; an object without storage gives an array without storage.
    return Elements;
} catch (...) {
    detail::RethrowAsDocumented();
}

void Matrix::SetAsArray(const Variant& vData) try {
    if (!vData.IsArray()) RaiseMatrixError(3, kSource, "Not an array.", 1107);
    if (vData.Type() != VariantType::DoubleArray)
        RaiseRuntimeError(RuntimeError::TypeMismatch,
                          "Type mismatch: AsArray takes an array of Double");
    const DoubleArray& source = vData.Doubles();
    const int32_t lower1 = source.LBound(1);  // subscript error without storage
    const int32_t upper1 = source.UBound(1);
    if (lower1 != 0) RaiseMatrixError(4, kSource, "Array is not zero based.", 1107);

    if (source.Dims() >= 2) {
        if (source.LBound(2) != 0) RaiseMatrixError(4, kSource, "Array is not zero based.", 1107);
        // Only matrices are kept as element storage: an array of three or
        // more dimensions is refused before anything changes.
        if (source.Dims() > 2)
            RaiseRuntimeError(RuntimeError::TypeMismatch,
                              "Type mismatch: AsArray takes an array of one or two dimensions");
        const int32_t upper2 = source.UBound(2);
        RequireCounts(upper1, upper2);
        DoubleArray copy = source;
        Elements = std::move(copy);
        LastRow = upper1;
        LastCol = upper2;
    } else {
        // A one-dimensional array is one column. An empty one cannot be
        // given a column: the storage request fails with a subscript error.
        RequireCounts(upper1, 0);
        if (upper1 < 0) RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
        DoubleArray column = DoubleArray::Create2D(upper1, 0);
        if (column.Count() != 0)
            std::memcpy(column.Data(), source.Data(), column.Count() * sizeof(double));
        Elements = std::move(column);
        LastRow = upper1;
        LastCol = 0;
    }
    RowsSet = ColsSet = true;
} catch (...) {
    detail::RethrowAsDocumented();
}

void Matrix::SetAsArray(const DoubleArray& vData) try {
    SetAsArray(Variant(vData));
} catch (...) {
    detail::RethrowAsDocumented();
}

MatrixPtr Matrix::Clone() const try {
    RequireStorage();
    auto copy = Matrix::New();
    detail::MatrixAccess::SetData(*copy, Elements);
    return copy;
} catch (...) {
    detail::RethrowAsDocumented();
}

}  // namespace kestrim
