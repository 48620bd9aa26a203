#!/usr/bin/env bash
# Cross-builds the automation server (KestrimMatrix.dll) with mingw-w64 and
# tests it under Wine in a fresh prefix: registration with regsvr32, the
# VBScript and JScript suites through Wine's script host, and the compiled
# client. Each suite must end with "N passed, 0 failed" (N > 0); Wine's
# cscript exits 0 even after a script error, so the exit status alone
# proves nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

packages=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 wine libwine-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/kestrim-wine.XXXXXX")
export WINEPREFIX
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

echo "== Wine prefix $WINEPREFIX"
wine wineboot --init >/dev/null 2>&1

echo "== Cross-building build-win/"
cmake -S host/automation -B build-win \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win -j"$(nproc)"

dll=$(winepath -w "$root/build-win/KestrimMatrix.dll")
echo "== regsvr32 $dll"
wine regsvr32 /s "$dll"

status=0
run_suite() {
    local name=$1
    shift
    echo "== $name"
    local output
    output=$("$@" 2>&1 | tr -d '\r') || true
    printf '%s\n' "$output"
    if ! printf '%s\n' "$output" | tail -n 1 | grep -Eq '^[1-9][0-9]* passed, 0 failed$'; then
        echo "== $name: FAILED (no \"N passed, 0 failed\" line at the end)"
        status=1
    fi
}

# The 64-bit script host runs through the 64-bit loader: where wine32 is
# installed too, plain "wine cscript" starts the 32-bit host, which cannot
# load a 64-bit DLL.
wine64_loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
cscript64() { WINELOADER="$wine64_loader" "$wine64_loader" cscript //nologo "$(winepath -w "$1")"; }
run_suite "VBScript suite" cscript64 "$root/tests/automation/MatrixSuite.vbs"
run_suite "JScript suite" cscript64 "$root/tests/automation/MatrixSuite.js"
run_suite "VBScript script-host suite" cscript64 "$root/tests/automation/ScriptHostSuite.vbs"
run_suite "JScript script-host suite" cscript64 "$root/tests/automation/ScriptHostSuite.js"
run_suite "Compiled client" wine "$root/build-win/automation_client.exe" "$dll"

echo "== regsvr32 /u"
wine regsvr32 /s /u "$dll" || status=1
exit $status
