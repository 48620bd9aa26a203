#!/usr/bin/env bash
# Sets up, builds and installs the component for the current user (the
# library, headers, CMake and pkg-config files, the kestrim tool and the
# Python package, under ~/.local), then solves the example system A x = b
# (cli/examples/A.csv, a CSV file with a header line, and
# cli/examples/b.mtx, a Matrix Market file) with the tool, printing x.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
targets=(kestrim_matrix kestrim)
cmake --build build --target help | grep -qw kestrim_python && targets+=(kestrim_python)
cmake --build build -j"$(nproc)" --target "${targets[@]}"
prefix=${KESTRIM_PREFIX:-$HOME/.local}
cmake --install build --prefix "$prefix" >/dev/null
echo "== installed under $prefix (kestrim in $prefix/bin; Python: /usr/bin/python3 -c 'import kestrim')"
echo "== kestrim solve-gauss cli/examples/A.csv cli/examples/b.mtx"
"$prefix/bin/kestrim" solve-gauss cli/examples/A.csv cli/examples/b.mtx
