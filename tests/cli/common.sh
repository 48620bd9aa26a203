# Shared by the command-line test scripts: the tool ($1), the data folder
# ($2), a scratch folder removed on exit, a failure counter, and the verdict.
set -uo pipefail
kestrim=$1
data=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# Ends the script: exit status 1 when any check of kind $1 failed.
finish() {
    if ((failures)); then
        echo "$failures $1 check(s) failed"
        exit 1
    fi
    echo "$1 checks passed"
}
