#!/usr/bin/env bash
# Builds the Python package with Debian's interpreter, runs its tests, and
# checks that an install of it imports from the interpreter's site folder.
set -euo pipefail
cd "$(dirname "$0")/.."
python=/usr/bin/python3
build="${KESTRIM_PYTHON_BUILD_DIR:-build}"

cmake -S . -B "$build" -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j"$(nproc)" --target kestrim_python kestrim_py_oracle
KESTRIM_PYTHON_BUILD="$PWD/$build/python" "$python" -m pytest -q -p no:cacheprovider python/tests

staging="$(mktemp -d)"
trap 'rm -rf "$staging"' EXIT
cmake --install "$build" --prefix "$staging" --component Python >/dev/null
site="$(cmake -L -N "$build" | sed -n 's/^KESTRIM_PYTHON_SITE_DIR:STRING=//p')"
(cd "$staging" && PYTHONPATH="$staging/$site" "$python" -c \
    "import kestrim; assert kestrim.__file__.startswith('$staging'); print('installed kestrim imports:', kestrim.det([[2.0, 1.0], [1.0, 3.0]]))")
