#!/usr/bin/env bash
# Runs the x86-64 Windows build of Hoister and its helper programs under Wine,
# in a private prefix that only these tests use.
# Usage: wine_test.sh <wine64> <win64 build dir> <prefix dir> <case> [native hoister]
# Cases: setup, cleanup, output, walk-nt, walk-98, actions-nt, actions-98, hold-nt, hold-98.
set -u
wine=$1 bin=$2 case=$4 native=${5:-}
export WINEPREFIX=$3 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver=$(dirname "$wine")/wineserver
# Copies of the programs whose Windows version is set to 98 (the setting
# goes by file name); they print the same fixed program name.
w98=$WINEPREFIX/../w98
out=$WINEPREFIX/../out/$case
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# Runs a Windows program; its output lands in $out/<name>, "\r\n" made "\n".
# Files, not pipes: a process that it starts may inherit them.
run() {
    local name=$1
    shift
    "$wine" "$@" </dev/null >"$out/$name.raw" 2>"$out/$name.err"
    local status=$?
    sed 's/\r$//' "$out/$name.raw" >"$out/$name"
    return $status
}

end_prefix() {
    "$wineserver" -k 2>/dev/null
    "$wineserver" -w
}

if [ "$case" = setup ]; then
    # Leftovers of an interrupted run would show up in the listings.
    [ -d "$WINEPREFIX" ] && end_prefix 2>/dev/null
    if [ ! -f "$WINEPREFIX/.booted" ]; then
        rm -rf "$WINEPREFIX"
        "$wine" wineboot -i </dev/null >/dev/null 2>&1 || exit 1
        # The boot goes on after wineboot returns; registry changes made
        # before it ends are lost.
        "$wineserver" -w
        touch "$WINEPREFIX/.booted"
    fi
    mkdir -p "$w98"
    cp "$bin/Hoister.exe" "$w98/Hoister98.exe" && cp "$bin/walk_print.exe" "$w98/walk98.exe" || exit 1
    for exe in Hoister98.exe walk98.exe; do
        "$wine" reg add "HKCU\\Software\\Wine\\AppDefaults\\$exe" /v Version /d win98 /f \
            </dev/null >/dev/null 2>&1 || exit 1
    done
    "$wineserver" -w
    exit 0
fi
if [ "$case" = cleanup ]; then
    end_prefix
    exit 0
fi

rm -rf "$out" && mkdir -p "$out"
trap end_prefix EXIT

case $case in
output)
    # The same words as on Linux: the same text, with Windows line ends.
    while IFS=: read -r expected name words; do
        read -ra args <<<"$words"
        run "$name" "$bin/Hoister.exe" "${args[@]}"
        status=$?
        [ $status = "$expected" ] || fail "'$words': exit status $status, expected $expected"
        "$native" "${args[@]}" </dev/null >"$out/$name.native" 2>/dev/null
        [ $? = "$expected" ] || fail "'$words': native exit status differs"
        [ "$(grep -c $'\r$' "$out/$name.raw")" = "$(wc -l <"$out/$name.raw")" ] ||
            fail "'$words': a line does not end in \\r\\n"
        cmp -s "$out/$name" "$out/$name.native" || {
            fail "'$words': output differs from Linux"
            diff "$out/$name.native" "$out/$name"
        }
    done <<'EOF'
1:none:
0:help:-h
0:unknown:-x
0:quiet-unknown:-q -x
0:verbose:-v
0:zero-delay:-d0
EOF
    sed -n 3p "$out/none" | grep -q '^Hoister.exe: Spawns' || fail "no arguments: no usage after the banner"
    sed -n 3p "$out/unknown" | grep -qx 'Error: Parameter -x not understood' || fail "-x: no error line"
    [ "$(wc -l <"$out/quiet-unknown")" = 2 ] || fail "-q -x: more than the banner"
    ;;
walk-nt | walk-98)
    # NT: the full path through PSAPI; 95/98: the toolhelp file name.
    exe=$bin/walk_print.exe pattern='^[0-9]+ 0 [A-Z]:\\.*\\services\.exe$'
    [ "$case" = walk-98 ] && exe=$w98/walk98.exe pattern='^[0-9]+ 0 services\.exe$'
    run walk "$exe"
    status=$?
    cat "$out/walk"
    if [ $status != 1 ] || [ "$(tail -n 1 "$out/walk")" != "result 1" ]; then
        fail "the walk did not run"
    fi
    grep -qiE "$pattern" "$out/walk" || fail "services.exe not found as $pattern"
    ;;
