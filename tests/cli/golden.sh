#!/usr/bin/env bash
# Golden-file tests of the kestrim tool: each case runs one command on the
# small files in data/ and compares its standard output, byte for byte, with
# data/golden/<case>.out. Results are bit-exact on every x86-64 CPU, so the
# files hold the exact expected text. KESTRIM_UPDATE_GOLDEN=1 rewrites them
# (review the difference before committing).
# Also: written files read back to identical bits (CSV and Matrix Market,
# shortest decimal and hexadecimal), and -o names and fills one file per
# result.
source "$(dirname "$0")/common.sh"
cd "$data"

# case name | arguments
cases=(
    "solve|solve A3.csv b3.csv"
    "solve-gauss|solve-gauss A3.csv b3.csv"
    "inverse|inverse A3.csv --precision 6"
    "det|det spd.mtx"
    "times|times A3.csv N.csv"
    "plus|plus A3.csv N.csv --format mtx"
    "minus|minus A3.csv N.csv --hex"
    "transpose|transpose R.tsv"
    "lu|lu A3.csv"
    "cholesky|cholesky spd.mtx"
    "qr|qr R.tsv"
    "svd|svd R.tsv"
    "eigen-symmetric|eigen spd.mtx"
    "eigen-general|eigen N.csv"
    "info|info A3.csv"
    "random|random 3 4 --low -1 --high 1 --decimals 3"
)
for entry in "${cases[@]}"; do
    name=${entry%%|*}
    read -r -a args <<<"${entry#*|}"
    if ! "$kestrim" "${args[@]}" >"$work/$name.out" 2>"$work/$name.err"; then
        fail "$name: exit $? ($(cat "$work/$name.err"))"
        continue
    fi
    if [[ ${KESTRIM_UPDATE_GOLDEN:-0} == 1 ]]; then
        cp "$work/$name.out" "golden/$name.out"
    elif ! diff -u "golden/$name.out" "$work/$name.out"; then
        fail "$name: output differs from golden/$name.out"
    fi
done

# The header line of A3.csv is reported on stderr, never on stdout.
grep -q 'A3.csv: first line read as a header (x, y, z)' "$work/solve.err" || fail "header not reported"

# Round trips through files: the shortest decimal and the hexadecimal form
# both read back to the same bits, so converting back gives the same text.
"$kestrim" transpose awkward.csv >"$work/t.csv" || fail "transpose awkward.csv"
"$kestrim" transpose "$work/t.csv" | cmp -s <(grep -v '^#' awkward.csv) - || fail "awkward.csv not read exactly"
for style in "" "--hex"; do
    for ext in csv mtx; do
        out="$work/rt$style.$ext"
        "$kestrim" transpose "$work/t.csv" $style -o "$out" || fail "write $out"
        "$kestrim" transpose "$out" -o "$work/back.csv" || fail "read $out"
        cmp -s "$work/t.csv" "$work/back.csv" || fail "round trip through $out changed bits"
    done
done

# -o with several results: one file per result, same text as stdout blocks.
"$kestrim" qr R.tsv -o "$work/qr" || fail "qr -o"
for part in Q R; do
    [[ -f $work/qr_$part.csv ]] || { fail "qr_$part.csv missing"; continue; }
    awk -v want="# $part" '$0 == want {on = 1; next} /^$/ {on = 0} on' golden/qr.out >"$work/expected_$part"
    cmp -s "$work/expected_$part" "$work/qr_$part.csv" || fail "qr_$part.csv differs from stdout"
done
"$kestrim" lu spd.mtx -o "$work/lu.mtx" || fail "lu -o lu.mtx"
for part in L U P sign; do
    head -n 1 "$work/lu_$part.mtx" 2>/dev/null | grep -q '^%%MatrixMarket matrix array real general$' ||
        fail "lu_$part.mtx missing or not Matrix Market"
done

# --threads changes the speed, never the bits: a matrix large enough to be
# split among threads gives the same text at one and at three threads.
"$kestrim" random 160 160 --low -1 --high 1 --decimals 6 >"$work/big.csv" || fail "random 160 160"
for op in inverse eigen svd; do
    "$kestrim" "$op" "$work/big.csv" --hex --threads 1 >"$work/$op-1.out" || fail "$op --threads 1"
    "$kestrim" "$op" "$work/big.csv" --hex --threads 3 >"$work/$op-3.out" || fail "$op --threads 3"
    cmp -s "$work/$op-1.out" "$work/$op-3.out" || fail "$op: --threads 3 differs from --threads 1"
done

finish golden
