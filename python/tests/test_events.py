"""Events and cancel from Python handlers, exceptions and Ctrl-C inside long
operations, and other Python threads running while the library computes."""
import gc
import os
import signal
import threading
import time

import numpy as np
import pytest

import kestrim
from kestrim import Matrix


def pct(x):
    """A percentage as delivered: a 32-bit float."""
    return float(np.float32(x))


def recorder(m, cancel_at=None):
    log = []

    def progress(operation, percent):
        log.append((operation, percent))
        return cancel_at is not None and len(log) >= cancel_at

    m.on_progress(progress)
    m.on_done(lambda operation: log.append(("Done", operation)))
    return log


def square(n, seed=3):
    return np.random.default_rng(seed).standard_normal((n, n)) + n * np.eye(n)


@pytest.mark.parametrize("call, expected", [
    (lambda m: m.Plus(m), [("Plus", pct(100 / 3)), ("Plus", pct(200 / 3)), ("Plus", 100.0), ("Done", "Plus")]),
    (lambda m: m.Transpose(), [("Transpose", pct(100 / 3)), ("Transpose", pct(200 / 3)), ("Transpose", 100.0),
                               ("Done", "Transpose")]),
    (lambda m: m.Cholesky(Matrix()), [("Cholesky", pct(100 / 3)), ("Cholesky", pct(200 / 3)),
                                      ("Cholesky", 100.0), ("Done", "CHOLdc")]),
    (lambda m: m.Determinant(), [("Determinant", pct(100 / 3)), ("Determinant", pct(200 / 3)),
                                 ("Determinant", 100.0), ("Done", "Determinant")]),
])
def test_events_reach_python_handlers(call, expected):
    m = Matrix([[4.0, 2.0, 0.0], [2.0, 3.0, 1.0], [0.0, 1.0, 5.0]])
    log = recorder(m)
    call(m)
    assert log == []  # FireEvents is off by default
    m.FireEvents = True
    call(m)
    assert log == expected


@pytest.mark.parametrize("call, check", [
    (lambda m: m.Plus(m), lambda r, m: r is None),
    (lambda m: m.Times(m), lambda r, m: r is None),
    (lambda m: m.Inverse(), lambda r, m: r is None),
    (lambda m: m.SolveGauss(np.ones((3, 1))), lambda r, m: r is None),
    (lambda m: m.Determinant(), lambda r, m: r == 0.0),
    (lambda m: m.PlusEquals(m.Clone()), lambda r, m: np.array_equal(m.to_numpy(), square(3))),
    (lambda m: m.FillRandom(), lambda r, m: np.array_equal(m.to_numpy(), square(3))),
])
def test_returning_true_cancels(call, check):
    m = Matrix(square(3))
    log = recorder(m, cancel_at=1)
    m.FireEvents = True
    result = call(m)
    assert len(log) == 1 and log[0][0] != "Done"
    assert check(result, m)


def test_cancelled_lu_leaves_outputs_untouched():
    m = Matrix(square(4))
    l, u = Matrix([[7.0]]), Matrix([[8.0]])
    recorder(m, cancel_at=2)
    m.FireEvents = True
    m.LU(l, u)
    assert l.to_numpy().tolist() == [[7.0]] and u.to_numpy().tolist() == [[8.0]]


def in_thread(fn):
    """Runs fn on a new thread; re-raises what it raised."""
    failure = []

    def body():
        try:
            fn()
        except BaseException as e:  # noqa: BLE001 - handed to the caller
            failure.append(e)

    t = threading.Thread(target=body)
    t.start()
    t.join()
    if failure:
        raise failure[0]


@pytest.mark.parametrize("run", [lambda fn: fn(), in_thread], ids=["main-thread", "other-thread"])
def test_switching_events_off_in_a_handler(run):
    run(switch_events_off)


def switch_events_off():
    # Elementwise operations read FireEvents once; numerical ones at every event.
    for call, count in ((lambda m: m.Plus(m), 4), (lambda m: m.LU(), 1), (lambda m: m.Inverse(), 1)):
        m = Matrix(square(3))
        log = []

        def progress(operation, percent, m=m):
            log.append(operation)
            m.FireEvents = False

        m.on_progress(progress)
        m.on_done(log.append)
        m.FireEvents = True
        call(m)
        assert len(log) == count and m.FireEvents is False


def test_connect_objects_and_disconnect():
    class Handler:
        def __init__(self):
            self.log = []

        def OnProgress(self, Operation, Percent, Cancel):
            self.log.append((Operation, Percent, Cancel))
            return Percent >= 50  # the new Cancel value

        def Done(self, Operation):
            self.log.append(Operation)

    m = Matrix(square(4))
    h, other = Handler(), []
    cookie = m.Connect(h)
    extra = m.on_progress(lambda op, p: other.append(p))
    m.FireEvents = True
    assert m.Inverse() is None
    assert h.log == [("Inverse", 25.0, False), ("Inverse", 50.0, False)] and other == [25.0, 50.0]
    m.Disconnect(cookie)
    m.Disconnect(extra)
    assert m.Inverse() is not None and len(h.log) == 2 and len(other) == 2


