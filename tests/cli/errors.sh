#!/usr/bin/env bash
# Error cases of the kestrim tool: each must end with its documented exit
# status (2 usage, 3 file problem, 4 the library's own error, 5 runtime
# error), say why on stderr in one line, print nothing on stdout, and leave
# no output file behind.
source "$(dirname "$0")/common.sh"
cd "$data"

# exit status | text expected on stderr | arguments ("@OUT" is a fresh output path)
cases=(
    "2|A subcommand is required|"
    "2|subcommand|bogus A3.csv"
    "2|files|solve A3.csv"
    "2|precision|det A3.csv --precision 200"
    "2|excludes|det A3.csv --hex --precision 3"
    "2|threads|det A3.csv --threads 0"
    "2|format|det A3.csv --format xls"
    "2|rows|random 0 3"
    "2|random: 70000 x 70000 exceeds the limit of 134217728 elements|random 70000 70000"
    "3|missing.csv: cannot open: No such file or directory|det missing.csv"
    "3|data: is a directory|det ../data"
    "3|ragged.csv:3:4: row has 2 fields, expected 3|det ragged.csv -o @OUT"
    "3|text.csv:2:3: not a number: \"abc\"|det text.csv"
    "3|empty.csv:1:1: no numbers in the file|det empty.csv"
    "3|huge-header.mtx:2:1: row count must be 1 to 2147483647|det huge-header.mtx"
    "3|truncated.mtx:5:1: file ends after 2 of 3 entries|det truncated.mtx"
    "3|spd.mtx:3:1: declared size 3 x 3 exceeds the limit of 4 elements|det spd.mtx --max-elements 4"
    "3|cannot create|det A3.csv -o /nonexistent-dir/x.csv"
    "4|inverse: error 0x8004051A: KestrimMatrixLib.Matrix Error Number: 1306: Matrix can not be inverted.|inverse singular.csv -o @OUT"
    "4|error 0x8004051C: KestrimMatrixLib.Matrix Error Number: 1308: Determinant can be calculated only for a square matrix.|det R.tsv"
    "4|error 0x80040520|plus A3.csv R.tsv"
    "4|error 0x8004051F: KestrimMatrixLib.Matrix Error Number: 1311: Right hand side matrix is not sized correctly.|solve A3.csv R.tsv"
    "4|Not a square Matrix. System of equations can not be solved.|solve-gauss R.tsv b3.csv"
    "4|error 0x80040522|cholesky N.csv -o @OUT"
    "4|error 0x80040526: KestrimMatrixLib.Matrix Error Number: 1318: Number of rows must be greater or equal to number of columns.|qr wide.csv --hex -o @OUT"
    "5|plus: error 0x800A0006: Overflow|plus largest.csv largest.csv -o @OUT"
)
for entry in "${cases[@]}"; do
    IFS='|' read -r expected message argline <<<"$entry"
    read -r -a args <<<"${argline//@OUT/$work/out}"
    "$kestrim" "${args[@]}" >"$work/stdout" 2>"$work/stderr"
    status=$?
    [[ $status == "$expected" ]] || fail "kestrim $argline: exit $status, expected $expected"
    grep -qF -- "$message" "$work/stderr" || fail "kestrim $argline: stderr lacks \"$message\": $(cat "$work/stderr")"
    [[ ! -s $work/stdout ]] || fail "kestrim $argline: wrote to stdout"
    leftovers=$(ls -A "$work" | grep -v -e '^stdout$' -e '^stderr$')
    [[ -z $leftovers ]] || fail "kestrim $argline: left files: $leftovers"
    rm -f "$work"/out*
done

# Help and version succeed and go to stdout.
"$kestrim" --help >"$work/help" 2>&1 && grep -q 'Examples:' "$work/help" || fail "--help"
"$kestrim" --version >"$work/version" && grep -Eq '^kestrim [0-9]+\.[0-9]+\.[0-9]+' "$work/version" || fail "--version"

finish error
