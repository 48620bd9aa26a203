"""kestrim: dense matrices of float64 with bit-reproducible linear algebra.

``kestrim.Matrix`` has every member of the C++ class under the same name;
the functions below take and return numpy arrays and give exactly the bits
of the corresponding Matrix members.

    >>> import numpy as np, kestrim
    >>> x = kestrim.solve([[4.0, 1.0], [2.0, 3.0]], [1.0, 2.0])
"""

import numpy as _np

from ._errors import (MatrixArgumentError, MatrixError, MatrixInvalidOperationError,
                      MatrixMemoryError, MatrixObjectError, MatrixOverflowError,
                      MatrixRuntimeError, MatrixSubscriptError, MatrixTypeMismatchError,
                      MatrixZeroDivisionError)
from ._core import Matrix

__all__ = [
    "Matrix", "lu", "cholesky", "qr", "svd", "eig", "inv", "solve", "det",
    "MatrixError", "MatrixRuntimeError", "MatrixOverflowError", "MatrixInvalidOperationError",
    "MatrixZeroDivisionError", "MatrixSubscriptError", "MatrixTypeMismatchError",
    "MatrixMemoryError", "MatrixArgumentError", "MatrixObjectError",
]


def _matrix(a, name="a"):
    """A Matrix copy of `a`, refusing NaN and infinities before any work."""
    if isinstance(a, Matrix):
        a = a.to_numpy()
    arr = _np.asarray(a)
    if arr.dtype.kind == "f" and not _np.isfinite(arr).all():
        raise ValueError(f"{name} contains NaN or infinity")
    return Matrix(arr)


def _cancelled(what):
    # Only a handler can cancel; these functions connect none, so this means
    # the library returned without a result.
    raise RuntimeError(f"{what} was cancelled")


def lu(a):
    """LU decomposition with implicit partial pivoting of the square array `a`.

    Returns (L, U, perm, sign): L unit lower triangular, U upper triangular,
    perm the row permutation (int32 array) and sign its parity (+1 or -1),
    exactly as Matrix.LU gives them.
    """
    m = _matrix(a)
    l, u = Matrix(), Matrix()
    perm, sign = m.LU(l, u)
    return l.to_numpy(), u.to_numpy(), _np.asarray(perm, dtype=_np.int32), sign


def cholesky(a):
    """Cholesky factor L (lower triangular, A = L @ L.T) of a symmetric positive definite `a`."""
    m = _matrix(a)
    l = Matrix()
    m.Cholesky(l)
    return l.to_numpy()


def qr(a):
    """QR decomposition by Householder reflections of `a` (rows >= cols): returns (Q, R)."""
    m = _matrix(a)
    q, r = Matrix(), Matrix()
    m.QR(q, r)
    return q.to_numpy(), r.to_numpy()


def svd(a):
    """Singular value decomposition A = U @ S @ V.T: returns (U, S, V), S diagonal (n x n)."""
    m = _matrix(a)
    u, s, v = Matrix(), Matrix(), Matrix()
    m.SVD(u, s, v)
    return u.to_numpy(), s.to_numpy(), v.to_numpy()


def _complex(re, im):
    # Built from the parts without arithmetic, so every bit is the library's.
    out = _np.empty(re.shape, dtype=_np.complex128)
    out.real = re
    out.imag = im
    return out


def eig(a):
    """Eigenvalues and eigenvectors of the square array `a`.

    Returns (w, v): w a complex 1-D array of eigenvalues, v a complex 2-D array
    whose columns are the eigenvectors, built from Matrix.Eigen's real and
    imaginary parts.
    """
    m = _matrix(a)
    rv, iv, rvec, ivec = Matrix(), Matrix(), Matrix(), Matrix()
    m.Eigen(rv, iv, rvec, ivec)
    w = _complex(rv.to_numpy().ravel(order="F"), iv.to_numpy().ravel(order="F"))
    return w, _complex(rvec.to_numpy(), ivec.to_numpy())


def inv(a):
    """Inverse of the square array `a` (Gauss-Jordan), as Matrix.Inverse."""
    r = _matrix(a).Inverse()
    return r.to_numpy() if r is not None else _cancelled("inv")


def solve(a, b, gauss=False):
    """Solves a @ x = b. b may be 1-D (x is then 1-D) or 2-D.

    By default through the inverse (Matrix.Solve); gauss=True uses Gauss
    elimination (Matrix.SolveGauss). The two can differ in the last bits.
    """
    m = _matrix(a)
    rhs = _matrix(b, "b")
    r = m.SolveGauss(rhs) if gauss else m.Solve(rhs)
    if r is None:
        _cancelled("solve")
    x = r.to_numpy()
    return x[:, 0] if _np.ndim(b) == 1 else x


def det(a):
    """Determinant of the square array `a`, as Matrix.Determinant."""
    return _matrix(a).Determinant()
