"""The Matrix class carries every member of the C++ class under the same
name, each documented, and round trips leak nothing."""
import gc
import sys
import tracemalloc

import numpy as np
import pytest

import kestrim
from kestrim import Matrix

MEMBERS = """FireEvents SetFireEvents MaxSize Rows SetRows Cols SetCols Size Item SetItem AsArray
SetAsArray Clone GetString Version FillRandom Transpose Plus PlusEquals Minus MinusEquals TimesScalar
Times IsSquare IsSymmetric IsEqualTo Normalize NormalizeMe RowVector ColVector RearrangeRows
RearrangeCols LU LUdc Determinant Inverse Solve SolveGauss Cholesky CHOLdc QR SVD Eigen Connect
Disconnect""".split()
EXTRAS = "from_numpy to_numpy on_progress on_done shape".split()
FUNCTIONS = "lu cholesky qr svd eig inv solve det".split()


def test_every_member_is_there_and_documented():
    for name in MEMBERS + EXTRAS:
        assert hasattr(Matrix, name), name
        assert (getattr(Matrix, name).__doc__ or "").strip(), name
    for name in FUNCTIONS:
        assert (getattr(kestrim, name).__doc__ or "").strip(), name
    assert Matrix.__doc__.strip() and kestrim.__doc__.strip()


def test_dimensions_follow_the_library():
    m = Matrix()
    assert (m.Rows, m.Cols, m.FireEvents, m.MaxSize) == (1, 1, False, 2147483647)
    m.Rows = 3
    m.Cols = 2
    assert m.to_numpy().tolist() == [[0.0, 0.0]] * 3
    m.SetItem(0, 1, 5.0)
    m.Cols = 3  # keeps surviving columns
    assert m.to_numpy().tolist() == [[0.0, 5.0, 0.0], [0.0] * 3, [0.0] * 3]
    m.SetRows(3)  # a row count always clears
    assert not m.to_numpy().any() and m.IsSquare()


def test_structural_members():
    a = np.array([[3.0, 1.0], [4.0, 2.0], [0.0, 5.0]])
    m = Matrix(a)
    assert m.RowVector(1).to_numpy().tolist() == [[4.0, 2.0]]
    assert m.ColVector(1).to_numpy().tolist() == [[1.0], [2.0], [5.0]]
    assert np.array_equal(m.Transpose().to_numpy(), a.T)
    assert np.array_equal(m.TimesScalar(2.0).to_numpy(), a * 2)
    normalized, norm = m.Normalize()
    assert norm > 0 and normalized.shape == (3, 2)
    perm = [2, 0, 1]  # the row at position i moves to position perm[i]
    m.RearrangeRows(perm)
    moved = np.empty_like(a)
    moved[[2, 0, 1]] = a
    assert np.array_equal(m.to_numpy(), moved)
    assert perm == [0, 1, 2]  # the by-reference index, swapped as the rows were
    m.RearrangeCols(np.array([1, 0]))
    assert np.array_equal(m.to_numpy(), moved[:, [1, 0]])
    assert not m.IsSymmetric() and Matrix(np.eye(3)).IsSymmetric()
    assert m.IsEqualTo(m.Clone()) and not m.IsEqualTo(m.TimesScalar(2.0), 1e-9)
    assert m.NormalizeMe() > 0
    assert "1.000" in Matrix([[1.0]]).GetString() and Matrix([[1.0]]).GetString(1, "\n") == "| 1.0 |\n"
    assert str(Matrix([[2.0]])) == "| 2.000 |\r\n" and m.Version()


def test_lu_permutation_feeds_rearrange_rows():
    a = np.array([[1.0, 2.0], [2.0, 4.0]])  # pivots swap the rows
    m = Matrix(a)
    l, u = Matrix(), Matrix()
    perm, sign = m.LU(l, u)
    assert (perm, sign) == ([1, 0], -1) and m.LUdc() == (perm, sign)
    m.RearrangeRows(perm)
    assert np.array_equal(m.to_numpy(), a[[1, 0]])


def test_clone_starts_with_events_off():
    m = Matrix([[1.0, 2.0]])
    m.SetFireEvents(True)
    c = m.Clone()
    c.SetItem(0, 0, 9.0)
    assert c.FireEvents is False and m.FireEvents is True and m.Item(0, 0) == 1.0


def test_decomposition_outputs_may_be_omitted():
    m = Matrix([[4.0, 2.0], [2.0, 3.0]])
    m.CHOLdc()
    q = Matrix()
    m.QR(q)
    assert q.shape == (2, 2)
    s = Matrix()
    m.SVD(S=s)
    assert s.shape == (2, 2)
    with pytest.raises(TypeError):
        m.QR(np.eye(2))  # outputs must be Matrix objects


def test_no_leak_after_ten_thousand_round_trips():
    a = np.random.default_rng(0).standard_normal((6, 6))
    handler = lambda op, p: None  # noqa: E731

    def round_trip():
        m = Matrix(a)
        m.on_progress(handler)
        m.FireEvents = True
        view = np.asarray(m)
        r = m.Plus(view).to_numpy()
        perm, _ = m.LU(Matrix(), None)
        del view
        m.Size(2, 2)
        try:
            m.Item(9, 9)
        except kestrim.MatrixError:
            pass
        return r, perm

    for _ in range(200):
        round_trip()
    gc.collect()
    refs = (sys.getrefcount(a), sys.getrefcount(handler))
    tracemalloc.start()
    for _ in range(10_000):
        round_trip()
    gc.collect()
    current, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert (sys.getrefcount(a), sys.getrefcount(handler)) == refs
    assert current < 64 * 1024, current
