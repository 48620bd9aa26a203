"""Binding overhead: the same library calls from C++ (overhead program) and
from Python, side by side in one run. Usage:
    /usr/bin/python3 python/bench/overhead.py build/python
"""
import subprocess
import sys
import time

import numpy as np

build = sys.argv[1] if len(sys.argv) > 1 else "build/python"
sys.path.insert(0, build)
import kestrim  # noqa: E402


def nanos_per_call(call):
    reps = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(reps):
            call()
        if time.perf_counter() - t0 > 0.1:
            break
        reps *= 2
    best = float("inf")
    for _ in range(5):
        t0 = time.perf_counter()
        for _ in range(reps):
            call()
        best = min(best, (time.perf_counter() - t0) / reps * 1e9)
    return best


cpp = {}
for line in subprocess.run([f"{build}/kestrim_py_overhead"], capture_output=True, text=True,
                           check=True).stdout.splitlines():
    op, n, ns = line.split()
    cpp[op, int(n)] = float(ns)

print(f"{'call':34} {'n':>4} {'C++ ns':>12} {'Python ns':>12} {'overhead ns':>12} {'ratio':>7}")
for n in (4, 512):
    rng = np.random.default_rng(1)
    a = rng.standard_normal((n, n)) / (4 * np.sqrt(n)) + np.eye(n)  # determinant near 1
    b = rng.standard_normal((n, n)) / (4 * np.sqrt(n)) + np.eye(n)
    ma, mb = kestrim.Matrix(a), kestrim.Matrix(b)
    rows = [
        ("m.Plus(m2)", "Plus", lambda: ma.Plus(mb)),
        ("m.Inverse()", "Inverse", ma.Inverse),
        ("kestrim.inv(ndarray)", "Inverse", lambda: kestrim.inv(a)),
        ("m.Determinant()", "Determinant", ma.Determinant),
        ("kestrim.det(ndarray)", "Determinant", lambda: kestrim.det(a)),
        ("m.Item(r, c)", "Item", lambda: ma.Item(n - 1, n - 1)),
    ]
    for label, op, call in rows:
        py = nanos_per_call(call)
        c = cpp[op, n]
        print(f"{label:34} {n:>4} {c:12.1f} {py:12.1f} {py - c:12.1f} {py / c:7.2f}")
