#!/usr/bin/env bash
# Sets up, builds and runs every test: the native build, the same tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, and (when
# KESTRIM_AUTOMATION_TESTS is not 0) the automation server under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs="$(nproc)"

echo "== native build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build and tests"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIM_SANITIZE=ON -DKESTRIM_BENCHMARKS=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== ThreadSanitizer build and threaded tests"
bash scripts/test-tsan.sh

if [[ "${KESTRIM_AUTOMATION_TESTS:-1}" != 0 && -f .ci/automation.sh ]]; then
    echo "== automation server under Wine"
    bash .ci/automation.sh
fi
