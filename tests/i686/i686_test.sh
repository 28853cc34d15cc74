#!/usr/bin/env bash
# Runs the i686 product (build/win32/Hoister.exe) under the 32-bit Wine of the
# emulated i386 root that setup.sh makes, in two private prefixes: "nt" and
# "98" (Windows version 98 for the whole prefix).
# Usage: i686_test.sh <win32 build dir> <state dir> <case> [<wine64> <win64 build dir> <x86-64 prefix>]
# Cases: setup, cleanup, win98, nt, agree (the last compares with the x86-64
# build under the host's wine64, in the prefix of the Wine tests).
# Exits 77 when the root cannot be made on this machine.
set -u
here=$(cd "$(dirname "$0")" && pwd)
bin=$1 state=$(realpath -m "$2") case=$3
base=${HOISTER_I386_BASE:-/var/cache/hoister}
root=$base/i386root
# The prefixes and program copies live in the root; one folder per build tree.
work=/var/tmp/hoister-$(echo "$state" | md5sum | cut -c1-12)
out=$state/out/$case
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# wine_env PREFIX: a clean environment for the root's Wine, in the folder of
# the program copies.
wine_env() {
    echo env -i -C "$work/bin" HOME=/root PATH=/usr/bin:/bin LANG=C.UTF-8 WINEPREFIX="$work/$1" \
        WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
}
# in_root PREFIX [TIMEOUT] PROGRAM ARGS...
in_root() {
    local pfx=$1 limit=120
    shift
    [[ $1 =~ ^[0-9]+$ ]] && { limit=$1; shift; }
    timeout "$limit" chroot "$root" $(wine_env "$pfx") "$@"
}
wineserver() { in_root "$1" 60 /usr/lib/wine/wineserver "${@:2}"; }

if [ "$case" = setup ]; then
    rm -f "$state/unavailable"
    "$here/setup.sh" --quiet 2>"$state/setup.err"
    status=$?
    cat "$state/setup.err"
    if [ $status = 77 ]; then
        cp "$state/setup.err" "$state/unavailable"
        exit 77
    fi
    [ $status = 0 ] || exit 1
    mkdir -p "$root$work/bin" && cp "$bin/Hoister.exe" "$bin/probe.exe" "$root$work/bin/" || exit 1
    boot() {
        # Leftovers of an interrupted run would show up in the listings.
        [ -d "$root$work/$1" ] && wineserver "$1" -k 2>/dev/null
        if [ ! -f "$root$work/$1/.booted" ]; then
            rm -rf "${root:?}$work/$1"
            in_root "$1" 600 /usr/lib/wine/wine wineboot -i >/dev/null 2>&1 || return 1
            # The boot goes on after wineboot returns; registry changes made
            # before it ends are lost.
            wineserver "$1" -w
            if [ "$1" = 98 ]; then
                in_root 98 /usr/lib/wine/wine reg add 'HKCU\Software\Wine' /v Version /d win98 /f \
                    >/dev/null 2>&1 || return 1
                wineserver 98 -w
            fi
            touch "$root$work/$1/.booted"
        fi
        # One server for the whole session, with Wine's own services started
        # now, in both prefixes at once: under emulation that costs seconds.
        wineserver "$1" -p </dev/null >/dev/null 2>&1
        in_root "$1" /usr/lib/wine/wine Hoister.exe -h </dev/null >/dev/null 2>&1
        return 0
    }
    boot nt & nt=$!
    boot 98 & w98=$!
    wait $nt || fail "nt prefix"
    wait $w98 || fail "98 prefix"
    exit $failed
fi
if [ -f "$state/unavailable" ]; then
    echo "skipped: the i386 root with 32-bit Wine cannot be made here:"
    cat "$state/unavailable"
    exit 77
fi
if [ "$case" = cleanup ]; then
    for pfx in nt 98; do wineserver $pfx -k 2>/dev/null; wineserver $pfx -w; done
    exit 0
