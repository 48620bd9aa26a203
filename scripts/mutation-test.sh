#!/usr/bin/env bash
# Plants plausible single-point faults one at a time and reports how many
# the test suite catches, per source folder.
#
#   scripts/mutation-test.sh [LIST] [PATTERN]
#
# LIST (default scripts/mutations.txt) holds one mutation per line:
#   file <TAB> original text <TAB> mutated text
# The original text must occur exactly once in the file. Blank lines and
# lines starting with "#" are skipped. PATTERN, when given, keeps only the
# lines that contain it (for example "linsys/").
#
# Each mutation is applied to a scratch copy of the working tree (the tree
# itself is never changed), the native test programs are rebuilt and run;
# a failing build does not count, a failing or hanging test run kills the
# mutation. Not part of CI: it is CPU heavy. MUTATION_JOBS (default 2)
# sets the build's parallelism, MUTATION_TIMEOUT (default 300) the seconds
# one test run may take, MUTATION_SCRATCH the scratch folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
list="${1:-scripts/mutations.txt}"
pattern="${2:-}"
jobs="${MUTATION_JOBS:-2}"
timeout_s="${MUTATION_TIMEOUT:-300}"
scratch="${MUTATION_SCRATCH:-${TMPDIR:-/tmp}/kestrim-mutation-$(id -u)}"
tests=(test_runtime test_core test_ops test_linsys test_decomp test_eigen test_fpenv test_oom)

echo "== scratch copy in $scratch"
# Copied files get the current time (-m), so the build never keeps an
# object older than a changed source.
mkdir -p "$scratch/src"
git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - | tar -xmf - -C "$scratch/src"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR="$scratch"
cmake -S "$scratch/src" -B "$scratch/build" -DCMAKE_BUILD_TYPE=Release -DKESTRIM_BENCHMARKS=OFF \
    "${launcher[@]}" >/dev/null

build() { cmake --build "$scratch/build" -j"$jobs" --target "${tests[@]}" >"$scratch/build.log" 2>&1; }
run_tests() {
    local t
    for t in "${tests[@]}"; do
        timeout "$timeout_s" "$scratch/build/$t" --gtest_brief=1 >"$scratch/test.log" 2>&1 || return 1
    done
}

echo "== baseline"
build || { tail -20 "$scratch/build.log"; echo "baseline does not build" >&2; exit 2; }
run_tests || { tail -20 "$scratch/test.log"; echo "baseline tests fail" >&2; exit 2; }

# Applies (or with "undo", reverts) one mutation; prints "ok" or a reason.
apply() {
    /usr/bin/python3 - "$@" <<'EOF'
import sys
mode, path, original, mutated = sys.argv[1:5]
def unescape(s):  # "\\n" is a line break, "\\t" a tab, "\\\\" a backslash
    out, i = [], 0
    while i < len(s):
        if s[i] == "\\" and i + 1 < len(s):
            out.append({"n": "\n", "t": "\t"}.get(s[i + 1], s[i + 1]))
            i += 2
        else:
            out.append(s[i])
            i += 1
    return "".join(out)
original, mutated = unescape(original), unescape(mutated)
text = open(path, encoding="utf-8").read()
if mode == "undo":
    original, mutated = mutated, original
count = text.count(original)
if count != 1:
    print(f"original text found {count} times")
    sys.exit(0)
open(path, "w", encoding="utf-8").write(text.replace(original, mutated))
print("ok")
EOF
}

declare -A total killed
results="$scratch/results.txt"
: >"$results"
while IFS=$'\t' read -r file original mutated || [[ -n "$file" ]]; do
    [[ -z "$file" || "$file" == \#* ]] && continue
    [[ -n "$pattern" && "$file$original$mutated" != *"$pattern"* ]] && continue
    folder="${file%/*}"
    [[ "$folder" == host/* ]] || folder="${file%%/*}"
    target="$scratch/src/$file"
    status="$(apply do "$target" "$original" "$mutated")"
    if [[ "$status" != ok ]]; then
        echo "SKIPPED  $file: $original ($status)" | tee -a "$results"
        continue
    fi
    if ! build; then
        verdict="STILLBORN"
    elif run_tests; then
        verdict="SURVIVED"
    else
        verdict="KILLED"
    fi
    apply undo "$target" "$original" "$mutated" >/dev/null
    echo "$verdict $file: $original -> $mutated" | tee -a "$results"
    [[ "$verdict" == STILLBORN ]] && continue
    total[$folder]=$((${total[$folder]:-0} + 1))
    [[ "$verdict" == KILLED ]] && killed[$folder]=$((${killed[$folder]:-0} + 1))
done <"$list"
build >/dev/null || true  # leave the scratch build matching the tree

echo "== kill rate per folder"
all=0 dead=0
for folder in $(printf '%s\n' "${!total[@]}" | sort); do
    k=${killed[$folder]:-0} t=${total[$folder]}
    all=$((all + t)) dead=$((dead + k))
    printf '%-14s %3d / %3d  %3d %%\n' "$folder" "$k" "$t" $((100 * k / t))
done
((all > 0)) && printf '%-14s %3d / %3d  %3d %%\n' total "$dead" "$all" $((100 * dead / all))
echo "(details: $results)"
