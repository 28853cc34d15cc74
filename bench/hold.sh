#!/usr/bin/env bash
# The cost and reach of a hold (not a test: it reports, it never passes or fails).
#
#   bench/hold.sh [SECONDS]      SECONDS defaults to 60 (0 skips the cost,
#                                not the comparisons at the end);
#                                N=4000 extra processes; SHORT=200 short-lived
#                                programs (SHORT=0 skips them); POLL=20 seconds
#                                for each figure of the poll (POLL=0 skips it),
#                                TOTAL=17000 processes for its last figure;
#                                HOISTER=path measures that build instead;
#                                ALONE=1 takes the poll's figures in a PID
#                                namespace of their own; HOST=20 seconds for
#                                each figure of the poll on the host (HOST=0
#                                skips it), BESIDE=path a second build measured
#                                side by side with it; WINE=20 seconds for
#                                each figure of an idle hold under Wine (by
#                                default none; see wine_idle); TARGETS=0 skips
#                                the 64 targets against 1, RULES=0 the 16,000
#                                rules of a file against 1 (RULES=N: N rules);
#                                WINE_RULES=60 seconds for each figure of the
#                                rules under Wine (by default none)
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
# Then the poll, with one hold as nobody (no events, and it cannot read the
# script's processes, which run as root): `hoister -q -w3600 -a -pn
# nosuchprocessxyz`. Prints the share of 40 programs of nobody's, each
# started as sh -c 'sleep 0.3; exec PROGRAM' and living 0.6 s, that a hold
# `-w60 -a -pl hoister_bench_wrapped` made Low while they ran; then the hold's
# CPU time per second over POLL seconds among N idle processes, among 2,000
# more that start, and among TOTAL in all; and how many lines a verbose hold
# (root, no events) printed in 8 s among them, against one round's.
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
poll=${POLL:-20}
total=${TOTAL:-17000}

. "$root/bench/common.sh"
tick=$(getconf CLK_TCK)
cc -O2 -Wall -static -o "$build/hoister_bench_short" "$root/bench/short.c"
# The launcher under a name the hold does not match.
cp "$build/hoister_bench_short" "$build/short_launcher"
no_events=(unshare --net)

hold=
launcher=
load=
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
    stop_host_poll
    stop_short
    stop_idle
}
trap stop_all EXIT
trap 'exit 130' INT TERM

# User and system ticks of a process (the hold's by default).
cpu_ticks() { awk '{ sub(/.*\) /, ""); print $12 + $13 }' "/proc/${1:-$hold}/stat"; }
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

