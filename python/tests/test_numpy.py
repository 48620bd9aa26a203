"""numpy exchange: every layout and dtype in, Fortran-ordered copies out,
zero-copy buffer views that can never outlive the storage they show, and
clear TypeError/ValueError for bad input before anything changes."""
import gc

import numpy as np
import pytest

import kestrim
from kestrim import Matrix

BASE = np.arange(1.0, 1.0 + 6 * 8).reshape(6, 8) * 1.25 - 7.0


@pytest.mark.parametrize("make", [
    pytest.param(lambda: np.ascontiguousarray(BASE), id="C"),
    pytest.param(lambda: np.asfortranarray(BASE), id="Fortran"),
    pytest.param(lambda: BASE[::2, 1::3], id="strided"),
    pytest.param(lambda: BASE[::-1, ::-2], id="negative-strides"),
    pytest.param(lambda: BASE.T, id="transposed"),
    pytest.param(lambda: BASE.astype(np.int32), id="int32"),
    pytest.param(lambda: BASE.astype(np.int64)[:, ::2], id="int64-strided"),
    pytest.param(lambda: (BASE > 0).astype(np.uint8), id="uint8"),
    pytest.param(lambda: BASE > 0, id="bool"),
    pytest.param(lambda: BASE.astype(np.float32), id="float32"),
    pytest.param(lambda: BASE.tolist(), id="nested-list"),
    pytest.param(lambda: np.broadcast_to(BASE[0], (3, 8)), id="zero-stride"),
])
def test_any_layout_and_real_dtype_loads_exactly(make):
    a = make()
    expected = np.asarray(a, dtype=np.float64)
    for m in (Matrix(a), Matrix.from_numpy(a)):
        assert m.shape == (m.Rows, m.Cols) == expected.shape
        out = m.to_numpy()
        assert out.dtype == np.float64 and out.flags.f_contiguous
        assert np.array_equal(out, expected)
        r, c = expected.shape[0] - 1, expected.shape[1] - 1
        assert m.Item(r, c) == m[r, c] == expected[r, c]


@pytest.mark.parametrize("a", [np.arange(5.0), np.arange(10.0)[::3], [1, 2, 3]], ids=["1-D", "1-D-strided", "list"])
def test_one_dimensional_input_is_one_column(a):
    m = Matrix(a)
    assert m.shape == (len(np.asarray(a)), 1)
    assert np.array_equal(m.to_numpy()[:, 0], np.asarray(a, dtype=float))


def test_asarray_property_copies_both_ways():
    m = Matrix()
    src = np.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
    m.AsArray = src
    src[0, 0] = 99.0
    got = m.AsArray
    got[1, 1] = -1.0
    assert m.Item(0, 0) == 1.0 and m.Item(1, 1) == 5.0 and m.shape == (2, 3)
    m.SetAsArray([7.0, 8.0])
    assert m.shape == (2, 1)
    with pytest.raises(kestrim.MatrixSubscriptError):  # as the library treats an empty 1-D array
        m.AsArray = np.array([])
    with pytest.raises(kestrim.MatrixError) as e:  # not an array at all
        m.AsArray = 5.0
    assert e.value.number == -2147220201
    assert m.shape == (2, 1)


@pytest.mark.parametrize("bad, error, as_array_error", [
    (np.array([[1, "a"]], dtype=object), TypeError, TypeError),
    (np.array([[1 + 2j]]), TypeError, TypeError),
    (np.array([["1.5"]]), TypeError, TypeError),
    (np.array(["2020-01-01"], dtype="datetime64[D]"), TypeError, TypeError),
    (np.zeros((2, 2, 2)), ValueError, ValueError),
    (np.float64(3.0), ValueError, kestrim.MatrixError),  # "Not an array."
    ([[1.0, 2.0], [3.0]], ValueError, ValueError),
    (np.array([]), ValueError, kestrim.MatrixSubscriptError),
])
def test_bad_input_is_refused_before_any_change(bad, error, as_array_error):
    with pytest.raises(error):
        Matrix(bad)
    m = Matrix([[1.0, 2.0]])
    with pytest.raises(as_array_error):
        m.AsArray = bad
    with pytest.raises(error):
        m.Plus(bad)
    assert m.shape == (1, 2) and m.Item(0, 1) == 2.0


