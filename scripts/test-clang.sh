#!/usr/bin/env bash
# Builds the library and the whole test suite with Debian's clang and runs
# it: the fault tests read the processor's sticky floating-point flags, and
# each compiler must be told so (cmake/FloatingPointFlags.cmake).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"
cmake -S . -B build-clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release \
    -DKESTRIM_BENCHMARKS=OFF >/dev/null
cmake --build build-clang -j"$jobs"
ctest --test-dir build-clang --output-on-failure -j"$jobs"
