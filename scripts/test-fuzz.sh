#!/usr/bin/env bash
# Builds the libFuzzer target (tests/fuzz) with clang and runs it for a
# bounded time, starting from the committed seed corpus. New interesting
# inputs go to build-fuzz/corpus; an input that breaks the oracle or trips a
# sanitizer is saved under build-fuzz/crashes/ and fails the run.
#   KESTRIM_FUZZ_SECONDS  run time in seconds (default 120)
#   KESTRIM_FUZZ_JOBS     parallel fuzzing processes (default 1)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${KESTRIM_FUZZ_SECONDS:-120}"
jobs="${KESTRIM_FUZZ_JOBS:-1}"
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTRIM_FUZZ=ON -DKESTRIM_TESTS=OFF -DKESTRIM_BENCHMARKS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target matrix_fuzzer
mkdir -p build-fuzz/corpus build-fuzz/crashes
fork=()
((jobs > 1)) && fork=(-fork="$jobs")
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build-fuzz/fuzz/matrix_fuzzer "${fork[@]}" -max_total_time="$seconds" -max_len=1024 -timeout=20 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=build-fuzz/crashes/ \
    build-fuzz/corpus tests/fuzz/corpus
