// RowVector, ColVector, RearrangeRows and RearrangeCols.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/MatrixAccess.h"
#include "ops/OpsSupport.h"

namespace kestrim {

using detail::kSource;
using detail::MatrixAccess;
using detail::RaiseMatrixError;

namespace {

// True when entry p of the index already names position p. An entry that
// cannot be converted counts as not in place (the conversion error is then
// raised where the entry is examined as a position of its own).
bool EntryInPlace(const Variant& index, int32_t p) {
    try {
        return index.At(p).ToLong() == p;
    } catch (const Error&) {
        return false;
    }
}

// Moves every line (row or column) i of the receiver to position
// PermIndex(i), updating the index as it goes: position i is examined
// until its entry names i itself (or a line that does not exist), each
// exchange putting one line where it belongs and setting that entry to its
// own position. The first examination of a position exchanges whenever the
// entry names another existing line, as a single pass would. A repeated
// examination whose partner entry is already in place could only undo an
// earlier exchange (a duplicate entry), so the position is left as it is
// then; every repeated exchange therefore settles one more position, and
// the loop ends after at most 2 * (last + 1) exchanges.
template <class SwapLines>
void Rearrange(Variant& index, int32_t last, SwapLines swapLines) {
    int32_t lo = index.LBound(1);
    int32_t hi = index.UBound(1);
    if (lo < 0) lo = 0;
    if (lo > last) lo = last;
    if (hi < 0) hi = 0;
    if (hi > last) hi = last;
    for (int32_t i = lo; i <= hi; ++i) {
        for (bool first = true;; first = false) {
            const int32_t p = index.At(i).ToLong();
            if (p == i || p < 0 || p > last) break;
            if (!first && EntryInPlace(index, p)) break;
            swapLines(i, p);
            index.SetAt(i, index.At(p));
            index.SetAt(p, Variant(p));
        }
    }
}

}  // namespace

MatrixPtr Matrix::RowVector(int32_t RowIndex) try {
    detail::OperationScope scope(*this);
    if (RowIndex < 0 || RowIndex > LastRow)
        RaiseMatrixError(19, kSource, "Row index exceeds matrix size.", 1138);
    DoubleArray w = DoubleArray::Create2D(0, LastCol);
    if (LastCol >= 0) {
        MatrixAccess::RequireStorage(*this);
        for (int32_t j = 0; j <= LastCol; ++j) w.At(0, j) = Elements.At(RowIndex, j);
    }
    auto result = Matrix::New();
    MatrixAccess::SetData(*result, std::move(w));
    return result;
} catch (...) {
    detail::RethrowAsDocumented();
}

MatrixPtr Matrix::ColVector(int32_t ColIndex) try {
    detail::OperationScope scope(*this);
    if (ColIndex < 0 || ColIndex > LastCol)
        RaiseMatrixError(20, kSource, "Column index exceeds matrix size.", 1139);
    DoubleArray w = DoubleArray::Create2D(LastRow, 0);
    if (LastRow >= 0) {
        MatrixAccess::RequireStorage(*this);
        const double* src = &Elements.At(0, ColIndex);
        std::copy(src, src + LastRow + 1, w.Data());
    }
    auto result = Matrix::New();
    MatrixAccess::SetData(*result, std::move(w));
    return result;
} catch (...) {
    detail::RethrowAsDocumented();
}

void Matrix::RearrangeRows(Variant& PermIndex) try {
    detail::OperationScope scope(*this);
    if (!PermIndex.IsArray()) RaiseMatrixError(3, kSource, "Not an array.", 1129);
    Rearrange(PermIndex, LastRow, [this](int32_t a, int32_t b) {
        MatrixAccess::RequireStorage(*this);
        for (int32_t j = 0; j <= LastCol; ++j) std::swap(Elements.At(a, j), Elements.At(b, j));
    });
} catch (...) {
    detail::RethrowAsDocumented();
}

void Matrix::RearrangeCols(Variant& PermIndex) try {
    detail::OperationScope scope(*this);
    if (!PermIndex.IsArray()) RaiseMatrixError(3, kSource, "Not an array.", 1130);
    Rearrange(PermIndex, LastCol, [this](int32_t a, int32_t b) {
        MatrixAccess::RequireStorage(*this);
        double* x = &Elements.At(0, a);
        double* y = &Elements.At(0, b);
        std::swap_ranges(x, x + LastRow + 1, y);
    });
} catch (...) {
    detail::RethrowAsDocumented();
}

}  // namespace kestrim
