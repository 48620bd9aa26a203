// Matrix::Eigen: chooses the symmetric or the general solver, falls back
// from the first to the second when the QL iteration fails, lays out the
// complex eigenvector pairs and delivers the outputs.
#include <cmath>
#include <utility>

#include "core/MatrixAccess.h"
#include "eigen/EigenInternal.h"

namespace kestrim {

namespace detail::eigen {

namespace {
std::size_t PaddedStride(int32_t order) {
    std::size_t ld = static_cast<std::size_t>(order);
    if (order < 16) return ld;
    ld = (ld + 7) / 8 * 8;
    if ((ld / 8) % 2 == 0) ld += 8;
    return ld;
}
}  // namespace

Square::Square(int32_t order)
    : n_(order), ld_(PaddedStride(order)), a_(ld_ * static_cast<std::size_t>(order), 0.0) {}

Vector MakeVector(int32_t count) { return Vector(static_cast<std::size_t>(count), 0.0); }

void Context::ResolveFault() {
    const int flags = std::fetestexcept(fp::kFaultFlags);
    // One fault kind: the first faulting step was of that kind.
    const bool single = flags == FE_INVALID || flags == FE_DIVBYZERO || flags == FE_OVERFLOW;
    if (!single && replay_) {
        fp::ClearFlags();
        replay_();  // raises at the first faulting step
    }
    fp::RaiseFault(flags);
}

}  // namespace detail::eigen

namespace {

using detail::MatrixAccess;
using detail::eigen::Checked;
using detail::eigen::Context;
using detail::eigen::Fast;
using detail::eigen::Square;
using detail::eigen::Vector;

constexpr int32_t kEigenHelp = 1137;

// Copies the top-left order x order block of the receiver's elements,
// raising the subscript error when the receiver does not cover it (a
// handler may have resized it during an earlier stage).
Square CopyElements(const Matrix& m, int32_t order) {
    if (!MatrixAccess::Covers(m, order, order)) RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
    const DoubleArray& e = MatrixAccess::Elements(m);
    const std::size_t stride = e.Stride();
    Square a(order);
    for (int32_t c = 0; c < order; ++c) {
        const double* src = e.Data() + static_cast<std::size_t>(c) * stride;
        double* dst = a.Col(c);
        for (int32_t r = 0; r < order; ++r) dst[r] = src[r];
    }
    // From order 2 up, loops of the solvers that end on a computed value
    // (balancing's scaling, the convergence tests) rely on finite data and
    // might never end on an infinity or NaN, so such input is refused as an
    // invalid operand. A 1 x 1 matrix is its own eigenvalue: no arithmetic
    // runs, and the element is delivered as it is.
    if (order < 2) return a;
    for (int32_t c = 0; c < order; ++c) {
        const double* col = a.Col(c);
        for (int32_t r = 0; r < order; ++r) {
            if (!std::isfinite(col[r])) fp::RaiseFault(FE_INVALID);
        }
    }
    return a;
}

// The column that a values output receives, as AsArray (let) makes it from
// a one-dimensional array; that has no column for no eigenvalues (the
// subscript error). No storage when the output is not wanted.
DoubleArray ValuesColumn(MatrixPtr* out, const Vector& v) {
    if (out == nullptr || !*out) return DoubleArray();
    if (v.empty()) RaiseRuntimeError(RuntimeError::SubscriptOutOfRange);
    DoubleArray a = DoubleArray::Create2D(static_cast<int32_t>(v.size()) - 1, 0);
    for (std::size_t i = 0; i < v.size(); ++i) a.Data()[i] = v[i];
    return a;
}

DoubleArray VectorsArray(MatrixPtr* out, const Square& s) {
    if (out == nullptr || !*out) return DoubleArray();
    const int32_t n = s.Order() - 1;
    DoubleArray a = DoubleArray::Create2D(n, n);
    double* dst = a.Data();
    for (int32_t c = 0; c <= n; ++c) {
        const double* col = s.Col(c);
        for (int32_t r = 0; r <= n; ++r) *dst++ = col[r];
    }
    return a;
}

void Deliver(MatrixPtr* out, DoubleArray array) {
    if (array.HasStorage()) MatrixAccess::SetData(**out, std::move(array));
}

}  // namespace

void Matrix::Eigen(MatrixPtr* RealValues, MatrixPtr* ImagValues, MatrixPtr* RealVectors,
                   MatrixPtr* ImagVectors) try {
    detail::OperationScope scope(*this);
    if (LastRow != LastCol) {
        detail::RaiseMatrixError(5, detail::kSource, "This operation is possible only for a square Matrix.",
                                 kEigenHelp);
    }
    RequireStorage();
    const int32_t n = LastCol;
    const int32_t order = n + 1;
    bool symmetric = IsSymmetric();
    bool cancel = false;
    Context ctx(this, &cancel);

    Vector WR, WI;
    Square VR, VI;
    int32_t failed = 0;
    {
        Square A = CopyElements(*this, order);
        WR = detail::eigen::MakeVector(order);
        WI = detail::eigen::MakeVector(order);
        VR = Square(order);
        VI = Square(order);

        // A receiver emptied through AsArray (0 x 0) has no eigenvalues:
        // the solvers have nothing to do and the outputs get empty arrays.
        if (symmetric && order > 0) {
            Vector E = detail::eigen::MakeVector(order);
            ctx.SetReplay([&] {
                Context replay(nullptr, &cancel);
                Vector d = detail::eigen::MakeVector(order);
                Vector e = detail::eigen::MakeVector(order);
                Square v(order);
                detail::eigen::TridiagonalizeSymmetric<Checked>(replay, n, A, d, e, v);
            });
            // This path does not look at the cancel flag: after a cancel in
            // the reduction, QL runs on the partly reduced arrays and stops
            // at its first event unless the handler clears the flag there;
            // whatever the two routines left is delivered, with Done.
            detail::eigen::TridiagonalizeSymmetric<Fast>(ctx, n, A, WR, E, VR);
            detail::eigen::TridiagonalQL(ctx, n, WR, E, VR, failed, detail::eigen::QlIterationLimit());
            if (failed != 0) {
                // Start again on the general path with a fresh copy.
                fp::ClearFlags();
                symmetric = false;
                failed = 0;
                A = CopyElements(*this, order);
                WR = detail::eigen::MakeVector(order);
                VR = Square(order);
            }
        }

        if (!symmetric && order > 0) {
            const Square original = A;
            ctx.SetReplay([&] {
                bool replayCancel = false;
                Context replay(nullptr, &replayCancel);
                Square a = original;
                Vector wr, wi;
                Square z;
                int32_t f = 0;
                detail::eigen::GeneralEigenSolve<Checked>(replay, n, a, wr, wi, z, f);
            });
            detail::eigen::GeneralEigenSolve<Fast>(ctx, n, A, WR, WI, VR, failed);
            if (cancel) return;

            // A complex pair comes back as real part in column k and
            // imaginary part in column k + 1; make column k + 1 the
            // conjugate of column k.
            int32_t k = 0;
            while (k <= n - 1) {
                if (WI[k] != 0.0) {
                    double* vrk = VR.Col(k);
                    double* vrk1 = VR.Col(k + 1);
                    double* vik = VI.Col(k);
                    double* vik1 = VI.Col(k + 1);
                    for (int32_t r = 0; r <= n; ++r) {
                        vik[r] = vrk1[r];
                        vik1[r] = -vik[r];
                        vrk1[r] = vrk[r];
                    }
                    k += 2;
                } else {
                    k += 1;
                }
            }
            if (failed != 0) {
                detail::RaiseMatrixError(17, detail::kSource, "An error occurred during Eigen.", kEigenHelp);
            }
        }
    }

    // Every output's array exists before the first is written, so running
    // out of memory leaves them all as they were.
    DoubleArray realValues = ValuesColumn(RealValues, WR);
    DoubleArray imagValues = ValuesColumn(ImagValues, WI);
    DoubleArray realVectors = VectorsArray(RealVectors, VR);
    DoubleArray imagVectors = VectorsArray(ImagVectors, VI);
    Deliver(RealValues, std::move(realValues));
    Deliver(ImagValues, std::move(imagValues));
    Deliver(RealVectors, std::move(realVectors));
    Deliver(ImagVectors, std::move(imagVectors));

    if (EventsEnabled) MatrixAccess::RaiseDone(*this, "Eigen");
} catch (...) {
    detail::RethrowAsDocumented();
}

}  // namespace kestrim
