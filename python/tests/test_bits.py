"""Every result of the Python package is the C++ library's, bit for bit:
random matrices of awkward sizes, passed in C and Fortran order, compared as
float.hex text against a C++ program that prints the library's results."""
import numpy as np
import pytest

import kestrim
from kestrim import Matrix

SQUARE = [1, 2, 3, 5, 7, 13, 31, 64, 65]
RECT = [(3, 2), (7, 3), (13, 5), (2, 3), (5, 13), (65, 31)]


def random(rng, rows, cols):
    # Mixed magnitudes make rounding differences visible.
    return rng.standard_normal((rows, cols)) * 10.0 ** rng.integers(-3, 4, (rows, cols))


def spd(rng, n):
    b = rng.standard_normal((n, n))
    return b @ b.T + n * np.eye(n)


def tokens(*results):
    """The oracle's token format for Python-side results."""
    out = []
    for r in results:
        if r is None:
            out.append("N")
        elif isinstance(r, Matrix):
            a = r.to_numpy()
            out += ["M", str(a.shape[0]), str(a.shape[1])] + [float(v).hex() for v in a.ravel(order="F")]
        elif isinstance(r, float):
            out += ["S", r.hex()]
        else:
            out += ["I", str(int(r))]
    return out


def member_tokens(op, arrays):
    """Runs `op` through kestrim.Matrix members; errors give ["E", number]."""
    m = Matrix(arrays[0])
    other = Matrix(arrays[1]) if len(arrays) > 1 else None
    try:
        if op == "TimesScalar":
            return tokens(m.TimesScalar(float(arrays[1][0, 0])))
        if op in ("Plus", "Minus", "Times", "Solve", "SolveGauss"):
            return tokens(getattr(m, op)(other))
        if op in ("Transpose", "Inverse"):
            return tokens(getattr(m, op)())
        if op == "Determinant":
            return tokens(m.Determinant())
        if op == "Normalize":
            r, norm = m.Normalize()
            return tokens(r, norm)
        if op == "LU":
            l, u = Matrix(), Matrix()
            perm, sign = m.LU(l, u)
            return tokens(l, u, *perm, sign)
        if op == "Cholesky":
            l = Matrix()
            m.Cholesky(l)
            return tokens(l)
        outs = [Matrix() for _ in range({"QR": 2, "SVD": 3, "Eigen": 4}[op])]
        getattr(m, op)(*outs)
        return tokens(*outs)
    except kestrim.MatrixError as e:
        return ["E", str(e.number)]


def build_cases(seed=20261207):
    rng = np.random.default_rng(seed)
    cases = []
    for n in SQUARE:
        a, b = random(rng, n, n), random(rng, n, n)
        rhs = random(rng, n, 2)
        cases += [("Plus", [a, b]), ("Minus", [a, b]), ("Times", [a, b]), ("Transpose", [a]),
                  ("TimesScalar", [a, np.array([[np.pi]])]), ("Normalize", [a]),
                  ("Determinant", [a]), ("Inverse", [a]), ("Solve", [a, rhs]),
                  ("SolveGauss", [a, rhs]), ("LU", [a]), ("Cholesky", [spd(rng, n)]),
                  ("QR", [a]), ("SVD", [a]), ("Eigen", [a]), ("Eigen", [spd(rng, n)])]
    for rows, cols in RECT:
        a = random(rng, rows, cols)
        cases += [("Times", [a, random(rng, cols, 4)]), ("Transpose", [a]), ("SVD", [a]),
                  ("QR", [a]), ("Plus", [a, random(rng, rows, cols)])]
    # Failures must carry the same numbers.
    cases += [("LU", [np.zeros((3, 3))]), ("Cholesky", [np.array([[1.0, 2.0], [3.0, 4.0]])]),
              ("Plus", [np.full((1, 1), 1.7e308), np.full((1, 1), 1.7e308)]),
              ("Times", [np.ones((2, 3)), np.ones((2, 3))])]
    return cases


CASES = build_cases()


@pytest.mark.parametrize("order", ["C", "F"])
def test_members_match_the_library_bit_for_bit(oracle, order):
    expected = oracle(CASES)
    mismatches = []
    for (op, arrays), want in zip(CASES, expected):
        got = member_tokens(op, [np.array(a, order=order) for a in arrays])
        assert want[0] == op
        if got != want[1:]:
            mismatches.append(f"{op} {[a.shape for a in arrays]}")
    assert not mismatches, mismatches


def test_oracle_catches_a_changed_bit(oracle):
    # The comparison is sharp: a last-bits change of the input shows.
    a = random(np.random.default_rng(5), 5, 5)
    b = a * (1 + 2.0 ** -40)
    want, = oracle([("Inverse", [a])])
    assert member_tokens("Inverse", [b]) != want[1:]


def bits(x):
    return [float(v).hex() for v in np.asarray(x, dtype=np.complex128).ravel().view(np.float64)]


@pytest.mark.parametrize("n", [1, 4, 13, 33])
def test_functions_give_the_members_bits(n):
    rng = np.random.default_rng(n)
    a, s = random(rng, n, n), spd(rng, n)
    rhs = random(rng, n, 1)
    m = Matrix(a)

    l, u = Matrix(), Matrix()
    perm, sign = m.LU(l, u)
    fl, fu, fperm, fsign = kestrim.lu(a)
    assert bits(fl) == bits(l.to_numpy()) and bits(fu) == bits(u.to_numpy())
    assert list(fperm) == perm and fsign == sign and fperm.dtype == np.int32

    assert bits(kestrim.inv(a)) == bits(m.Inverse().to_numpy())
    assert kestrim.det(a).hex() == m.Determinant().hex()
    assert bits(kestrim.solve(a, rhs)) == bits(m.Solve(Matrix(rhs)).to_numpy())
    assert bits(kestrim.solve(a, rhs, gauss=True)) == bits(m.SolveGauss(Matrix(rhs)).to_numpy())
    assert kestrim.solve(a, rhs[:, 0]).shape == (n,)

    c = Matrix()
    Matrix(s).Cholesky(c)
    assert bits(kestrim.cholesky(s)) == bits(c.to_numpy())

    q, r = Matrix(), Matrix()
    m.QR(q, r)
    fq, fr = kestrim.qr(a)
    assert bits(fq) == bits(q.to_numpy()) and bits(fr) == bits(r.to_numpy())

    su, ss, sv = Matrix(), Matrix(), Matrix()
    m.SVD(su, ss, sv)
    assert [bits(x) for x in kestrim.svd(a)] == [bits(x.to_numpy()) for x in (su, ss, sv)]

    for source in (a, s):
        parts = [Matrix() for _ in range(4)]
        Matrix(source).Eigen(*parts)
        re, im, vre, vim = (p.to_numpy() for p in parts)
        w, v = kestrim.eig(source)
        assert w.dtype == v.dtype == np.complex128 and w.shape == (n,)
        assert [x.hex() for x in w.real] + [x.hex() for x in w.imag] == \
            [x.hex() for x in re.ravel(order="F")] + [x.hex() for x in im.ravel(order="F")]
        assert bits(v.real) == bits(vre) and bits(v.imag) == bits(vim)