actions-nt | actions-98)
    hoister=$bin/Hoister.exe
    [ "$case" = actions-98 ] && hoister=$w98/Hoister98.exe
    # The launched copies are found through the current directory.
    cd "$bin" || exit 1
    "$wine" sleeper.exe </dev/null >/dev/null 2>&1 &
    sleeper=$!
    trap 'kill $sleeper 2>/dev/null; wait $sleeper; end_prefix' EXIT

    # Lists until <count> sleepers show; fails after a generous while.
    listed() {
        for _ in $(seq 120); do
            run list "$hoister" -l
            [ "$(grep -ci 'sleeper\.exe$' "$out/list")" = "$1" ] && return 0
            sleep 0.5
        done
        return 1
    }
    listed 1 || fail "the sleeper is not listed"
    cat "$out/list"
    line=$(grep -i 'sleeper\.exe$' "$out/list")
    id=$(awk '{print $1}' <<<"$line")
    if [ "$case" = actions-nt ]; then
        [[ $line =~ ^\ *[0-9]+\ Normal\ \ \ [A-Z]:\\.*\\sleeper\.exe$ ]] || fail "NT line: $line"
    else
        [[ $line =~ ^-[0-9]+\ Normal\ \ \ sleeper\.exe$ ]] || fail "95/98 line: $line"
    fi

    # Name, then the ID exactly as listed, then -s with a copy running.
    while IFS=: read -r name class words; do
        read -ra args <<<"$words"
        run "$name" "$hoister" "${args[@]}"
        [ $? = 1 ] || fail "'$words': exit status not 1"
        grep -qi "sleeper\.exe priority set to $class$" "$out/$name" || fail "'$words': no change line"
        grep -q '^Created' "$out/$name" && fail "'$words': launched a copy"
        listed 1 || fail "'$words': not exactly one sleeper listed"
        label=$(printf '%-8s' "$class")
        grep -qiE "^ *$id $label .*sleeper\.exe$" "$out/list" || fail "'$words': not listed as '$label'"
    done <<EOF
by-name:Low:-pl sleeper
by-id:Normal:-pn -#$id
start-if-missing:High:-s sleeper
EOF

    # Its own process is never a match by name.
    run self "$hoister" -v -pl hoister
    [ $? = 1 ] || fail "by its own name: exit status not 1"
    grep -qi 'hoister.* matches target' "$out/self" && fail "it matched itself"

    run force "$hoister" -f sleeper.exe
    [ $? = 1 ] || fail "-f: exit status not 1"
    grep -qx 'Created: "sleeper.exe "' "$out/force" || fail "-f: no Created line"
    listed 2 || fail "-f: no second sleeper listed"
    ;;
hold-nt | hold-98)
    hoister=$bin/Hoister.exe
    [ "$case" = hold-98 ] && hoister=$w98/Hoister98.exe
    cd "$bin" || exit 1
    "$wine" "$hoister" -v -w1 -pl sleeper </dev/null >"$out/hold.raw" 2>"$out/hold.err" &
    holder=$!
    sleeper=
    trap 'kill $holder $sleeper 2>/dev/null; wait $holder $sleeper; end_prefix' EXIT
    # The hold has begun once its first round shows.
    for _ in $(seq 120); do
        grep -q 'priority unchanged' "$out/hold.raw" && break
        sleep 0.5
    done
    grep -q 'priority unchanged' "$out/hold.raw" || fail "the hold shows no round"
    "$wine" sleeper.exe </dev/null >/dev/null 2>&1 &
    sleeper=$!
    for _ in $(seq 120); do
        run list "$hoister" -l
        grep -qiE '^ *-?[0-9]+ Low +.*sleeper\.exe$' "$out/list" && break
        sleep 0.5
    done
    cat "$out/list"
    grep -qiE '^ *-?[0-9]+ Low +.*sleeper\.exe$' "$out/list" || fail "the later sleeper is not Low"
    grep -qi 'sleeper\.exe priority set to Low' "$out/hold.raw" || fail "the hold printed no change"
    # Wine passes SIGINT on as Ctrl-C: the run ends with status 1.
    kill -INT "$holder"
    for _ in $(seq 100); do
        kill -0 "$holder" 2>/dev/null || break
        sleep 0.1
    done
    kill "$holder" 2>/dev/null && fail "Ctrl-C did not end the hold"
    wait "$holder"
    status=$?
    [ $status = 1 ] || fail "the hold ended with status $status, expected 1"
    ;;
*)
    echo "unknown case $case"
    exit 2
    ;;
esac
exit $failed
