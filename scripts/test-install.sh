#!/usr/bin/env bash
# Tests installing the library the ways users do, from an existing build
# folder (default build/):
#  1. cmake --install into a temporary prefix: versioned library with its
#     SONAME, headers, and a consumer program built twice, through
#     find_package(KestrimMatrix 2.1) and through pkg-config, then run;
#     the installed kestrim tool runs too.
#  2. cpack -G DEB: the package installs with dpkg -i, the consumer builds
#     against /usr and runs, the Python package imports, and dpkg -r removes
#     every file (needs root).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(realpath "${1:-build}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
consumer_src=$root/tests/install

run_consumer_builds() {  # $1: prefix the package lives under, $2: label
    local prefix=$1 label=$2
    echo "== $label: consumer through find_package"
    cmake -S "$consumer_src" -B "$work/$label-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
    cmake --build "$work/$label-cmake" >/dev/null
    "$work/$label-cmake/consumer"
    echo "== $label: find_package refuses version 3"
    if cmake -S "$consumer_src" -B "$work/$label-v3" -DCMAKE_PREFIX_PATH="$prefix" \
        -DKESTRIM_REQUIRED_VERSION=3.0 >/dev/null 2>&1; then
        echo "find_package(KestrimMatrix 3.0) accepted version 2"
        exit 1
    fi
    echo "== $label: consumer through pkg-config"
    local pcdir
    pcdir=$(dirname "$(find "$prefix" -name kestrim-matrix.pc -path '*/pkgconfig/*' | head -n 1)")
    local flags libdir
    flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs kestrim-matrix)
    libdir=$(PKG_CONFIG_PATH=$pcdir pkg-config --variable=libdir kestrim-matrix)
    # shellcheck disable=SC2086
    g++ -std=c++20 "$consumer_src/consumer.cpp" $flags -o "$work/$label-pc"
    LD_LIBRARY_PATH=$libdir "$work/$label-pc"
    [[ $(PKG_CONFIG_PATH=$pcdir pkg-config --modversion kestrim-matrix) == "$version" ]]
}

version=$(sed -n 's/^project(KestrimMatrix VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
cmake --build "$build" --target kestrim_matrix kestrim >/dev/null

echo "== cmake --install into a temporary prefix"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$(find "$prefix" -name "libkestrim_matrix.so.$version")
[[ -n $lib ]] || { echo "libkestrim_matrix.so.$version not installed"; exit 1; }
readelf -d "$lib" | grep -q 'SONAME.*\[libkestrim_matrix\.so\.2\]' || { echo "wrong SONAME"; exit 1; }
[[ -L $(dirname "$lib")/libkestrim_matrix.so.2 && -L $(dirname "$lib")/libkestrim_matrix.so ]] ||
    { echo "library links missing"; exit 1; }
for h in Matrix.h Error.h DoubleArray.h Variant.h MatrixEvents.h; do
    [[ -f $prefix/include/kestrim/$h ]] || { echo "header $h not installed"; exit 1; }
done
run_consumer_builds "$prefix" prefix
echo "== installed kestrim tool"
"$prefix/bin/kestrim" solve-gauss cli/examples/A.csv cli/examples/b.mtx

echo "== Debian package"
if [[ $(id -u) -ne 0 ]]; then
    echo "skipped: installing the package needs root"
    exit 0
fi
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$work"/kestrim-matrix_*.deb)
dpkg-deb --field "$deb" Package Version Depends
if dpkg-query -W -f='${Status}' kestrim-matrix 2>/dev/null | grep -q 'ok installed'; then
    echo "kestrim-matrix is already installed on this machine; not touching it"
    exit 1
fi
# Another dpkg run (a parallel job) holds the lock for a while at most.
dpkg_retry() {
    local attempt
    for attempt in $(seq 1 30); do
        if "$@" 2>"$work/dpkg.err"; then return 0; fi
        grep -q 'lock' "$work/dpkg.err" || { cat "$work/dpkg.err"; return 1; }
        sleep 5
    done
    cat "$work/dpkg.err"
    return 1
}
dpkg_retry dpkg -i "$deb" >/dev/null
removed=0
remove_package() { ((removed)) || dpkg_retry dpkg -r kestrim-matrix >/dev/null; removed=1; }
trap 'remove_package; rm -rf "$work"' EXIT
files=$(dpkg -L kestrim-matrix | while read -r f; do [[ -f $f || -L $f ]] && echo "$f"; done)
kestrim --version
kestrim solve-gauss cli/examples/A.csv cli/examples/b.mtx
echo "== deb: the Python package imports"
# -s: the user's own site folder (where the main job installs) must not stand in for the package.
(cd "$work" && /usr/bin/python3 -s -c "import kestrim; assert kestrim.__file__.startswith('/usr/lib/python3/dist-packages/'), kestrim.__file__; print(kestrim.__file__, kestrim.det([[2.0, 1.0], [1.0, 3.0]]))")
run_consumer_builds /usr deb
remove_package
for f in $files; do
    [[ ! -e $f && ! -L $f ]] || { echo "$f left after dpkg -r"; exit 1; }
done
echo "== install checks passed"
