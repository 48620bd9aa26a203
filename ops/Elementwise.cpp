// Plus, PlusEquals, Minus, MinusEquals, TimesScalar and Transpose.
//
// All of them walk the receiver's rows in order. With events off no handler
// can run, so the work is done in one pass over contiguous storage and the
// fault flags are tested once at the end; if a flag is set, the operation is
// replayed in row order with a test after every stored element, which
// raises the error of the first faulting element (and, for MinusEquals,
// leaves exactly the elements that a per-element test would leave).
//
// With events on, each row is computed and tested before its OnProgress.
// The row's column count is read again at the start of each row, since a
// handler may have resized the receiver; the results go to the private
// work array and reach the receiver or the result only after the last row.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/MatrixAccess.h"
#include "ops/OpsSupport.h"

namespace kestrim {

using detail::kSource;
using detail::MatrixAccess;
using detail::RaiseMatrixError;

namespace {

enum class Op { Add, Subtract, Scale };

template <Op op>
inline double Apply(double e, double w, double s) {
    if constexpr (op == Op::Add) {
        return e + w;
    } else if constexpr (op == Op::Subtract) {
        return e - w;
    } else {
        (void)w;
        return e * s;
    }
}

typedef double Pair __attribute__((vector_size(16)));

template <Op op>
inline Pair ApplyPair(Pair e, Pair w, double s) {
    if constexpr (op == Op::Add) {
        return e + w;
    } else if constexpr (op == Op::Subtract) {
        return e - w;
    } else {
        (void)w;
        return e * s;
    }
}

// w[t] = e[t] op w[t] over contiguous storage (the column-major order of
// both arrays is the same).
template <Op op>
void ApplyAll(const double* __restrict e, double* __restrict w, std::size_t count, double s) {
    std::size_t t = 0;
    for (; t + 4 <= count; t += 4) {
        Pair e0, e1, w0, w1;
        __builtin_memcpy(&e0, e + t, sizeof e0);
        __builtin_memcpy(&e1, e + t + 2, sizeof e1);
        __builtin_memcpy(&w0, w + t, sizeof w0);
        __builtin_memcpy(&w1, w + t + 2, sizeof w1);
        w0 = ApplyPair<op>(e0, w0, s);
        w1 = ApplyPair<op>(e1, w1, s);
        __builtin_memcpy(w + t, &w0, sizeof w0);
        __builtin_memcpy(w + t + 2, &w1, sizeof w1);
    }
    for (; t < count; ++t) w[t] = Apply<op>(e[t], w[t], s);
}

// Checks that the first step of the loop can read its operands: the
// receiver's element (0, 0) and the work array's.
void RequireOperands(const Matrix& self, const DoubleArray& w, int32_t m, int32_t n) {
    if (m <= 0 || n <= 0) return;
    MatrixAccess::RequireStorage(self);
    if (!w.HasStorage() || w.Stride() != static_cast<std::size_t>(m) ||
        w.Count() != static_cast<std::size_t>(m) * static_cast<std::size_t>(n))
        ops::RaiseSubscript();
}

// The row-order loop with a test after every element, writing into
// `target` (the work array, or the receiver's own elements for the in-place
// difference). Raises at the first fault; returns only if none occurs.
template <Op op>
void ReplayChecked(const Matrix& self, const DoubleArray& operand, DoubleArray& target, int32_t m,
                   int32_t n, double s) {
    fp::ClearFlags();
    const DoubleArray& e = MatrixAccess::Elements(self);
    for (int32_t i = 0; i < m; ++i)
        for (int32_t j = 0; j < n; ++j) {
            const double r = Apply<op>(e.At(i, j), op == Op::Scale ? 0.0 : operand.At(i, j), s);
            target.At(i, j) = r;
            ops::StoreAndTest(r);
        }
}

// Runs the loop of an elementwise operation over the m x n work array w.
// Returns false when a handler cancelled. `refetch` gives the operand
// again (unchanged, since no handler ran) for the replay of a fault with
// events off; `inPlace` makes that replay write into the receiver.
template <Op op, class Refetch>
bool RunElementwise(Matrix& self, const char* name, DoubleArray& w, int32_t m, int32_t n, double s,
                    bool events, bool inPlace, Refetch refetch) {
    if (!events) {
        if (m == 0 || n == 0) return true;
        ApplyAll<op>(MatrixAccess::Elements(self).Data(), w.Data(),
                     static_cast<std::size_t>(m) * static_cast<std::size_t>(n), s);
        if (fp::HasFault()) {
            const int flags = std::fetestexcept(fp::kFaultFlags);
            DoubleArray operand = refetch();
            if (inPlace) {
                ReplayChecked<op>(self, operand, MatrixAccess::Elements(self), m, n, s);
            } else {
                ReplayChecked<op>(self, operand, operand, m, n, s);
            }
            fp::RaiseFault(flags);
        }
        return true;
    }

    bool cancel = false;
    std::vector<double> row(static_cast<std::size_t>(n));
    const std::size_t ldw = static_cast<std::size_t>(m);
    for (int32_t i = 0; i < m; ++i) {
        const int32_t nNow = MatrixAccess::LastCol(self) + 1;
        if (nNow > 0) {
            const DoubleArray& e = MatrixAccess::Elements(self);
            if (!e.HasStorage() || i > MatrixAccess::LastRow(self)) ops::RaiseSubscript();
            const int32_t jmax = std::min(nNow, n);
            // The work array has no column n: only a receiver grown past
            // it gets here with jmax = 0, and fails below.
            double* wrow = jmax > 0 ? w.Data() + i : nullptr;
            for (int32_t j = 0; j < jmax; ++j)
                row[static_cast<std::size_t>(j)] =
                    Apply<op>(e.At(i, j), wrow[static_cast<std::size_t>(j) * ldw], s);
            if (fp::HasFault()) {
                const int flags = std::fetestexcept(fp::kFaultFlags);
                fp::ClearFlags();
                for (int32_t j = 0; j < jmax; ++j) {
                    double& target = wrow[static_cast<std::size_t>(j) * ldw];
                    target = Apply<op>(e.At(i, j), target, s);
                    ops::StoreAndTest(target);
                }
                fp::RaiseFault(flags);
            }
            for (int32_t j = 0; j < jmax; ++j)
                wrow[static_cast<std::size_t>(j) * ldw] = row[static_cast<std::size_t>(j)];
            if (nNow > n) ops::RaiseSubscript();
        }
        const double percent = detail::ProgressPercent(i, self.Rows());
        if (MatrixAccess::RaiseOnProgress(self, name, percent, cancel)) return false;
    }
    return true;
}

// The size test of Plus, PlusEquals and MinusEquals: the argument's Rows,
// the receiver's Rows, the argument's Cols, the receiver's Cols.
bool SameSize(const Matrix& self, const Matrix& other) {
    const int32_t otherRows = other.Rows();
    const int32_t rows = self.Rows();
    const int32_t otherCols = other.Cols();
    const int32_t cols = self.Cols();
    return otherRows == rows && otherCols == cols;
}

template <Op op>
MatrixPtr BinaryToNew(Matrix& self, const MatrixPtr& arg, const char* name) {
    const int32_t m = MatrixAccess::LastRow(self) + 1;
    const int32_t n = MatrixAccess::LastCol(self) + 1;
    DoubleArray w = arg->AsArray();
    const bool events = MatrixAccess::EventsEnabled(self);
    RequireOperands(self, w, m, n);
    if (!RunElementwise<op>(self, name, w, m, n, 0.0, events, false, [&] { return arg->AsArray(); }))
        return nullptr;
    auto result = Matrix::New();
    MatrixAccess::SetData(*result, std::move(w));
    if (events) MatrixAccess::RaiseDone(self, name);
    return result;
}

template <Op op>
void BinaryInPlace(Matrix& self, const MatrixPtr& arg, const char* name) {
    const int32_t m = MatrixAccess::LastRow(self) + 1;
    const int32_t n = MatrixAccess::LastCol(self) + 1;
    DoubleArray w = arg->AsArray();
    const bool events = MatrixAccess::EventsEnabled(self);
    RequireOperands(self, w, m, n);
    // A fault with events off: the difference is written in place up to and
    // including the faulting element; the sum leaves the receiver alone.
    const bool inPlace = op == Op::Subtract && !events;
    if (!RunElementwise<op>(self, name, w, m, n, 0.0, events, inPlace,
                            [&] { return arg->AsArray(); }))
        return;
    if (m > 0 && n > 0) {
        // A handler may have resized the receiver; the results only fit
        // storage of the size they were computed for.
        if (!ops::HasExactly(self, m, n)) ops::RaiseSubscript();
        MatrixAccess::ReplaceElements(self, std::move(w));
    }
    if (events) MatrixAccess::RaiseDone(self, name);
}

// Transposes the m x n column-major array e (stride lde) into t (n x m).
// Tiles of 8 source columns by 64 rows: the 8 columns' cache lines are
// reused for 8 consecutive rows, and each row of the tile writes one
// contiguous run of 8 destination elements. (Square tiles with a
// power-of-two stride would map every source column to the same cache set.)
void TransposeAll(const double* e, std::size_t lde, double* t, int32_t m, int32_t n) {
    constexpr int32_t kCols = 8;
    constexpr int32_t kRows = 64;
    const std::size_t ldt = static_cast<std::size_t>(n);
    for (int32_t i0 = 0; i0 < m; i0 += kRows) {
        const int32_t i1 = std::min(m, i0 + kRows);
        for (int32_t j0 = 0; j0 < n; j0 += kCols) {
            const int32_t j1 = std::min(n, j0 + kCols);
            for (int32_t i = i0; i < i1; ++i) {
                double* dst = t + static_cast<std::size_t>(i) * ldt;
                for (int32_t j = j0; j < j1; ++j)
                    dst[j] = e[static_cast<std::size_t>(j) * lde + static_cast<std::size_t>(i)];
            }
        }
    }
}

}  // namespace

MatrixPtr Matrix::Plus(MatrixPtr MatrixToAdd) try {
    detail::OperationScope scope(*this);
    detail::RequireObject(MatrixToAdd);
    if (!SameSize(*this, *MatrixToAdd))
        RaiseMatrixError(12, kSource, "Matrices do not have the same size.", 1110);
    return BinaryToNew<Op::Add>(*this, MatrixToAdd, "Plus");
} catch (...) {
    detail::RethrowAsDocumented();
}

MatrixPtr Matrix::Minus(MatrixPtr MatrixToSubtract) try {
    detail::OperationScope scope(*this);
    detail::RequireObject(MatrixToSubtract);
    const int32_t otherRows = MatrixToSubtract->Rows();
    const int32_t otherCols = MatrixToSubtract->Cols();
    if (otherRows != LastRow + 1 || otherCols != LastCol + 1)
        RaiseMatrixError(12, kSource, "Matrices do not have the same size.", 1112);
    return BinaryToNew<Op::Subtract>(*this, MatrixToSubtract, "Minus");
} catch (...) {
    detail::RethrowAsDocumented();
}

void Matrix::PlusEquals(MatrixPtr Matrix2) try {
    detail::OperationScope scope(*this);
    detail::RequireObject(Matrix2);
    if (!SameSize(*this, *Matrix2))
        RaiseMatrixError(12, kSource, "Matrices do not have the same size.", 1111);
    BinaryInPlace<Op::Add>(*this, Matrix2, "PlusEquals");
} catch (...) {
    detail::RethrowAsDocumented();
}

void Matrix::MinusEquals(MatrixPtr Matrix2) try {
    detail::OperationScope scope(*this);
    detail::RequireObject(Matrix2);
    if (!SameSize(*this, *Matrix2))
        RaiseMatrixError(12, kSource, "Matrices do not have the same size.", 1113);
    BinaryInPlace<Op::Subtract>(*this, Matrix2, "MinusEquals");
} catch (...) {
    detail::RethrowAsDocumented();
}

MatrixPtr Matrix::TimesScalar(double Number) try {
    detail::OperationScope scope(*this);
    const int32_t m = LastRow + 1;
    const int32_t n = LastCol + 1;
    DoubleArray w = DoubleArray::Create2D(LastRow, LastCol);
    const bool events = EventsEnabled;
    RequireOperands(*this, w, m, n);
    if (!RunElementwise<Op::Scale>(*this, "TimesScalar", w, m, n, Number, events, false,
                                   [&] { return DoubleArray::Create2D(m - 1, n - 1); }))
        return nullptr;
    auto result = Matrix::New();
    MatrixAccess::SetData(*result, std::move(w));
    if (events) MatrixAccess::RaiseDone(*this, "TimesScalar");
    return result;
} catch (...) {
    detail::RethrowAsDocumented();
}

MatrixPtr Matrix::Transpose() try {
    detail::OperationScope scope(*this);
    const int32_t m = LastRow + 1;
    const int32_t n = LastCol + 1;
    DoubleArray t = DoubleArray::Create2D(LastCol, LastRow);
    const bool events = EventsEnabled;
    if (m > 0 && n > 0) MatrixAccess::RequireStorage(*this);
    if (!events) {
        if (m > 0 && n > 0) TransposeAll(Elements.Data(), Elements.Stride(), t.Data(), m, n);
    } else {
        bool cancel = false;
        const std::size_t ldt = static_cast<std::size_t>(n);
        for (int32_t i = 0; i < m; ++i) {
            const int32_t nNow = LastCol + 1;
            if (nNow > 0) {
                if (!Elements.HasStorage() || i > LastRow) ops::RaiseSubscript();
                const int32_t jmax = std::min(nNow, n);
                double* dst = t.Data() + static_cast<std::size_t>(i) * ldt;
                for (int32_t j = 0; j < jmax; ++j) dst[j] = Elements.At(i, j);
                // The transpose has no row n.
                if (nNow > n) ops::RaiseSubscript();
            }
            const double percent = detail::ProgressPercent(i, Rows());
            if (MatrixAccess::RaiseOnProgress(*this, "Transpose", percent, cancel)) return nullptr;
        }
    }
    auto result = Matrix::New();
    MatrixAccess::SetData(*result, std::move(t));
    if (events) MatrixAccess::RaiseDone(*this, "Transpose");
    return result;
} catch (...) {
    detail::RethrowAsDocumented();
}

}  // namespace kestrim