as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
# Sets cpu_ms to the hold's CPU time in ms per second over the given
# seconds. Neither the reading nor the wait starts a process, which the poll
# would have to look at.
hold_ticks() {
    local stat
    read -r stat <"/proc/$hold/stat"
    set -- ${stat##*) }
    ticks=$((${12} + ${13}))
}
cpu_during() {
    local ticks0 start
    hold_ticks
    ticks0=$ticks
    start=$EPOCHREALTIME
    read -rt "$1" -u "$never" || true
    hold_ticks
    cpu_ms=$(awk -v t=$((ticks - ticks0)) -v s="$start" -v n="$EPOCHREALTIME" -v tick="$tick" \
        'BEGIN { printf "%.2f", t * 1000 / tick / (n - s) }')
}
processes() { ls /proc | grep -c '^[0-9]'; }

if [ "$poll" -gt 0 ] && [ "${ALONE:-0}" = 1 ]; then
    # On a shared machine others start processes all the time, and each is
    # new to the poll: the figures are then taken in a PID namespace of their
    # own, an idle machine with only the script's processes.
    SHORT=0 ALONE=0 HOST=0 TARGETS=0 RULES=0 HOISTER=$hoister unshare -pf --mount-proc --kill-child "$0" 0
elif [ "$poll" -gt 0 ]; then
    wrapped=$build/hoister_bench_wrapped
    cp "$build/hoister_bench_short" "$wrapped"
    results=$build/wrapped.results
    : >"$results"
    : >"$build/short.ids"
    chmod 666 "$results" "$build/short.ids"
    "${as_nobody[@]}" "$hoister" -q -w60 -a -pl hoister_bench_wrapped >/dev/null &
    hold=$!
    sleep 1.5
    "${as_nobody[@]}" "$build/short_launcher" wrap "$wrapped" 40 600 "$results" \
        "$build/short.ids" &
    launcher=$!
    wait "$launcher" || true
    launcher=
    kill -TERM "$hold"
    wait "$hold" || true
    hold=
    stop_short
    caught=$(awk '$1 >= 0' "$results" | wc -l)

    start_idle "$n"
    "${as_nobody[@]}" "$hoister" -q -w3600 -a -pn nosuchprocessxyz >/dev/null &
    hold=$!
    sleep 2
    rm -f "$build/never"
    mkfifo "$build/never"
    exec {never}<>"$build/never"
    idle_count=$(processes)
    cpu_during "$poll"
    idle_ms=$cpu_ms
    hold_ticks
    ticks0=$ticks
    start_idle 2000
    sleep 2
    hold_ticks
    judged_ms=$(((ticks - ticks0) * 1000 / tick))
    cpu_during "$poll"
    new_ms=$cpu_ms
    start_idle $((total - $(processes)))
    sleep 2
    many=$(processes)
    cpu_during "$poll"
    many_ms=$cpu_ms
    kill -TERM "$hold"
    wait "$hold" || true
    hold=
    "${no_events[@]}" "$hoister" -v -w60 -a -pn nosuchprocessxyz >"$build/lines.txt" &
    hold=$!
    sleep 8
    kill -TERM "$hold"
    wait "$hold" || true
    hold=
    lines=$(grep -c 'priority unchanged' "$build/lines.txt" || true)
    rm -f "$build/never"
    stop_idle
    echo "The poll (a hold as nobody, no events), $poll s for each CPU figure:"
    echo "exec-wrapped programs made Low while they ran: $caught of 40"
    echo "idle among $idle_count processes: $idle_ms ms of CPU per second"
    echo "$idle_ms $new_ms" | awk '{ printf "among 2,000 more that it cannot read: %.2f ms per second (2 x idle + 5 = %.2f)\n", $2, 2 * $1 + 5 }'
    echo "  (their start, and the polls that found them, took $judged_ms ms in all)"
    echo "among $many processes: $many_ms ms per second"
    echo "a -v hold (root, no events) among them printed $lines lines in 8 s (one round: about $many)"
fi

# The poll on the host, where threads are created all the time (timers,
# thread pools): beside a load that creates 40 threads a second, among N idle
# processes, one hold as nobody per build (this one, and BESIDE's), side by
# side, since figures taken one after the other on a shared machine mislead.
# Prints each hold's CPU time per second (from /proc/PID/schedstat) idle,
# then among 2,000 more processes that it cannot read (from 2 s after their
# start), then how many of 100 programs of nobody's that live 0.5 s, started
# 0.1 s apart, each build's hold `-w60 -a -pl` made Low while they ran.
host_holds=()
stop_host_poll() {
    local id
    for id in "${host_holds[@]}" $load; do
        kill -KILL "$id" 2>/dev/null || true
        wait "$id" 2>/dev/null || true
    done
    host_holds=()
    load=
}
host_poll() {
    local per=$1 builds=("$hoister") i id before=() after=() idle_ms=() new_ms=() caught=()
    [ -n "${BESIDE:-}" ] && builds+=("$BESIDE")
    cc -O2 -pthread -x c -o "$build/thread_load" - <<'C'
#include <pthread.h>
#include <time.h>
static void* Nothing(void* arg) { return arg; }
int main(void) {
    const struct timespec pause = {0, 25000000};
    for (;;) {
        pthread_t thread;
        if (pthread_create(&thread, 0, Nothing, 0) == 0) pthread_join(thread, 0);
        nanosleep(&pause, 0);
    }
}
C
    "$build/thread_load" &
    load=$!
    start_idle "$n"
    rm -f "$build/never"
    mkfifo "$build/never"
    exec {never}<>"$build/never"
    for i in "${!builds[@]}"; do
        "${as_nobody[@]}" "${builds[$i]}" -q -w60 -a -pn nosuchprocessxyz >/dev/null &
        host_holds+=($!)
    done
    sleep 2
    local count=$(processes)
    # ms of CPU per second of each hold over PER seconds, into the named array.
    cpu_each() {
        local -n into=$1
        before=() after=()
        for id in "${host_holds[@]}"; do before+=("$(cut -d' ' -f1 "/proc/$id/schedstat")"); done
        local start=$EPOCHREALTIME
        read -rt "$per" -u "$never" || true
        local end=$EPOCHREALTIME
        for id in "${host_holds[@]}"; do after+=("$(cut -d' ' -f1 "/proc/$id/schedstat")"); done
        into=()
        for i in "${!host_holds[@]}"; do
            into+=("$(awk -v ns=$((after[i] - before[i])) -v s="$start" -v e="$end" \
                'BEGIN { printf "%.2f", ns / 1e6 / (e - s) }')")
        done
    }
    cpu_each idle_ms
    start_idle 2000
    sleep 2
    cpu_each new_ms
    for id in "${host_holds[@]}"; do kill -TERM "$id"; wait "$id" || true; done
    host_holds=()
    for i in "${!builds[@]}"; do
        cp "$build/hoister_bench_short" "$build/hoister_bench_host$i"
        : >"$build/host$i.results"
        chmod 666 "$build/host$i.results"
        "${as_nobody[@]}" "${builds[$i]}" -q -w60 -a -pl "hoister_bench_host$i" >/dev/null &
        host_holds+=($!)
    done
    sleep 2
    : >"$build/short.ids"
    chmod 666 "$build/short.ids"
    local launchers=()
    for i in "${!builds[@]}"; do
        "${as_nobody[@]}" "$build/short_launcher" launch "$build/hoister_bench_host$i" 100 500 \
            "$build/host$i.results" "$build/short.ids" &
        launchers+=($!)
    done
    wait "${launchers[@]}" || true
    stop_short
    for i in "${!builds[@]}"; do caught+=("$(awk '$1 >= 0' "$build/host$i.results" | wc -l)"); done
    stop_host_poll
    stop_idle
    rm -f "$build/never"
    echo "The poll on the host, beside 40 new threads a second (holds as nobody, -w60, $per s each):"
    for i in "${!builds[@]}"; do
        awk -v b="${builds[$i]}" -v idle="${idle_ms[$i]}" -v new="${new_ms[$i]}" -v n="$count" \
            -v caught="${caught[$i]}" 'BEGIN {
            printf "%s:\n  idle among %d processes: %.2f ms of CPU per second\n", b, n, idle
            printf "  among 2,000 more that it cannot read: %.2f ms per second (2 x idle + 5 = %.2f)\n",
                new, 2 * idle + 5
            printf "  programs of nobody'"'"'s living 0.5 s made Low while they ran: %d of 100\n", caught
        }'
    done
}
[ "${HOST:-20}" = 0 ] || host_poll "${HOST:-20}"