@pytest.mark.parametrize("fn", [kestrim.inv, kestrim.det, kestrim.lu, kestrim.cholesky, kestrim.qr,
                                kestrim.svd, kestrim.eig, lambda a: kestrim.solve(a, [1.0, 2.0])])
@pytest.mark.parametrize("value", [np.nan, np.inf])
def test_functions_refuse_nan_and_infinity(fn, value):
    with pytest.raises(ValueError, match="NaN or infinity"):
        fn(np.array([[2.0, value], [1.0, 3.0]]))


def test_functions_refuse_bad_dimensions_and_dtypes():
    with pytest.raises(ValueError):
        kestrim.inv(np.ones((2, 2, 2)))
    with pytest.raises(TypeError):
        kestrim.det(np.array([[object()]]))
    with pytest.raises(ValueError):
        kestrim.solve(np.eye(2), np.ones((2, 1, 1)))


def test_buffer_view_shares_storage_without_copy():
    m = Matrix(BASE)
    view = np.asarray(m)
    assert view.flags.f_contiguous and view.flags.writeable and view.shape == m.shape
    assert np.array_equal(view, BASE)
    view[2, 3] = 123.5  # the view is the storage
    assert m.Item(2, 3) == 123.5
    m.SetItem(0, 0, -9.0)
    assert view[0, 0] == -9.0
    mv = memoryview(m)
    assert mv.shape == (6, 8) and mv.strides == (8, 48) and mv.format == "d" and not mv.readonly


@pytest.mark.parametrize("resize", [
    lambda m: m.Size(3, 3), lambda m: setattr(m, "Rows", 2), lambda m: m.SetCols(9),
    lambda m: setattr(m, "AsArray", np.ones((2, 2))), lambda m: m.PlusEquals(m.Clone()),
    lambda m: m.MinusEquals(m.Clone()), lambda m: m.NormalizeMe(), lambda m: m.FillRandom(),
    lambda m: m.RearrangeRows(list(range(6))[::-1]), lambda m: Matrix(BASE[:, :6]).LU(m, None),
    lambda m: Matrix(np.eye(6) * 4).Cholesky(m), lambda m: Matrix(BASE.T).QR(None, m),
    lambda m: Matrix(BASE).SVD(None, m, None), lambda m: Matrix(np.eye(3)).Eigen(m),
])
def test_storage_is_never_replaced_under_a_live_view(resize):
    m = Matrix(BASE)
    view = np.asarray(m)
    with pytest.raises(BufferError):
        resize(m)
    assert np.array_equal(view, BASE) and m.shape == (6, 8)
    del view
    gc.collect()
    resize(m)  # allowed once the view is gone


def test_views_are_copies_while_an_operation_runs():
    m = Matrix(np.eye(4) * 2.0)
    seen = []

    def handler(operation, percent):
        a = np.asarray(m)  # inside the operation: a copy, never a view
        a[0, 0] = 42.0
        seen.append(m.Item(0, 0))
        m.Size(2, 2)  # resizing the receiver mid-operation is safe
        with pytest.raises(BufferError):
            memoryview(m)

    m.on_progress(handler)
    m.FireEvents = True
    m.Inverse()
    assert seen and all(v != 42.0 for v in seen)
    assert np.asarray(m).shape == (2, 2)


def test_matrix_without_storage():
    m = Matrix()
    assert m.shape == (1, 1)
    with pytest.raises(kestrim.MatrixSubscriptError):
        m.to_numpy()
    with pytest.raises(kestrim.MatrixSubscriptError):
        np.asarray(m)  # no view; the copy fallback raises the library's error
    with pytest.raises(BufferError):
        memoryview(m)


def test_empty_dimension_round_trips():
    m = Matrix(np.zeros((0, 3)))
    assert m.shape == (0, 3) and m.to_numpy().shape == (0, 3) and np.asarray(m).shape == (0, 3)


def test_matrix_arguments_accept_arrays():
    m = Matrix([[1.0, 2.0], [3.0, 4.0]])
    assert np.array_equal(m.Plus([[1, 1], [1, 1]]).to_numpy(), [[2.0, 3.0], [4.0, 5.0]])
    assert m.IsEqualTo(np.array([[1.0, 2.0], [3.0, 4.0]], order="F"))
    copy = Matrix(m)
    copy.SetItem(0, 0, 0.0)
    assert m.Item(0, 0) == 1.0