fi

rm -rf "$out" && mkdir -p "$out"
rm -f "$root$work/bin/"*.txt
probes=()
end_probes() {
    local pid
    for pid in "${probes[@]}"; do kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
}
trap end_probes EXIT

# run PREFIX NAME ARGS...: Hoister.exe's output in $out/NAME.raw, and with
# "\r\n" made "\n" in $out/NAME; returns its exit status.
run() {
    local pfx=$1 name=$2
    shift 2
    in_root "$pfx" /usr/lib/wine/wine Hoister.exe "$@" </dev/null >"$out/$name.raw" 2>"$out/$name.err"
    local status=$?
    sed 's/\r$//' "$out/$name.raw" >"$out/$name"
    return $status
}
# start PREFIX FILE VAR: a probe that reports to FILE; its Windows ID in VAR.
start() {
    # Not through timeout: $! is then the Wine process itself (chroot and env
    # exec it), so the trap ends it by its ID. It ends itself after 120 s.
    chroot "$root" $(wine_env "$1") /usr/lib/wine/wine probe.exe "$2" </dev/null >/dev/null 2>&1 &
    probes+=($!)
    reported 0x20 "$2" && printf -v "$3" %s "$(head -n 1 "$root$work/bin/$2" | cut -d' ' -f1)"
}
# reported WHAT FILE...: waits until the last line of one of the probes' files
# ends in WHAT.
reported() {
    local what=$1 file
    shift
    for _ in $(seq 150); do
        for file; do
            [ "$(tail -n 1 "$root$work/bin/$file" 2>/dev/null | cut -d' ' -f2)" = "$what" ] && return 0
        done
        sleep 0.2
    done
    return 1
}
class_of() { tail -n 1 "$root$work/bin/$1" | cut -d' ' -f2; }
# expect NAME STATUS ACTUAL: the exit status, and the output on failure.
expect() { [ "$3" = "$2" ] || { fail "$1: exit status $3, expected $2"; cat "$out/$1"; }; }
# launched FILE: a copy launched with "probe.exe FILE 2" reported, then ended.
launched() { reported end "$1" || fail "$1: the launched probe did not report and end"; }

case $case in
win98)
    start 98 a.txt a && start 98 b.txt b || { fail "the probes did not start"; exit 1; }
    # Listed with negated IDs; then the first match only.
    run 98 first -l -pl probe; expect first 1 $?
    for id in "$a" "$b"; do
        grep -qx -- "-$id Normal   probe.exe" "$out/first" || fail "-$id not listed as Normal"
    done
    [ "$(grep -cx 'probe.exe priority set to Low' "$out/first")" = 1 ] || fail "-pl: not one change line"
    reported 0x40 a.txt b.txt || fail "-pl: no probe reads Low"
    sleep 0.5
    [ "$(class_of a.txt)$(class_of b.txt)" = 0x400x20 ] || [ "$(class_of a.txt)$(class_of b.txt)" = 0x200x40 ] ||
        fail "-pl without -a: classes $(class_of a.txt) $(class_of b.txt)"

    run 98 all -a -ph probe; expect all 1 $?
    [ "$(grep -cx 'probe.exe priority set to High' "$out/all")" = 2 ] || fail "-a: not two change lines"
    reported 0x80 a.txt && reported 0x80 b.txt || fail "-a: not both read High"

    run 98 by-id -pn "-#-$a"; expect by-id 1 $?
    grep -qx 'probe.exe priority set to Normal' "$out/by-id" || fail "-#-$a: no change line"
    reported 0x20 a.txt || fail "-#-$a: the probe does not read Normal"

    run 98 start-if-missing -s -pl probe.exe c.txt 2; expect start-if-missing 1 $?
    grep -qx 'probe.exe priority set to Low' "$out/start-if-missing" || fail "-s: no change line"
    grep -q '^Created' "$out/start-if-missing" && fail "-s: launched a copy"
    reported 0x40 a.txt b.txt || fail "-s: no probe reads Low"

    # Wine ignores the class in the creation flags: only the launch is checked.
    run 98 force -f probe.exe d.txt 2; expect force 1 $?
    grep -q '^Created: "probe.exe ' "$out/force" || fail "-f: no Created line"
    launched d.txt
    run 98 missing -f nosuchprogram.exe; expect missing 0 $?
    grep -qx 'Error: Failed to create: "nosuchprogram.exe"' "$out/missing" || fail "missing program: no failure line"
    [ -e "$root$work/bin/c.txt" ] && fail "-s started a copy"
    ;;