# An idle hold under Wine (WINE=SECONDS; needs the win64 and win32 presets built and
# the prefixes of the Wine tests, which ctest's wine.setup and i686.setup make):
# `Hoister.exe -q -w60 -a -pn nosuchprocessxyz` in the x64 prefix, the 32-bit
# NT prefix and the 95/98 one, for SECONDS each after 10 s of start-up.
# Windows tells of no newest ID, so every poll takes the whole list. Prints
# the CPU time per second of the hold and of the prefix's wineserver, which
# answers each of the hold's calls about other processes.
in_prefix() { { tr '\0' '\n' <"/proc/$1/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$2"; }
wine_idle() {
    local per=$1 state=$root/build/native/tests/wine kind exe wine pfx id server count
    local ticks0 ticks1 server0 server1
    echo "An idle -w60 hold under Wine, $per s each:"
    for kind in x64 nt 98; do
        exe=$root/build/win32/Hoister.exe wine=/usr/lib/wine/wine pfx=$state/prefix$kind
        [ $kind = x64 ] && exe=$root/build/win64/Hoister.exe wine=/usr/lib/wine/wine64
        [ -f "$pfx/.booted" ] || { echo "$kind: no prefix at $pfx"; continue; }
        env WINEPREFIX="$pfx" WINEDEBUG=-all "$wine" "$exe" -q -w60 -a -pn nosuchprocessxyz \
            >/dev/null &
        hold=$!
        sleep 10
        server= count=0
        for id in $(ls /proc | grep '^[0-9]'); do
            in_prefix "$id" "$pfx" || continue
            case $(readlink "/proc/$id/exe") in
            */wineserver*) server=$id ;;
            *) count=$((count + 1)) ;;
            esac
        done
        ticks0=$(cpu_ticks)
        server0=$(cpu_ticks "$server")
        sleep "$per"
        ticks1=$(cpu_ticks)
        server1=$(cpu_ticks "$server")
        kill -TERM "$hold"
        wait "$hold" || true
        hold=
        env WINEPREFIX="$pfx" /usr/lib/wine/wineserver -k 2>/dev/null || true
        awk -v k=$kind -v n=$count -v h=$((ticks1 - ticks0)) -v s=$((server1 - server0)) \
            -v per="$per" -v tick="$tick" 'BEGIN {
            printf "%s, %d Wine processes: the hold %.1f ms of CPU per second, the wineserver %.1f\n",
                k, n, h * 1000 / tick / per, s * 1000 / tick / per
        }'
    done
}
[ "${WINE:-0}" = 0 ] || wine_idle "$WINE"

