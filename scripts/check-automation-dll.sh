#!/usr/bin/env bash
# Checks a cross-built automation server: usage
#   scripts/check-automation-dll.sh <build folder> <objdump of the target>
# 1. KestrimMatrix.dll imports only system DLLs (the compiler's run-time
#    libraries are linked statically).
# 2. The component's object code (every logic folder and the DLL's own
#    sources) contains no x87 arithmetic: every Double operation must run in
#    SSE2 registers, where it rounds once to 53 bits as on x86-64. x87 data
#    transfers (fld/fst/fstp, fxch, fcmov, fild/fist, constants) are exact
#    and allowed: the 32-bit calling convention returns a Double in st(0).
# Prints what it found; exits 1 on a failure.
set -euo pipefail
build=${1:?build folder}
objdump=${2:?objdump of the target}
status=0

system_dlls='^(kernel32|advapi32|ole32|oleaut32|msvcrt|user32|ntdll|shlwapi|uuid)\.dll$'
echo "== imports of $build/KestrimMatrix.dll"
imports=$("$objdump" -p "$build/KestrimMatrix.dll" | awk '/DLL Name:/ {print $3}')
for dll in $imports; do
    if [[ ${dll,,} =~ $system_dlls ]]; then
        echo "   $dll"
    else
        echo "   $dll: NOT a system DLL"
        status=1
    fi
done
[[ -n $imports ]] || { echo "   no import table found"; status=1; }

# x87 instructions that compute (round, compare or transform a value), by
# mnemonic stem; the operand-size suffixes of AT&T syntax follow.
x87_arith='^(f(i?add|add|i?sub|subr|isubr|i?mul|i?div|divr|idivr)p?[slt]?|fsqrt|fprem1?|frndint|fscale|fxtract|fabs|fchs|f2xm1|fyl2xp?1?|fptan|fpatan|fsin|fcos|fsincos|fi?comp?p?[slt]?|fu?comi?p?|fucomp?p?|ftst|fxam)$'
objects=$(find "$build/CMakeFiles/kestrim_logic.dir" "$build/CMakeFiles/KestrimMatrix.dir" -name '*.obj' | sort)
[[ -n $objects ]] || { echo "no object files under $build"; exit 1; }
echo "== x87 instructions in the component's object code ($(wc -w <<<"$objects") files)"
listing=$(for o in $objects; do
    "$objdump" -d --no-show-raw-insn "$o" | awk -v f="${o##*/}" '$2 ~ /^f[a-z0-9]+$/ && $1 ~ /^[0-9a-f]+:$/ {print $2, f}'
done)
arith=$(awk -v re="$x87_arith" '$1 ~ re' <<<"$listing")
moves=$(awk -v re="$x87_arith" '$1 != "" && $1 !~ re {print $1}' <<<"$listing" | sort | uniq -c | awk '{printf " %s %s", $2, $1}')
echo "   data transfers (allowed):${moves:- none}"
if [[ -n $arith ]]; then
    echo "   x87 arithmetic (NOT allowed):"
    sort <<<"$arith" | uniq -c | sed 's/^/     /'
    status=1
else
    echo "   x87 arithmetic: none"
fi
exit $status
