#!/usr/bin/env bash
# The cost and reach of a hold (not a test: it reports, it never passes or fails).
#
#   bench/hold.sh [SECONDS]      SECONDS defaults to 60 (0 skips the cost);
#                                N=4000 extra processes; SHORT=200 short-lived
#                                programs (SHORT=0 skips them)
#
# Builds a release copy of the program under build/bench. First, the reach:
# SHORT programs that each live 0.5 s start 0.1 s apart under
# `hoister -q -w5 -a -pl hoister_bench_short`, once with process-start events
# (as root) and once without them (the same hold in a network namespace of its
# own, where the kernel's process connector does not answer); each program
# watches its own nice value and reports when it became Low. Prints how many
# were made Low while they ran, the time from their start (the clock just
# before their exec) to the class (median, 99th percentile), the hold's CPU
# time and resident memory.
#
# Then the cost: starts N idle processes of its own, and runs
# `hoister -q -w60 -a -pn nosuchprocessxyz` as nobody (no events: between its
# rounds it looks for new process IDs four times a second) for SECONDS of real
# time, then the same with -w1 (a round every second besides the polls).
# Reports the CPU time per second of each (utime + stime from
# /proc/PID/stat), what a round adds (the difference), against the CPU time
# of one `hoister -a -pn nosuchprocessxyz` run, and the resident memory
# sampled every 5 seconds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench
seconds=${1:-60}
n=${N:-4000}
short=${SHORT:-200}

. "$root/bench/common.sh"
tick=$(getconf CLK_TCK)
cc -O2 -Wall -static -o "$build/hoister_bench_short" "$root/bench/short.c"
# The launcher under a name the hold does not match.
cp "$build/hoister_bench_short" "$build/short_launcher"
no_events=(unshare --net)

hold=
launcher=
# The short programs end by themselves; any still running is ended by its ID.
stop_short() {
    [ -f "$build/short.ids" ] && { xargs -r kill -KILL <"$build/short.ids" 2>/dev/null || true; }
    rm -f "$build/short.ids"
    if [ -n "$launcher" ]; then
        kill -KILL "$launcher" 2>/dev/null || true
        wait "$launcher" 2>/dev/null || true
        launcher=
    fi
}
stop_all() {
    [ -n "$hold" ] && { kill -KILL "$hold" 2>/dev/null || true; wait "$hold" 2>/dev/null || true; }
    stop_short
    stop_idle
}
trap stop_all EXIT
trap 'exit 130' INT TERM

cpu_ticks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/$hold/stat"; }
rss() { awk '/^VmRSS/ { print $2 }' "/proc/$hold/status"; }

# One run of the short-lived case: label, then the words that start the hold.
short_case() {
    local label=$1 results=$build/short.results ticks0 ticks1 rss0 rss1
    shift
    : >"$results"
    "$@" "$hoister" -q -w5 -a -pl hoister_bench_short >/dev/null &
    hold=$!
    sleep 1.5 # past the subscription (or its one second without an answer) and the first round
    ticks0=$(cpu_ticks)
    rss0=$(rss)
    rm -f "$build/short.ids"
    "$build/short_launcher" launch "$build/hoister_bench_short" "$short" 500 "$results" \
        "$build/short.ids" &
    launcher=$!
    wait "$launcher" || true
    launcher=
    ticks1=$(cpu_ticks)
    rss1=$(rss)
    kill -TERM "$hold"
    wait "$hold" || true
    hold=
    stop_short
    sort -n "$results" | awk -v label="$label" -v total="$short" \
        -v cpu=$(((ticks1 - ticks0) * 1000 / tick)) -v rss="$rss0 -> $rss1" \
        -v main="$(cut -d' ' -f2 "$results" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] / 1000 }')" '
        $1 >= 0 { low[++made] = $1 }
        END {
            median = made ? low[int((made + 1) / 2)] / 1000 : 0
            p99 = made ? low[int(made * 0.99 + 0.99)] / 1000 : 0
            printf "%-16s made Low %3d of %d; start to class: median %7.2f ms, p99 %7.2f ms", \
                label, made, total, median, p99
            printf " (start to main: median %.2f ms); hold CPU %d ms, VmRSS %s KiB\n", main, cpu, rss
        }'
}

if [ "$short" -gt 0 ]; then
    echo "$short programs living 0.5 s, started 0.1 s apart, under -q -w5 -a -pl:"
    short_case "with events:"
    short_case "without events:" "${no_events[@]}"
fi

[ "$seconds" -gt 0 ] || exit 0
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