# The rules under Wine (WINE_RULES=SECONDS; the win32 preset built and the
# 32-bit NT prefix of the Wine tests made, as for WINE): an idle
# `Hoister.exe -q -w60 -a @FILE` hold of the i686 product on one rule, then
# on RULES=16000 generated rules (bench/make_rules.sh), for SECONDS each
# after 10 s of start-up. Prints the CPU time per second of the hold and of
# the prefix's wineserver, and the hold's resident memory.
wine_rules() {
    local per=$1 count=${RULES:-16000} pfx=$root/build/native/tests/wine/prefixnt
    local exe=$root/build/win32/Hoister.exe dir=$build/wine-rules file id server
    local ticks0 ticks1 server0 server1
    [ "$count" != 0 ] || count=16000
    [ -f "$pfx/.booted" ] || { echo "WINE_RULES: no prefix at $pfx"; return 0; }
    mkdir -p "$dir"
    "$root/bench/make_rules.sh" "$count" >"$dir/many"
    head -n 1 "$dir/many" >"$dir/one"
    echo "An idle -w60 hold of the i686 product under Wine on a rules file, $per s each:"
    for file in one many; do
        env WINEPREFIX="$pfx" WINEDEBUG=-all /usr/lib/wine/wine "$exe" -q -w60 -a \
            "@Z:${dir//\//\\}\\$file" </dev/null >/dev/null 2>&1 &
        hold=$!
        sleep 10
        server=
        for id in /proc/[0-9]*; do
            id=${id#/proc/}
            in_prefix "$id" "$pfx" && [[ $(readlink "/proc/$id/exe") == */wineserver* ]] && server=$id
        done
        ticks0=$(cpu_ticks)
        server0=$(cpu_ticks "$server")
        sleep "$per"
        ticks1=$(cpu_ticks)
        server1=$(cpu_ticks "$server")
        awk -v n="$(wc -l <"$dir/$file")" -v h=$((ticks1 - ticks0)) \
            -v s=$((server1 - server0)) -v rss="$(rss)" -v per="$per" -v tick="$tick" 'BEGIN {
            printf "%d rule(s): the hold %.2f ms of CPU per second, the wineserver %.2f; VmRSS %d KiB\n",
                n, h * 1000 / tick / per, s * 1000 / tick / per, rss
        }'
        kill -TERM "$hold"
        wait "$hold" || true
        hold=
        env WINEPREFIX="$pfx" /usr/lib/wine/wineserver -k 2>/dev/null || true
    done
    rm -rf "$dir"
}
[ "${WINE_RULES:-0}" = 0 ] || wine_rules "$WINE_RULES"

