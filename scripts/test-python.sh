#!/usr/bin/env bash
# Builds the Python package with Debian's interpreter, runs its tests, checks
# that an install of it imports from the interpreter's site folder, and,
# where the sanitizer build folder exists (build-asan), runs the tests again
# against a module built with AddressSanitizer + UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
python=/usr/bin/python3
build="${KESTRIM_PYTHON_BUILD_DIR:-build}"
asan_build="${KESTRIM_PYTHON_ASAN_BUILD_DIR:-build-asan}"

echo "== Python package"
cmake -S . -B "$build" -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build" -j"$(nproc)" --target kestrim_python kestrim_py_oracle
KESTRIM_PYTHON_BUILD="$PWD/$build/python" "$python" -m pytest -q -p no:cacheprovider python/tests

staging="$(mktemp -d)"
trap 'rm -rf "$staging"' EXIT
cmake --install "$build" --prefix "$staging" --component Python >/dev/null
site="$(cmake -L -N "$build" | sed -n 's/^KESTRIM_PYTHON_SITE_DIR:STRING=//p')"
(cd "$staging" && PYTHONPATH="$staging/$site" "$python" -c \
    "import kestrim; assert kestrim.__file__.startswith('$staging'); print('installed kestrim imports:', kestrim.det([[2.0, 1.0], [1.0, 3.0]]))")

if [[ -f "$asan_build/CMakeCache.txt" ]] && grep -q '^KESTRIM_SANITIZE:BOOL=ON' "$asan_build/CMakeCache.txt"; then
    echo "== Python package under AddressSanitizer + UndefinedBehaviorSanitizer"
    cmake -S . -B "$asan_build" -DPython_EXECUTABLE="$python" >/dev/null
    cmake --build "$asan_build" -j"$(nproc)" --target kestrim_python kestrim_py_oracle
    compiler="$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$asan_build/CMakeCache.txt")"
    # The interpreter itself is not instrumented: preload the runtime (and
    # the C++ runtime, whose throw the sanitizer must find at start-up), and
    # leave leak reports to the tests' own accounting (CPython keeps memory
    # to the end by design).
    LD_PRELOAD="$("$compiler" -print-file-name=libasan.so) $("$compiler" -print-file-name=libstdc++.so)" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    KESTRIM_PYTHON_BUILD="$PWD/$asan_build/python" "$python" -m pytest -q -p no:cacheprovider python/tests
fi
