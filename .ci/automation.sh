#!/usr/bin/env bash
# Cross-builds the automation server (KestrimMatrix.dll) with mingw-w64 for
# 64-bit (build-win/) and 32-bit (build-win32/) Windows and tests both under
# Wine in one fresh 64-bit prefix, where 32-bit programs run through the
# 32-bit loader and C:\windows\syswow64:
# - each build: the DLL check (system imports only, no x87 arithmetic),
#   registration with its own regsvr32, the VBScript and JScript suites
#   through its own cscript, the bit-identity cases (results compared
#   exactly with the native library's) and the compiled client;
# - both registered at once, each used by its own host, then each
#   unregistered without touching the other;
# - per-user registration (regsvr32 /n /i:user) and its removal, each build.
# Each suite must end with "N passed, 0 failed" (N > 0); Wine's cscript
# exits 0 even after a script error and prints nothing for it, so the exit
# status alone proves nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# wine32 comes from Debian's i386 multiarch.
packages=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools wine64 wine libwine-dev wine32:i386)
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The loader per target: Debian's `wine` command starts the 32-bit loader as
# soon as wine32 is installed, so both are named; elsewhere `wine64` or a
# `wine` that runs both kinds.
first_program() {
    local candidate
    for candidate in "$@"; do
        if [[ $candidate == /* ]]; then
            [[ -x $candidate ]] && { echo "$candidate"; return 0; }
        elif command -v "$candidate" >/dev/null; then
            command -v "$candidate"
            return 0
        fi
    done
    return 1
}
wine64=$(first_program /usr/lib/wine/wine64 wine64 wine)
wine32=$(first_program /usr/lib/wine/wine wine)

export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/kestrim-wine.XXXXXX")
export WINEPREFIX
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

echo "== Wine prefix $WINEPREFIX (64-bit loader $wine64, 32-bit loader $wine32)"
"$wine64" wineboot --init >/dev/null 2>&1

status=0
# <build folder> <toolchain file> <loader> <objdump>
build_dll() {
    echo "== Cross-building $1/"
    cmake -S host/automation -B "$1" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$2" -DCMAKE_BUILD_TYPE=Release \
        -DKESTRIM_WINE="$3" >/dev/null
    cmake --build "$1" -j"$(nproc)"
    bash scripts/check-automation-dll.sh "$1" "$4" || status=1
}
build_dll build-win mingw-w64-x86_64.cmake "$wine64" x86_64-w64-mingw32-objdump
build_dll build-win32 mingw-w64-i686.cmake "$wine32" i686-w64-mingw32-objdump

echo "== Native digests of the bit-identity cases"
[[ -f build/CMakeCache.txt ]] || cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target automation_bit_reference
digests="$WINEPREFIX/native-digests.txt"
build/automation_bit_reference >"$digests"
mapfile -t value_digests < <(awk '{print $1 "=" $2}' "$digests")
echo "${#value_digests[@]} cases"

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

# Per build: its label, folder, loader and the system folder of its hosts.
declare -A folder=([64]=build-win [32]=build-win32) loader=([64]=$wine64 [32]=$wine32)
declare -A system=([64]=system32 [32]=syswow64) dll=()
for bits in 64 32; do dll[$bits]=$(winepath -w "$root/${folder[$bits]}/KestrimMatrix.dll"); done
host() {  # <bits> <program in the system folder> <arguments>...
    local bits=$1 program=$2
    shift 2
    "${loader[$bits]}" "C:\\windows\\${system[$bits]}\\$program" "$@"
}
cscript() { host "$1" cscript.exe //nologo "${@:2}"; }
regsvr32() { host "$1" regsvr32.exe /s "${@:2}"; }
script() { winepath -w "$root/tests/automation/$1"; }

# Every suite against one build, registered machine-wide for the run.
test_dll() {
    local bits=$1 label="$1-bit"
    echo "== $label: regsvr32 ${dll[$bits]}"
    regsvr32 "$bits" "${dll[$bits]}" || status=1
    run_suite "$label VBScript suite" cscript "$bits" "$(script MatrixSuite.vbs)"
    run_suite "$label JScript suite" cscript "$bits" "$(script MatrixSuite.js)"
    run_suite "$label VBScript script-host suite" cscript "$bits" "$(script ScriptHostSuite.vbs)"
    run_suite "$label JScript script-host suite" cscript "$bits" "$(script ScriptHostSuite.js)"
    run_suite "$label bit identity, VBScript" cscript "$bits" "$(script BitIdentity.vbs)" "${value_digests[@]}"
    run_suite "$label bit identity, JScript" cscript "$bits" "$(script BitIdentity.js)" "${value_digests[@]}"
    run_suite "$label compiled client" "${loader[$bits]}" "$root/${folder[$bits]}/automation_client.exe" \
        "${dll[$bits]}" "$(winepath -w "$digests")"
    echo "== $label: regsvr32 /u"
    regsvr32 "$bits" /u "${dll[$bits]}" || status=1
}
test_dll 64
test_dll 32

# Registry checks: <view 32|64> <present|absent> <what> <key>...
clsid='{639F6DCC-BEF5-4E2F-8CCF-6CFD6E98AE2E}' libid='{744E6CBB-3189-4D3E-B8A6-77556F148228}'
interfaces=('{D04D1253-AB53-47EC-8A50-F5E85CFBBFCA}' '{6C682DE4-B0E8-4281-8125-F69FC640D3D0}')
expect_keys() {
    local bits=$1 state=$2 what=$3 key found
    shift 3
    for key in "$@"; do
        found=absent
        host "$bits" reg.exe query "$key" >/dev/null 2>&1 && found=present
        if [[ $found != "$state" ]]; then
            echo "== $what: $key is $found in the $bits-bit view: FAILED"
            status=1
        fi
    done
}
server_keys() {  # <classes root>: the keys of one registration
    echo "$1\\CLSID\\$clsid" "$1\\KestrimMatrixLib.Matrix" "$1\\TypeLib\\$libid"
    for iid in "${interfaces[@]}"; do echo "$1\\Interface\\$iid"; done
}
mapfile -t machine_keys < <(server_keys 'HKLM\Software\Classes' | tr ' ' '\n')
mapfile -t user_keys < <(server_keys 'HKCU\Software\Classes' | tr ' ' '\n')

echo "== Both builds registered in one prefix"
regsvr32 64 "${dll[64]}" || status=1
regsvr32 32 "${dll[32]}" || status=1
expect_keys 64 present "both registered" "${machine_keys[@]}"
expect_keys 32 present "both registered" "${machine_keys[@]}"
run_suite "side by side, 64-bit host" cscript 64 "$(script MatrixSuite.vbs)"
run_suite "side by side, 32-bit host" cscript 32 "$(script MatrixSuite.vbs)"
for gone in 32 64; do
    kept=64
    [[ $gone == 64 ]] && kept=32
    regsvr32 "$gone" /u "${dll[$gone]}" || status=1
    expect_keys "$kept" present "$gone-bit build unregistered" "${machine_keys[@]}"
    expect_keys "$gone" absent "$gone-bit build unregistered" "HKLM\\Software\\Classes\\CLSID\\$clsid"
    run_suite "$gone-bit build unregistered, $kept-bit host" cscript "$kept" "$(script MatrixSuite.vbs)"
    regsvr32 "$gone" "${dll[$gone]}" || status=1
done
regsvr32 64 /u "${dll[64]}" || status=1
regsvr32 32 /u "${dll[32]}" || status=1
expect_keys 64 absent "both unregistered" "${machine_keys[@]}"
expect_keys 32 absent "both unregistered" "${machine_keys[@]}"

# Per-user registration. Wine 8's COM reads classes from the machine's keys
# only, so the use of a per-user registration is checked by the compiled
# client (UserRegistration: a server created from the keys it finds under the
# user's classes); here each build's regsvr32 writes and removes them.
for bits in 64 32; do
    echo "== $bits-bit: regsvr32 /n /i:user, then /u /n /i:user"
    regsvr32 "$bits" /n /i:user "${dll[$bits]}" || status=1
    expect_keys "$bits" present "$bits-bit per-user registration" "${user_keys[@]}"
    expect_keys "$bits" absent "$bits-bit per-user registration" "${machine_keys[0]}" "${machine_keys[1]}"
    regsvr32 "$bits" /u /n /i:user "${dll[$bits]}" || status=1
    expect_keys "$bits" absent "$bits-bit per-user registration removed" "${user_keys[@]}"
done
((status == 0)) && echo "== automation server: every check passed"
exit $status