[ "$seconds" -gt 0 ] || [ "${TARGETS:-64}" != 0 ] || [ "${RULES:-16000}" != 0 ] || exit 0
start_idle "$n"
echo "== $(ls /proc | grep -c '^[0-9]') processes in all" >&2

if [ "$seconds" -gt 0 ]; then
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
fi

# Holds that run side by side, as root, so that they judge the same process
# starts and walk the same processes; CPU time is read from
# /proc/PID/schedstat. EXECS=3000 programs are started for the events (each
# a fork and an exec, counted in /proc/stat).
holds=()
execs=${EXECS:-3000}
# Starts a static program that exits at once, N times, one after another.
cc -O2 -static -x c -o "$build/exec_loop" - <<'C'
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
int main(int argc, char** argv) {
    for (int i = argc > 1 ? atoi(argv[1]) : 0; i > 0; --i) {
        pid_t id = vfork();
        if (id == 0) {
            execl(argv[0], argv[0], (char*)0);
            _exit(127);
        }
        waitpid(id, 0, 0);
    }
    return 0;
}
C
# ns of CPU that each hold took while what follows ran.
side_by_side() {
    local before=() after=() h i
    for h in "${holds[@]}"; do before+=("$(awk '{ print $1 }' "/proc/$h/schedstat")"); done
    "$@"
    for h in "${holds[@]}"; do after+=("$(awk '{ print $1 }' "/proc/$h/schedstat")"); done
    for i in "${!holds[@]}"; do echo -n "$((after[i] - before[i])) "; done
}
# start_holds SECONDS PREFIX -- TARGETS...: one hold per TARGETS word (split
# at blanks), past its first round.
start_holds() {
    local pause=$1 prefix=() targets
    shift
    while [ "$1" != -- ]; do prefix+=("$1"); shift; done
    shift
    holds=()
    for targets in "$@"; do
        # shellcheck disable=SC2086
        "${prefix[@]}" "$hoister" -q -w"$pause" -a -pn $targets >/dev/null &
        holds+=($!)
    done
    sleep 3
}
stop_holds() {
    [ ${#holds[@]} -gt 0 ] || return 0
    kill -TERM "${holds[@]}" 2>/dev/null || true
    wait "${holds[@]}" || true
    holds=()
}
trap 'stop_holds; stop_all' EXIT
forks() { awk '/^processes/ { print $2 }' /proc/stat; }

# Several targets in one hold: 64 against 1, none of them matching. The 64
# are 40 words, 8 files, 8 folders and 8 paths that name nothing; the 1 is a
# word, or a file (whose test reads each process's file identity, which the
# 64 share). TARGETS=0 skips this.
several_targets() {
    local dir=$build/targets many=() i
    mkdir -p "$dir"
    for i in $(seq -w 1 40); do many+=("nosuchprocess$i"); done
    for i in $(seq 1 8); do
        : >"$dir/file$i" && mkdir -p "$dir/folder$i"
        many+=("$dir/file$i" "$dir/folder$i/" "$dir/missing$i/server")
    done
    local three=(nosuchprocessxyz "$dir/file1" "${many[*]}")
    echo "== several targets, as root, $(ls /proc | grep -c '^[0-9]') processes" >&2
    local f0 f1 used
    start_holds 3600 -- "${three[@]}"
    f0=$(forks)
    used=$(side_by_side "$build/exec_loop" "$execs")
    f1=$(forks)
    stop_holds
    echo "$used $((f1 - f0))" | awk '{
        printf "per process start, root, events (%d starts): 1 word %.1f us, 1 file %.1f us,", $4,
            $1 / $4 / 1e3, $2 / $4 / 1e3
        printf " 64 targets %.1f us (x%.2f of the word, x%.2f of the file)\n", $3 / $4 / 1e3,
            $3 / $1, $3 / $2
    }'
    start_holds 1 unshare --net -- "${three[@]}"
    used=$(side_by_side sleep 20)
    stop_holds
    echo "$used" | awk '{
        printf "per round, no events: 1 word %.2f ms, 1 file %.2f ms, 64 targets %.2f ms", $1 / 20e6,
            $2 / 20e6, $3 / 20e6
        printf " (x%.2f of the word, x%.2f of the file)\n", $3 / $1, $3 / $2
    }'
    rm -rf "$dir"
}
[ "${TARGETS:-64}" = 0 ] || several_targets

