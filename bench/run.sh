#!/usr/bin/env bash
# The benchmark (not a test: it reports, it never passes or fails on time).
#
#   bench/run.sh [ROUNDS]        ROUNDS defaults to 15; COUNTS="0 1000 4000"
#
# Builds a release copy of the program and the reference programs under
# build/bench, starts N idle processes of its own for each N in COUNTS, and
# times every command side by side in alternating rounds; prints medians,
# ratios, per-process cost and peak memory as Markdown tables.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/bench
rounds=${1:-15}
counts=${COUNTS:-0 1000 4000}

. "$root/bench/common.sh"
cc -O2 -Wall -o "$build/timer" "$root/bench/timer.c"
cc -O2 -Wall -o "$build/floor" "$root/bench/floor.c"
"$hoister" -h >"$build/usage.txt" || true
awk '{ gsub(/\\/, "\\\\"); gsub(/"/, "\\\""); gsub(/\t/, "\\t"); print "    \"" $0 "\\n\"" }
     BEGIN { print "static const char kUsageText[] =" } END { print "    ;" }' \
    "$build/usage.txt" >"$build/usage_text.h"
cc -O2 -Wall -static -I"$build" -o "$build/usage_static" "$root/bench/usage_static.c"

trap stop_idle EXIT
trap 'exit 130' INT TERM

null=/dev/null
results=$build/results.txt
: >"$results"
for n in $counts; do
    [ "$n" -gt 0 ] && start_idle "$n"
    startup=()
    [ "$n" -eq 0 ] && startup=(:: usage "$null" "$hoister" -h :: usage_static "$null" "$build/usage_static")
    echo "== N=$n: $(ls /proc | grep -c '^[0-9]') processes in all, $rounds rounds" >&2
    "$build/timer" "$rounds" \
        floor "$null" "$build/floor" \
        :: list "$null" "$hoister" -l \
        :: list_quiet "$null" "$hoister" -l -q \
        :: by_name "$null" "$hoister" -pn -a nosuchprocessxyz \
        :: ps "$null" ps -e -o pid,ni,args \
        :: pgrep "$null" pgrep -f nosuchprocessxyz \
        "${startup[@]}" | sed "s/^/$n /" >>"$results"
    stop_idle
done

# results: N label median_us min_us maxrss_kib
awk -v counts="$counts" '
{ med[$1, $2] = $3; rss[$1, $2] = $5 }
END {
    split(counts, ns, " ")
    printf "| N | floor | hoister -l | -l -q | by name | ps | pgrep -f | -l / floor | -l / ps | by name / pgrep |\n"
    printf "|---|---|---|---|---|---|---|---|---|---|\n"
    for (i = 1; i in ns; i++) {
        n = ns[i]
        printf "| %d | %.0f | %.0f | %.0f | %.0f | %.0f | %.0f | %.2f | %.2f | %.2f |\n", n,
            med[n, "floor"], med[n, "list"], med[n, "list_quiet"], med[n, "by_name"],
            med[n, "ps"], med[n, "pgrep"], med[n, "list"] / med[n, "floor"],
            med[n, "list"] / med[n, "ps"], med[n, "by_name"] / med[n, "pgrep"]
    }
    printf "\nMedian wall times in microseconds. Per process (µs, (t(N) - t(0)) / N) and peak RSS (KiB) of hoister -l:\n\n"
    printf "| N | floor | hoister -l | -l -q | by name | ps | pgrep -f | hoister -l max RSS |\n"
    printf "|---|---|---|---|---|---|---|---|\n"
    z = ns[1]
    for (i = 1; i in ns; i++) {
        n = ns[i]
        if (n == z) { printf "| %d | | | | | | | %d |\n", n, rss[n, "list"]; continue }
        printf "| %d | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %d |\n", n,
            (med[n, "floor"] - med[z, "floor"]) / (n - z), (med[n, "list"] - med[z, "list"]) / (n - z),
            (med[n, "list_quiet"] - med[z, "list_quiet"]) / (n - z),
            (med[n, "by_name"] - med[z, "by_name"]) / (n - z), (med[n, "ps"] - med[z, "ps"]) / (n - z),
            (med[n, "pgrep"] - med[z, "pgrep"]) / (n - z), rss[n, "list"]
    }
    if ((z, "usage") in med)
        printf "\nStart-up (usage text to /dev/null): hoister -h %.0f µs, static C %.0f µs, ratio %.2f\n",
            med[z, "usage"], med[z, "usage_static"], med[z, "usage"] / med[z, "usage_static"]
}' "$results"
