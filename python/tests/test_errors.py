"""Every error reaches Python as kestrim.MatrixError or the subclass for its
fault, with the library's number, description, help file, help context and
source, and is also the matching built-in exception."""
import pickle

import numpy as np
import pytest

import kestrim
from kestrim import Matrix

CR2 = "\r\r"


def component(code, message):
    return (kestrim.MatrixError, -2147220204 + code,
            f"KestrimMatrixLib.Matrix Error Number: {1300 + code}{CR2}{message}")


@pytest.mark.parametrize("call, cls, number, description, context", [
    (lambda: Matrix().Size(0, 5), *component(1, "Invalid number of rows."), 1103),
    (lambda: setattr(Matrix(), "Cols", 0), *component(2, "Invalid number of columns."), 1102),
    (lambda: Matrix([[1.0]]).RearrangeRows(7), *component(3, "Not an array."), 1129),
    (lambda: Matrix(np.ones((2, 3))).Inverse(), *component(5, "This operation is possible only for a square Matrix."), 1108),
    (lambda: Matrix(np.ones((2, 3))).Solve(np.ones((2, 1))),
     *component(9, "Not as square Matrix. System of equations can not be solved."), 1117),
    (lambda: Matrix(np.ones((2, 3))).SolveGauss(np.ones((2, 1))),
     *component(9, "Not a square Matrix. System of equations can not be solved."), 1118),
    (lambda: Matrix(np.ones((2, 2))).Plus(np.ones((2, 3))), *component(12, "Matrices do not have the same size."), 1110),
    (lambda: Matrix(np.zeros((2, 2))).LU(), *component(13, "Decomposition is not possible for a singular matrix."), 1127),
    (lambda: kestrim.cholesky([[1.0, 2.0], [3.0, 4.0]]), *component(14, "Not a symmetric positive definite matrix."), 1128),
    (lambda: kestrim.qr(np.ones((2, 3))), *component(18, "Number of rows must be greater or equal to number of columns."), 1131),
    (lambda: Matrix(np.ones((2, 2))).Item(0, 99), *component(20, "Column index exceeds matrix size."), 1105),
    (lambda: Matrix(np.ones((2, 2)))[2, 0], *component(19, "Row index exceeds matrix size."), 1105),
    (lambda: Matrix([[1.7e308]]).Plus([[1.7e308]]), kestrim.MatrixOverflowError, -2146828282, "Overflow", 0),
    (lambda: Matrix([[np.inf]]).Minus([[np.inf]]), kestrim.MatrixInvalidOperationError, -2146828282,
     "Invalid floating-point operation", 0),
    (lambda: Matrix().Item(0, 0), kestrim.MatrixSubscriptError, -2146828279, "Subscript out of range", 0),
    (lambda: Matrix([[1.0], [2.0]]).RearrangeRows(["x", 0]), kestrim.MatrixTypeMismatchError, -2146828275,
     "Type mismatch", 0),
    (lambda: Matrix().Size(2**31 - 1, 2**31 - 1), kestrim.MatrixMemoryError, -2146828281, "Out of memory", 0),
    (lambda: Matrix([[1.0]]).FillRandom(0, 10, -1), kestrim.MatrixArgumentError, -2146828283,
     "Invalid procedure call or argument", 0),
    (lambda: Matrix([[1.0]]).Times(None), kestrim.MatrixObjectError, -2146828197, "Object variable not set", 0),
])
def test_library_errors(call, cls, number, description, context):
    with pytest.raises(kestrim.MatrixError) as info:
        call()
    e = info.value
    assert type(e) is cls
    assert (e.number, e.description, e.help_context) == (number, description, context)
    assert e.source == "KestrimMatrixLib.Matrix"
    if cls is kestrim.MatrixError:
        assert e.help_file.endswith("/KTMatrixLib.CHM")
        assert str(e) == description.replace(CR2, "\n")


@pytest.mark.parametrize("number, description, cls, builtin", [
    (0x800A0006, "Overflow", kestrim.MatrixOverflowError, OverflowError),
    (0x800A0006, "Invalid floating-point operation", kestrim.MatrixInvalidOperationError, FloatingPointError),
    (0x800A000B, "Division by zero", kestrim.MatrixZeroDivisionError, ZeroDivisionError),
    (0x800A0009, "Subscript out of range", kestrim.MatrixSubscriptError, IndexError),
    (0x800A000D, "Type mismatch", kestrim.MatrixTypeMismatchError, TypeError),
    (0x800A0007, "Out of memory", kestrim.MatrixMemoryError, MemoryError),
    (0x800A0005, "Invalid procedure call or argument", kestrim.MatrixArgumentError, ValueError),
    (0x800A005B, "Object variable not set", kestrim.MatrixObjectError, TypeError),
    (0x800A0010, "Some other runtime error", kestrim.MatrixRuntimeError, kestrim.MatrixError),
])
def test_runtime_error_classes(number, description, cls, builtin):
    # Raised in C++ and translated exactly as a member's error would be.
    with pytest.raises(builtin) as info:
        kestrim._core._raise_runtime_error(number - 2**32, description)
    e = info.value
    assert type(e) is cls and isinstance(e, kestrim.MatrixRuntimeError)
    assert e.number == number - 2**32 and e.description == description
    copy = pickle.loads(pickle.dumps(e))
    assert type(copy) is cls and copy.number == e.number and copy.description == description


def test_failed_members_change_nothing():
    m = Matrix([[1.0, 2.0], [3.0, 4.0]])
    for call in (lambda: m.Size(0, 1), lambda: m.SetRows(-1), lambda: m.SetItem(5, 0, 1.0),
                 lambda: m.PlusEquals(np.ones((3, 3))), lambda: m.RearrangeRows(["x", 0])):
        with pytest.raises(kestrim.MatrixError):
            call()
        assert m.to_numpy().tolist() == [[1.0, 2.0], [3.0, 4.0]]
