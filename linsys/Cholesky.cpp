// Cholesky: A = L * L^T, column by column, reading the receiver in place.
//
// The factor is kept column-major, so the sums of a column's rows are
// accumulated for all rows at once, one earlier column at a time (each
// row's sum still adds its products in increasing k). The receiver is read
// where it lies: after every event it is checked again, and when a handler
// has left it smaller than the factorisation needs, the remaining columns
// run element by element with every read checked, so the first read
// outside the storage raises the subscript error at its own place.
#include <cmath>

#include "linsys/Kernels.h"

namespace kestrim {

using detail::kSource;
using detail::MatrixAccess;
using detail::RaiseMatrixError;

namespace {

constexpr int32_t kHelp = 1128;

[[noreturn]] void RaiseNotPositiveDefinite() {
    RaiseMatrixError(14, kSource, "Not a symmetric positive definite matrix.", kHelp);
}

// The radicand failure also empties the caller's reference.
[[noreturn]] void RaiseRadicandFailure(MatrixPtr* l) {
    if (l != nullptr) *l = nullptr;
    RaiseNotPositiveDefinite();
}

// Column j with every read of the receiver checked and every stored result
// tested at once.
void CheckedColumn(const Matrix& receiver, double* c, std::size_t n, std::size_t j, MatrixPtr* l) {
    auto read = [&receiver](std::size_t r, std::size_t col) {
        if (!MatrixAccess::Covers(receiver, static_cast<int64_t>(r) + 1,
                                  static_cast<int64_t>(col) + 1))
            RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
        return MatrixAccess::GetElement(receiver, static_cast<int32_t>(r),
                                        static_cast<int32_t>(col));
    };
    double s = 0.0;
    for (std::size_t k = 0; k < j; ++k) {
        s = s + c[k * n + j] * c[k * n + j];
        fp::TestStep();
    }
    const double d = read(j, j) - s;
    fp::TestStep();
    if (!std::isgreater(d, 0.0)) RaiseRadicandFailure(l);
    const double pivot = std::sqrt(d);
    fp::TestStep();
    c[j * n + j] = pivot;
    for (std::size_t i = j + 1; i < n; ++i) {
        if (read(i, j) != read(j, i)) RaiseNotPositiveDefinite();
        s = 0.0;
        for (std::size_t k = 0; k < j; ++k) {
            s = s + c[k * n + i] * c[k * n + j];
            fp::TestStep();
        }
        c[j * n + i] = (read(j, i) - s) / pivot;
        fp::TestStep();
    }
}

// Column j when the receiver covers the whole n x n range: the same steps,
// faults tested at the points where a decision or an error depends on them.
void FastColumn(const Matrix& receiver, double* c, std::vector<double>& sums, std::size_t n,
                std::size_t j, MatrixPtr* l) {
    const DoubleArray& e = MatrixAccess::Elements(receiver);
    const double* A = e.Data();
    const std::size_t ld = e.Stride();

    double s = 0.0;
    for (std::size_t k = 0; k < j; ++k) s = s + c[k * n + j] * c[k * n + j];
    const double d = A[j * ld + j] - s;
    if (fp::HasFault()) {
        fp::ClearFlags();
        CheckedColumn(receiver, c, n, j, l);  // raises the first fault
        return;
    }
    if (!std::isgreater(d, 0.0)) RaiseRadicandFailure(l);
    const double pivot = std::sqrt(d);
    c[j * n + j] = pivot;

    // Rows up to the first asymmetric pair; that pair's error comes after them.
    std::size_t end = j + 1;
    while (end < n && A[j * ld + end] == A[end * ld + j]) ++end;
    const std::size_t first = j + 1;
    if (end > first) {
        const std::size_t count = end - first;
        double* acc = sums.data() + first;
        std::fill(acc, acc + count, 0.0);
        for (std::size_t k = 0; k < j; ++k) linsys::AddScaled(acc, c + k * n + first, c[k * n + j], count);
        double* out = c + j * n;
        for (std::size_t i = first; i < end; ++i) out[i] = (A[i * ld + j] - sums[i]) / pivot;
        if (fp::HasFault()) {
            fp::ClearFlags();
            CheckedColumn(receiver, c, n, j, l);  // raises the first fault
            return;
        }
    }
    if (end < n) RaiseNotPositiveDefinite();
}

}  // namespace

void Matrix::Cholesky(MatrixPtr* l) try {
    detail::OperationScope scope(*this);
    if (LastRow != LastCol)
        RaiseMatrixError(5, kSource, "This operation is possible only for a square Matrix.", kHelp);
    RequireStorage();
    const int32_t n = LastRow + 1;
    const auto size = static_cast<std::size_t>(n);

    DoubleArray factor = DoubleArray::Create2D(n - 1, n - 1);
    double* c = factor.Data();
    std::vector<double> sums(size);
    bool cancel = false;
    for (std::size_t j = 0; j < size; ++j) {
        if (MatrixAccess::Covers(*this, n, n))
            FastColumn(*this, c, sums, size, j, l);
        else
            CheckedColumn(*this, c, size, j, l);
        if (linsys::Progress(*this, "Cholesky", static_cast<int32_t>(j), n, cancel)) return;
    }
    if (l != nullptr && *l) MatrixAccess::SetData(**l, std::move(factor));
    linsys::Finish(*this, "CHOLdc");
} catch (...) {
    detail::RethrowAsDocumented();
}

void Matrix::CHOLdc(MatrixPtr* l) { Cholesky(l); }

}  // namespace kestrim