# The CPU time per second of a hold as nobody with these words, among the
# idle processes, then its resident memory every 5 s and at its peak:
# "ms;samples;hwm".
per_second() {
    local ticks0 ticks1 end samples=() hwm
    setpriv --reuid=65534 --regid=65534 --clear-groups "$hoister" "$@" >/dev/null &
    hold=$!
    sleep 2 # past start-up and the first round
    ticks0=$(cpu_ticks)
    end=$((SECONDS + seconds))
    while [ $SECONDS -lt $end ]; do
        samples+=("$(rss)")
        sleep 5
    done
    ticks1=$(cpu_ticks)
    hwm=$(awk '/^VmHWM/ { print $2 }' "/proc/$hold/status")
    kill -TERM "$hold"
    wait "$hold" || true
    hold=
    echo "$(((ticks1 - ticks0) * 1000 / tick)) $seconds" | awk -v s="${samples[*]}" -v h="$hwm" \
        '{ printf "%.2f;%s;%s\n", $1 / $2, s, h }'
}
IFS=';' read -r polled _ _ < <(per_second -q -w60 -a -pn nosuchprocessxyz)
IFS=';' read -r rounds samples hwm < <(per_second -q -w1 -a -pn nosuchprocessxyz)
awk -v polled="$polled" -v rounds="$rounds" -v single="$single_ms" -v n="$n" -v seconds="$seconds" \
    -v hwm="$hwm" -v samples="$samples" 'BEGIN {
    printf "N = %d extra processes, %d s each, as nobody (no events)\n", n, seconds
    printf "polls alone (-w60): %.2f ms of CPU per second (%.2f%% of a core)\n", polled, polled / 10
    printf "polls and a round a second (-w1): %.2f ms per second; a round adds %.2f ms\n", rounds,
        rounds - polled
    printf "one by-name run: %.2f ms; round / run %.2f\n", single, (rounds - polled) / single
    printf "VmRSS every 5 s (KiB, -w1): %s; VmHWM at the end: %d KiB\n", samples, hwm
}'

# Several targets in one hold: 64 against 1, as root, none of them matching.
# The 64 are 40 words, 8 files, 8 folders and 8 paths that name nothing; the
# 1 is a word. CPU time is read from /proc/PID/schedstat (nanoseconds).
# TARGETS=0 skips this; EXECS=3000 programs are started for the events.
several_targets() {
    local dir=$build/targets execs=${EXECS:-3000} one=(nosuchprocessxyz) many=() i
    mkdir -p "$dir"
    for i in $(seq -w 1 40); do many+=("nosuchprocess$i"); done
    for i in $(seq -w 1 8); do
        : >"$dir/file$i" && mkdir -p "$dir/folder$i"
        many+=("$dir/file$i" "$dir/folder$i/" "$dir/missing$i/server")
    done
    cpu_ns() { awk '{ print $1 }' "/proc/$hold/schedstat"; }
    # ns of CPU per exec of /bin/true under a hold with events on these
    # targets, less what the hold spent on the machine's other starts: its
    # rate over the 3 s before, for as long as the execs took.
    per_exec() {
        local ns0 ns1 ns2 t1 t2
        "$hoister" -q -w3600 -a -pn "$@" >/dev/null &
        hold=$!
        sleep 2
        ns0=$(cpu_ns)
        sleep 3
        ns1=$(cpu_ns) t1=$(date +%s%N)
        for _ in $(seq "$execs"); do /bin/true; done
        ns2=$(cpu_ns) t2=$(date +%s%N)
        kill -TERM "$hold"; wait "$hold" || true; hold=
        echo $(((ns2 - ns1 - (ns1 - ns0) * ((t2 - t1) / 1000000) / 3000) / execs))
    }
    # ns of CPU per round of a -w1 hold without events (and its polls).
    per_round() {
        local ns0 ns1
        unshare --net "$hoister" -q -w1 -a -pn "$@" >/dev/null &
        hold=$!
        sleep 2.5
        ns0=$(cpu_ns)
        sleep 10
        ns1=$(cpu_ns)
        kill -TERM "$hold"; wait "$hold" || true; hold=
        echo $(((ns1 - ns0) / 10))
    }
    echo "== several targets, as root, $(ls /proc | grep -c '^[0-9]') processes" >&2
    local e1 e64 r1 r64
    for round in 1 2 3; do
        e1=$(per_exec "${one[@]}") e64=$(per_exec "${many[@]}")
        r1=$(per_round "${one[@]}") r64=$(per_round "${many[@]}")
        awk -v e1="$e1" -v e64="$e64" -v r1="$r1" -v r64="$r64" -v round=$round 'BEGIN {
            printf "run %d: per exec event: 1 target %.1f us, 64 targets %.1f us (x%.2f)", round,
                e1 / 1000, e64 / 1000, e64 / e1
            printf "; per round: 1 target %.2f ms, 64 targets %.2f ms (x%.2f)\n", r1 / 1e6,
                r64 / 1e6, r64 / r1
        }'
    done
    rm -rf "$dir"
}
[ "${TARGETS:-64}" = 0 ] || several_targets