# A rules file of RULES=16000 generated rules (bench/make_rules.sh: names,
# parts, a few paths, none matching) against a file of one of them. RULES=0
# skips this. The load is what 20 one-shot runs on the big file take beyond
# 20 on the small one, each run in a PID namespace of its own, so that its
# round has next to nothing to walk.
rules_comparison() {
    local count=${RULES:-16000} dir=$build/rules runs=20 used f0 f1 rss=() h
    mkdir -p "$dir"
    "$root/bench/make_rules.sh" "$count" "$build/exec_loop" "$build/idle" >"$dir/many"
    head -n 1 "$dir/many" >"$dir/one"
    # A root hold takes a rules file only from root and out of others' reach.
    chmod 644 "$dir/one" "$dir/many"
    echo "== rules: 1 against $count, as root, $(processes) processes" >&2
    one_shots() {
        local _
        for _ in $(seq $runs); do
            unshare -pf --mount-proc --kill-child "$hoister" -q -a "@$1" >/dev/null || true
        done
        times
    }
    cpu_of_runs() {
        one_shots "$1" | awk -v runs=$runs 'NR == 2 {
            split($1, u, /[ms]/); split($2, s, /[ms]/)
            printf "%.2f", (u[1] * 60 + u[2] + s[1] * 60 + s[2]) * 1000 / runs }'
    }
    local run_one run_many
    run_one=$(cpu_of_runs "$dir/one")
    run_many=$(cpu_of_runs "$dir/many")
    start_holds 3600 -- "@$dir/one" "@$dir/many"
    f0=$(forks)
    used=$(side_by_side "$build/exec_loop" "$execs")
    f1=$(forks)
    for h in "${holds[@]}"; do rss+=("$(awk '/^VmRSS/ { print $2 }' "/proc/$h/status")"); done
    stop_holds
    echo "$used $((f1 - f0)) $count" | awk '{
        printf "per process start, root, events (%d starts): 1 rule %.1f us, %d rules %.1f us (x%.2f)\n",
            $3, $1 / $3 / 1e3, $4, $2 / $3 / 1e3, $2 / $1
    }'
    start_holds 1 unshare --net -- "@$dir/one" "@$dir/many"
    used=$(side_by_side sleep 20)
    stop_holds
    echo "$used $count" | awk '{
        printf "per round, no events: 1 rule %.2f ms, %d rules %.2f ms (x%.2f)\n", $1 / 20e6, $3,
            $2 / 20e6, $2 / $1
    }'
    echo "${rss[*]} $run_one $run_many $count" | awk '{
        printf "VmRSS of the holds: 1 rule %d KiB, %d rules %d KiB (+%d KiB)\n", $1, $5, $2, $2 - $1
        printf "one-shot run, alone: 1 rule %.2f ms, %d rules %.2f ms: the load takes about %.2f ms\n", $3,
            $5, $4, $4 - $3
    }'
    rm -rf "$dir"
}
[ "${RULES:-16000}" = 0 ] || rules_comparison

