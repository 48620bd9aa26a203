#!/usr/bin/env bash
# Ctrl-C: SIGINT during a long `eigen` run cancels it through the progress
# event's Cancel flag; the tool prints "cancelled", exits 130 and leaves no
# output file (not even a temporary one). Checked on the general path and
# on the symmetric path, where the library itself still delivers partial
# results that the tool must discard. A second SIGINT ends the tool at once,
# even while it is blocked reading its input.
source "$(dirname "$0")/common.sh"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT

# Waits (up to $2 seconds) until file $1 contains text $3.
wait_for() {
    local deadline=$((SECONDS + $2))
    until grep -q "$3" "$1" 2>/dev/null; do
        ((SECONDS < deadline)) || return 1
        sleep 0.05
    done
}

# Waits (up to 60 seconds) until process $1 runs the tool and has installed
# its SIGINT handler (bit 2 of the caught-signals mask), so that a signal
# sent then cannot meet the default or ignored disposition of a starting
# program. Until it has run the tool, the process is a copy of this shell,
# whose own SIGINT handler shows in the same mask.
wait_for_handler() {
    local deadline=$((SECONDS + 60)) mask tool
    tool=$(readlink -f "$kestrim")
    while ((SECONDS < deadline)); do
        if [[ $(readlink -f "/proc/$1/exe" 2>/dev/null) == "$tool" ]]; then
            mask=$(awk '/^SigCgt:/ {print $2}' "/proc/$1/status" 2>/dev/null)
            [[ -n $mask ]] && (((16#$mask >> 1) & 1)) && return 0
        fi
        sleep 0.05
    done
    return 1
}

# Waits (up to 30 seconds) until no SIGINT is pending for process $1: a
# second signal sent before the first is taken would merge with it.
wait_taken() {
    local deadline=$((SECONDS + 30)) pending
    while ((SECONDS < deadline)); do
        pending=$(awk '/^(SigPnd|ShdPnd):/ {printf "%s ", $2}' "/proc/$1/status" 2>/dev/null) || return 0
        [[ -z $pending ]] && return 0
        local taken=1
        for mask in $pending; do (((16#$mask >> 1) & 1)) && taken=0; done
        ((taken)) && return 0
        sleep 0.05
    done
    return 1
}

n=1200
"$kestrim" random $n $n -o "$work/general.csv" || fail "random"
"$kestrim" transpose "$work/general.csv" -o "$work/t.csv" || fail "transpose"
"$kestrim" plus "$work/general.csv" "$work/t.csv" -o "$work/symmetric.csv" || fail "plus"
"$kestrim" info "$work/symmetric.csv" | grep -q '^symmetric: yes$' || fail "symmetric input is not symmetric"

for kind in general symmetric; do
    mkdir "$work/out-$kind"
    "$kestrim" eigen "$work/$kind.csv" -o "$work/out-$kind/eig" --progress always \
        >"$work/$kind.stdout" 2>"$work/$kind.stderr" &
    pid=$!
    pids+=("$pid")
    if ! wait_for "$work/$kind.stderr" 120 '^Eigen'; then
        fail "$kind: no progress line: $(cat "$work/$kind.stderr")"
        continue
    fi
    kill -INT "$pid"
    wait "$pid"
    status=$?
    [[ $status == 130 ]] || fail "$kind: exit $status, expected 130"
    [[ $(tail -n 1 "$work/$kind.stderr") == cancelled ]] || fail "$kind: last line on stderr is not \"cancelled\""
    [[ ! -s $work/$kind.stdout ]] || fail "$kind: wrote to stdout"
    leftovers=$(ls -A "$work/out-$kind")
    [[ -z $leftovers ]] || fail "$kind: left output files: $leftovers"
done

# Second Ctrl-C: the tool waits for input that never comes; the first
# SIGINT is only noted, the second ends it.
mkfifo "$work/fifo"
exec 3<>"$work/fifo"
"$kestrim" det - <"$work/fifo" >/dev/null 2>"$work/twice.stderr" &
pid=$!
pids+=("$pid")
wait_for_handler "$pid" || fail "no SIGINT handler installed"
kill -INT "$pid"
wait_taken "$pid" || fail "the first SIGINT was never taken"
sleep 0.5
kill -0 "$pid" 2>/dev/null || fail "first SIGINT ended a blocked read at once"
kill -INT "$pid"
deadline=$((SECONDS + 10))
while kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.05; done
if kill -0 "$pid" 2>/dev/null; then
    fail "second SIGINT did not end the tool"
else
    wait "$pid"
    status=$?
    [[ $status == 130 ]] || fail "second SIGINT: exit $status, expected 130"
    grep -q '^cancelled$' "$work/twice.stderr" || fail "second SIGINT: no \"cancelled\""
fi
exec 3>&-

finish cancel
