#!/usr/bin/env bash
# The threaded tests under ThreadSanitizer. Built with clang and LLVM's
# OpenMP runtime, whose Archer tool tells ThreadSanitizer about the
# runtime's own synchronisation (GCC's libgomp is not instrumented, so its
# barriers would be reported as races).
set -euo pipefail
cd "$(dirname "$0")/.."

# clang 14, its sanitizer runtimes and LLVM's OpenMP come with the project's packages.
bash scripts/install-deps.sh

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-tsan -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTRIM_BENCHMARKS=OFF -DCMAKE_CXX_FLAGS="-fsanitize=thread" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" \
    "${launcher[@]}" >/dev/null
tests=(test_runtime test_ops test_linsys test_decomp test_eigen)
cmake --build build-tsan -j"$(nproc)" --target "${tests[@]}"

export OMP_TOOL_LIBRARIES=/usr/lib/llvm-14/lib/libarcher.so
# Interceptor calls from modules built without the sanitizer (the OpenMP
# runtime itself, GoogleTest) are not checked; our code is.
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 ignore_noninstrumented_modules=1"
export KESTRIM_NUM_THREADS=3
# The tests that run every kernel on several threads.
filter='Threading.*:Times.*:BitIdentityTest.*:QR.*:SVD.*:EigenStages.*'
for t in "${tests[@]}"; do
    echo "== $t under ThreadSanitizer"
    ./build-tsan/"$t" --gtest_filter="$filter" --gtest_brief=1
done
