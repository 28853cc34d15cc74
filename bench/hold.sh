#!/usr/bin/env bash
# The cost of a hold (not a test: it reports, it never passes or fails).
#
#   bench/hold.sh [SECONDS]      SECONDS defaults to 60; N=4000 extra processes
#
# Builds a release copy of the program under build/bench, starts N idle
# processes of its own, and runs `hoister -q -w1 -a -pn nosuchprocessxyz` for
# SECONDS of real time. Reports its CPU time per round (utime + stime from
# /proc/PID/stat; a round is one sleep between walks, counted by the voluntary
# context switches) against the CPU time of one `hoister -a -pn
# nosuchprocessxyz` run, and its resident memory sampled every 5 seconds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench
seconds=${1:-60}
n=${N:-4000}

. "$root/bench/common.sh"
tick=$(getconf CLK_TCK)

hold=
stop_all() {
    [ -n "$hold" ] && { kill -KILL "$hold" 2>/dev/null || true; wait "$hold" 2>/dev/null || true; }
    stop_idle
}
trap stop_all EXIT
trap 'exit 130' INT TERM

start_idle "$n"
echo "== $(ls /proc | grep -c '^[0-9]') processes in all" >&2

# One by-name run: the CPU time of 20 runs, from the shell's children times.
runs=20
single_ms=$( (
    for _ in $(seq $runs); do "$hoister" -a -pn nosuchprocessxyz >/dev/null || true; done
    times
) | awk -v runs=$runs 'NR == 2 {
        split($1, u, /[ms]/); split($2, s, /[ms]/)
        printf "%.2f", (u[1] * 60 + u[2] + s[1] * 60 + s[2]) * 1000 / runs }')

# cpu ticks and voluntary switches of the hold, as "ticks switches".
sample() {
    local ticks switches
    ticks=$(awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$hold/stat")
    switches=$(awk '/^voluntary_ctxt_switches/ { print $2 }' "/proc/$hold/status")
    echo "$ticks $switches"
}
rss() { awk '/^VmRSS/ { print $2 }' "/proc/$hold/status"; }

"$hoister" -q -w1 -a -pn nosuchprocessxyz >/dev/null &
hold=$!
sleep 2  # past start-up and the first walks
read -r ticks0 switches0 < <(sample)
rss_samples=()
end=$((SECONDS + seconds))
while [ $SECONDS -lt $end ]; do
    rss_samples+=("$(rss)")
    sleep 5
done
read -r ticks1 switches1 < <(sample)
hwm=$(awk '/^VmHWM/ { print $2 }' "/proc/$hold/status")
rss_samples+=("$(rss)")
kill -TERM "$hold"
wait "$hold" || true
hold=

rounds=$((switches1 - switches0))
awk -v ticks=$((ticks1 - ticks0)) -v tick="$tick" -v rounds=$rounds -v single="$single_ms" \
    -v n="$n" -v seconds="$seconds" -v hwm="$hwm" -v samples="${rss_samples[*]}" 'BEGIN {
    per = ticks * 1000 / tick / rounds
    printf "N = %d extra processes, %d s of -w1: %d rounds\n", n, seconds, rounds
    printf "CPU per round: %.2f ms; one by-name run: %.2f ms; ratio %.2f\n", per, single, per / single
    printf "VmRSS every 5 s (KiB): %s; VmHWM at the end: %d KiB\n", samples, hwm
}'