nt)
    # Names are empty under emulation (no reading of other processes'
    # memory); the x86-64 Wine tests cover them.
    start nt a.txt a || { fail "the probe did not start"; exit 1; }
    run nt verbose -v -#99999999; expect verbose 0 $?
    ids=$(sed -nE 's/^Process\(([0-9]+)\) .*priority unchanged$/\1/p' "$out/verbose")
    [ "$(wc -l <<<"$ids")" -ge 3 ] || fail "-v: fewer than 3 processes walked"
    [ -z "$(sort <<<"$ids" | uniq -d)" ] || fail "-v: a process reported twice"
    grep -qx "$a" <<<"$ids" || fail "-v: the probe $a was not walked"
    [ "$(tail -n 1 "$out/verbose")" = 'Error: Process with ID #99999999 not found.' ] || fail "-v: no not-found line last"
    [ "$(($(wc -l <<<"$ids") + 3))" = "$(wc -l <"$out/verbose")" ] || fail "-v: unexpected lines"

    run nt by-id -pl "-#$a"; expect by-id 1 $?
    grep -q 'priority set to Low$' "$out/by-id" || fail "-#$a: no change line"
    reported 0x40 a.txt || fail "-#$a: the probe does not read Low"

    run nt force -f probe.exe d.txt 2; expect force 1 $?
    grep -q '^Created: "probe.exe ' "$out/force" || fail "-f: no Created line"
    launched d.txt
    ;;
agree)
    # Where the two builds must print the same, byte for byte, "\r\n" included.
    wine64=$4 bin64=$5
    export WINEPREFIX=$6 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    server64=$(dirname "$wine64")/wineserver
    trap '"$server64" -k 2>/dev/null; "$server64" -w' EXIT
    "$server64" -p </dev/null >/dev/null 2>&1
    while IFS=: read -r pfx exe64 name words; do
        read -ra args <<<"$words"
        run "$pfx" "$name" "${args[@]}"
        status=$?
        (cd "$bin64" && "$wine64" "$exe64" "${args[@]}" </dev/null >"$out/$name.x64" 2>/dev/null)
        status64=$?
        [ $status64 = $status ] || fail "'$words' ($pfx): exit status $status, x86-64 $status64"
        [ "$(grep -c $'\r$' "$out/$name.raw")" = "$(wc -l <"$out/$name.raw")" ] ||
            fail "'$words': a line does not end in \\r\\n"
        cmp -s "$out/$name.raw" "$out/$name.x64" || {
            fail "'$words' ($pfx): output differs from the x86-64 build"
            diff "$out/$name.x64" "$out/$name.raw"
        }
    done <<EOF
nt:Hoister.exe:none:
nt:Hoister.exe:help:-h
nt:Hoister.exe:unknown:-x
nt:Hoister.exe:bad-class:-pz probe
nt:Hoister.exe:quiet-unknown:-q -x
nt:Hoister.exe:not-found:-pl -#99999999
nt:Hoister.exe:missing:-f nosuchprogram.exe
98:$WINEPREFIX/../w98/Hoister98.exe:not-found-98:-pl -#-99999999
EOF
    grep -q 'Spawns' "$out/none" || fail "no arguments: no usage"
    ;;
*)
    echo "unknown case $case"
    exit 2
    ;;
esac
exit $failed
