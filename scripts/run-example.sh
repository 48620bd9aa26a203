#!/usr/bin/env bash
# Sets up, builds the kestrim tool and solves the example system
# A x = b (cli/examples/A.csv, a CSV file with a header line, and
# cli/examples/b.mtx, a Matrix Market file), printing x.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target kestrim
echo "== kestrim solve-gauss cli/examples/A.csv cli/examples/b.mtx"
./build/cli/kestrim solve-gauss cli/examples/A.csv cli/examples/b.mtx
