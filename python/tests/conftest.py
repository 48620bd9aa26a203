"""Test set-up: import kestrim from the build folder (KESTRIM_PYTHON_BUILD,
default build/python) and run the C++ oracle program found there."""
import os
import pathlib
import subprocess
import sys

import pytest

BUILD = pathlib.Path(os.environ.get(
    "KESTRIM_PYTHON_BUILD", pathlib.Path(__file__).resolve().parents[2] / "build" / "python"))
sys.path.insert(0, str(BUILD))


def _hex_tokens(line):
    """Normalizes the oracle's %a floats to float.hex text; other tokens stay."""
    tokens = line.split()
    out, i = [], 0
    while i < len(tokens):
        t = tokens[i]
        if t == "M":
            rows, cols = int(tokens[i + 1]), int(tokens[i + 2])
            out += [t, str(rows), str(cols)]
            out += [float.fromhex(x).hex() for x in tokens[i + 3:i + 3 + rows * cols]]
            i += 3 + rows * cols
        elif t == "S":
            out += [t, float.fromhex(tokens[i + 1]).hex()]
            i += 2
        elif t in ("I", "E"):
            out += [t, tokens[i + 1]]
            i += 2
        else:
            out.append(t)
            i += 1
    return out


@pytest.fixture(scope="session")
def oracle():
    """Runs a batch of (operation, [arrays]) cases through the C++ library;
    returns one token list per case (see tests/oracle.cpp)."""
    program = BUILD / "kestrim_py_oracle"
    if not program.exists():
        pytest.fail(f"oracle program {program} is missing: build target kestrim_py_oracle")

    def run(cases):
        lines = []
        for op, arrays in cases:
            lines.append(f"{op} {len(arrays)}")
            for a in arrays:
                rows, cols = a.shape
                values = " ".join(float(v).hex() for v in a.ravel(order="F"))
                lines.append(f"{rows} {cols} {values}")
        done = subprocess.run([str(program)], input="\n".join(lines) + "\n", text=True,
                              capture_output=True, check=True)
        results = [_hex_tokens(line) for line in done.stdout.splitlines()]
        assert len(results) == len(cases)
        return results

    return run