@pytest.mark.parametrize("exc", [ValueError("from handler"), KeyboardInterrupt()])
def test_handler_exceptions_cancel_and_propagate(exc):
    m = Matrix(square(5))
    l, u = Matrix([[1.0]]), Matrix([[2.0]])
    calls = []

    def progress(operation, percent):
        calls.append(percent)
        raise exc

    m.on_progress(progress)
    m.on_progress(lambda op, p: calls.append("second handler"))
    m.FireEvents = True
    with pytest.raises(type(exc)):
        m.LU(l, u)
    assert calls == [20.0]  # cancelled at once; no further handler or event
    assert l.to_numpy().tolist() == [[1.0]] and u.to_numpy().tolist() == [[2.0]]
    with pytest.raises(type(exc)):
        m.Plus(m)
    assert m.to_numpy().shape == (5, 5)


def test_handlers_may_resize_or_release_the_receiver():
    m = Matrix(square(6))
    m.on_progress(lambda op, p: m.Size(2, 2))
    m.FireEvents = True
    for call in (m.Inverse, m.Determinant, lambda: m.LU(Matrix(), Matrix()), lambda: m.QR(Matrix(), Matrix()),
                 lambda: m.SVD(Matrix(), Matrix(), Matrix()), lambda: m.Eigen(Matrix(), Matrix())):
        m.AsArray = square(6)
        call()  # the library copes; nothing here may crash
    assert m.shape == (2, 2)


def test_ctrl_c_cancels_a_long_operation():
    # Python's own Ctrl-C handler, whatever the process inherited (a shell
    # starts background jobs with SIGINT ignored).
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        ctrl_c_cancels_a_long_operation()
    finally:
        signal.signal(signal.SIGINT, previous)


def ctrl_c_cancels_a_long_operation():
    # Large enough that the signal, sent early, always arrives mid-way.
    a = square(800, seed=11)
    m = Matrix(a)
    outputs = [Matrix([[float(i)]]) for i in range(4)]
    timer = threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT))
    start = time.perf_counter()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        m.Eigen(*outputs)  # no handler, events off: Ctrl-C still cancels
    interrupted = time.perf_counter() - start
    timer.join()
    assert [o.to_numpy().tolist() for o in outputs] == [[[0.0]], [[1.0]], [[2.0]], [[3.0]]]
    assert m.FireEvents is False
    start = time.perf_counter()
    m.Eigen(*outputs)
    assert interrupted < 0.05 + (time.perf_counter() - start) / 2
    assert outputs[0].shape == (800, 1)


def test_other_threads_run_while_the_library_computes():
    a = square(700, seed=12)  # long enough (tenths of a second) on any machine
    count, stop = [0], threading.Event()

    def worker():
        while not stop.is_set():
            count[0] += 1

    t = threading.Thread(target=worker)
    t.start()
    time.sleep(0.05)
    before = count[0]
    start = time.perf_counter()
    w, v = kestrim.eig(a)
    elapsed = time.perf_counter() - start
    during = count[0] - before
    stop.set()
    t.join()
    assert w.shape == (700,)
    # With the GIL held for the whole call the worker would be stuck.
    assert elapsed > 0.05 and during > 1000


def test_a_matrix_in_use_is_refused_to_other_threads():
    m = Matrix(square(400, seed=13))
    errors, started = [], threading.Event()

    def progress(operation, percent):
        if not started.is_set():
            started.set()
            t = threading.Thread(target=lambda: errors.append(_try(lambda: m.Item(0, 0))))
            t.start()
            t.join()

    m.on_progress(progress)
    m.FireEvents = True
    m.Inverse()
    assert errors == [RuntimeError]


def _try(fn):
    try:
        fn()
    except Exception as e:  # noqa: BLE001 - the type is the result
        return type(e)
    return None


def test_handler_cycles_are_collected():
    freed = []

    class Probe:
        def __del__(self):
            freed.append(True)

    m = Matrix([[1.0]])
    probe = Probe()
    m.on_progress(lambda op, p: (m, probe))  # m -> handler -> m
    del m, probe
    gc.collect()
    assert freed == [True]


@pytest.mark.parametrize("member, count", [("QR", 2), ("SVD", 3), ("Eigen", 4)])
def test_interrupted_decompositions_write_no_output(member, count):
    a = square(12, seed=4)
    expected = [Matrix() for _ in range(count)]
    getattr(Matrix(a), member)(*expected)
    m = Matrix(a)
    outputs = [Matrix([[float(i)]]) for i in range(count)]
    m.on_progress(lambda op, p: (_ for _ in ()).throw(KeyboardInterrupt()) if p > 30 else None)
    m.FireEvents = True
    with pytest.raises(KeyboardInterrupt):
        getattr(m, member)(*outputs)
    assert [o.to_numpy().tolist() for o in outputs] == [[[float(i)]] for i in range(count)]
    # Without the interrupt, outputs of any earlier size get the library's bits.
    m.FireEvents = False
    getattr(m, member)(*outputs)
    for got, want in zip(outputs, expected):
        assert got.shape == want.shape and np.array_equal(got.to_numpy(), want.to_numpy())


def test_cancel_by_handler_leaves_what_the_library_leaves():
    m = Matrix(square(6, seed=8))
    log = recorder(m, cancel_at=1)
    m.FireEvents = True
    u, s, v = Matrix([[1.0]]), Matrix([[2.0]]), Matrix([[3.0]])
    m.SVD(u, s, v)  # a cancelled SVD still delivers its arrays as they stand, then Done
    assert (u.shape, s.shape, v.shape) == ((6, 6), (6, 6), (6, 6))
    q, r = Matrix([[1.0]]), Matrix([[2.0]])
    m.QR(q, r)  # cancelled at its first event: both outputs as passed
    assert [x.to_numpy().tolist() for x in (q, r)] == [[[1.0]], [[2.0]]]
    assert [entry[0] for entry in log] == ["SVD", "Done", "QR"]
