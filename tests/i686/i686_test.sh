#!/usr/bin/env bash
# Runs the i686 product (build/win32/Hoister.exe) under the 32-bit Wine of the
# i386 root that setup.sh makes, in two private prefixes: "nt" and "98"
# (Windows version 98 for the whole prefix). Wine runs natively where the
# kernel runs i386 programs, emulated elsewhere (setup.sh decides).
# Usage: i686_test.sh <win32 build dir> <state dir> <case> [<wine64> <win64 build dir> <x86-64 prefix>]
# Cases: mode, setup, cleanup, win98, nt, hold-98, and, where Wine runs
# natively, nt-names and hold-nt. nt-names and agree compare with the x86-64
# build under the host's wine64, in the prefix of the Wine tests.
# Exits 77 when the root cannot be made on this machine, and for the NT name
# cases when Wine is emulated (no NT names there).
set -u
here=$(cd "$(dirname "$0")" && pwd)
bin=$1 state=$(realpath -m "$2") case=$3
wine64=${4:-} bin64=${5:-} prefix64=${6:-}
base=${HOISTER_I386_BASE:-/var/cache/hoister}
root=$base/i386root
# The prefixes and program copies live in the root; one folder per build tree.
# The x86-64 probe copies lie at the same path outside it, so that both Wines
# show the same Windows path for them.
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
# wine_cmd PREFIX: the words that run a Windows program in the folder of the
# copies: in the root's prefix nt or 98, or (x64) under the host's wine64 in
# the Wine tests' prefix. Each execs the next, so a program started in the
# background has the Wine process's own ID in $!.
wine_cmd() {
    if [ "$1" = x64 ]; then
        echo env -C "$work/bin" WINEPREFIX="$prefix64" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= "$wine64"
    else
        echo chroot "$root" $(wine_env "$1") /usr/lib/wine/wine
    fi
}

if [ "$case" = setup ]; then
    rm -f "$state/unavailable" "$state/mode"
    "$here/setup.sh" --quiet 2>"$state/setup.err"
    status=$?
    cat "$state/setup.err"
    if [ $status = 77 ]; then
        cp "$state/setup.err" "$state/unavailable"
        exit 77
    fi
    [ $status = 0 ] || exit 1
    sed -n 's/^\[i686 setup\] mode: //p' "$state/setup.err" >"$state/mode"
    [ -s "$state/mode" ] || { echo "FAIL: the set-up printed no mode"; exit 1; }
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
mode=$(cat "$state/mode" 2>/dev/null)
echo "i686 mode: ${mode:-unknown (no set-up ran)}"
case $case in
nt-names | hold-nt)
    if [ "${mode%% *}" != native ]; then
        reason=${mode#emulated (}
        echo "skipped: ${reason%)}; emulated Wine shows no NT names"
        exit 77
    fi
    ;;
esac
if [ "$case" = mode ]; then
    # The set-up's decision, through its --mode-only test hooks: binfmt_misc
    # folders of our own making, and a runner under which the probe exits 7
    # (none where the kernel runs it; qemu-i386 where it does not).
    fake=$state/binfmt
    runner=
    if [ "${mode%% *}" != native ]; then
        runner=$base/qemu-i386
        [ -x "$runner" ] || { echo "skipped: nothing here runs the i386 probe"; exit 77; }
    fi
    # binfmt_misc shows an entry so; the masks take i386 programs of either
    # ELF type, with byte 8 of the header 0 (strict) or anything (loose).
    elf=7f454c4601010100000000000000000002000300
    strict=fffffffffffefe00fffffffffffffffffeffffff loose=fffffffffffefe0000fffffffffffffffeffffff
    while IFS='|' read -r label entries probe expected; do
        rm -rf "$fake" && mkdir -p "$fake" && echo enabled >"$fake/status" || exit 1
        for e in $entries; do
            IFS=: read -r name on mask <<<"$e"
            if [ "$name" = status ]; then echo "$on" >"$fake/status"; continue; fi
            interp=/usr/bin/$name magic=$elf
            [ "$name" = hoister-i386 ] && interp=$base/qemu-i386
            [ "$mask" = mz ] && magic=4d5a mask=ffff
            [ "$mask" = strict ] && mask=$strict
            [ "$mask" = loose ] && mask=$loose
            printf '%s\ninterpreter %s\nflags: F\noffset 0\nmagic %s\nmask %s\n' "$on" "$interp" "$magic" "$mask" \
                >"$fake/$name"
        done
        [ "$probe" = fails ] && probe=/bin/false || probe=$runner
        said=$(HOISTER_BINFMT_DIR=$fake HOISTER_I686_PROBE_RUNNER=$probe "$here/setup.sh" --mode-only 2>&1)
        status=$?
        [ $status = 77 ] && { echo "skipped: $said"; exit 77; }
        echo "$label: $said"
        [ $status = 0 ] && grep -qF "$expected" <<<"$said" || fail "$label: not '$expected'"
    done <<EOF
no entries||runs|mode: native (the kernel ran the i386 probe itself)
ours, enabled|hoister-i386:enabled:strict|runs|binfmt: would disable our entry hoister-i386
ours and another's, disabled|hoister-i386:disabled:strict qemu-i386:disabled:strict|runs|nothing to change
another's, enabled|qemu-i386:enabled:strict|runs|mode: emulated (the kernel runs 32-bit programs, but the binfmt entry qemu-i386 sends them to /usr/bin/qemu-i386)
another's, binfmt_misc off|status:disabled qemu-i386:enabled:strict|runs|mode: native
one that takes any ELF byte 8|loose:enabled:loose|runs|mode: emulated (the binfmt entry loose takes even the i386 probe
one for other programs|wine:enabled:mz|runs|mode: native
a probe that fails||fails|mode: emulated (the i386 probe did not exit with 7 (status 1))
EOF
    # Asked for real, it decides as it did for the set-up.
    said=$("$here/setup.sh" --mode-only 2>&1)
    echo "this machine: $said"
    grep -qxF "[i686 setup] mode: $mode" <<<"$said" || fail "--mode-only differs from the set-up's mode"
    rm -rf "$fake"
    exit $failed
fi
if [ "$case" = cleanup ]; then
    for pfx in nt 98; do wineserver $pfx -k 2>/dev/null; wineserver $pfx -w; done
    exit 0
fi

rm -rf "$out" && mkdir -p "$out"
# The folder of the probes' report files, as this script sees it.
dir=$root$work/bin
rm -f "$dir/"*.txt
probes=() holder=
end_probes() {
    local pid
    for pid in "${probes[@]}" $holder; do kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    probes=() holder=
}
trap end_probes EXIT

# run PREFIX NAME ARGS...: Hoister.exe's output in $out/NAME.raw, and with
# "\r\n" made "\n" in $out/NAME; returns its exit status.
run() {
    local pfx=$1 name=$2
    shift 2
    timeout 120 $(wine_cmd "$pfx") Hoister.exe "$@" </dev/null >"$out/$name.raw" 2>"$out/$name.err"
    local status=$?
    sed 's/\r$//' "$out/$name.raw" >"$out/$name"
    return $status
}
# start PREFIX FILE VAR: a probe that reports to FILE; its Windows ID in VAR.
start() {
    # Not through timeout: $! is then the Wine process itself, so the trap
    # ends it by its ID. It ends itself after 120 s.
    $(wine_cmd "$1") probe.exe "$2" </dev/null >/dev/null 2>&1 &
    probes+=($!)
    reported 0x20 "$2" && printf -v "$3" %s "$(head -n 1 "$dir/$2" | cut -d' ' -f1)"
}
# reported WHAT FILE...: waits until the last line of one of the probes' files
# ends in WHAT.
reported() {
    local what=$1 file
    shift
    for _ in $(seq 150); do
        for file; do
            [ "$(tail -n 1 "$dir/$file" 2>/dev/null | cut -d' ' -f2)" = "$what" ] && return 0
        done
        sleep 0.2
    done
    return 1
}
class_of() { tail -n 1 "$dir/$1" | cut -d' ' -f2; }
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
    [ -e "$dir/c.txt" ] && fail "-s started a copy"
    ;;
nt)
    # Under emulation names are empty (no reading of other processes'
    # memory): the IDs only; nt-names covers the names where Wine is native.
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
nt-names)
    # Natively, Wine reads other processes' memory, so the NT family shows
    # full paths. The same steps with the x86-64 build, its probes at the same
    # Windows path, must print the same but for the IDs.
    server64=$(dirname "$wine64")/wineserver
    trap 'end_probes; WINEPREFIX=$prefix64 "$server64" -k 2>/dev/null; WINEPREFIX=$prefix64 "$server64" -w' EXIT
    mkdir -p "$work/bin" && cp "$bin64/Hoister.exe" "$bin64/probe.exe" "$work/bin/" || exit 1
    for side in nt x64; do
        dir=$root$work/bin
        [ $side = x64 ] && dir=$work/bin
        rm -f "$dir/"*.txt
        start $side a.txt a && start $side b.txt b || { fail "$side: the probes did not start"; continue; }
        printf -v ids_$side %s "$a $b"
        run $side $side-list -l; expect $side-list 0 $?
        run $side $side-first -pl probe; expect $side-first 1 $?
        reported 0x40 a.txt b.txt || fail "$side: -pl: no probe reads Low"
        sleep 0.5
        [ "$(class_of a.txt)$(class_of b.txt)" = 0x400x20 ] || [ "$(class_of a.txt)$(class_of b.txt)" = 0x200x40 ] ||
            fail "$side: -pl without -a: classes $(class_of a.txt) $(class_of b.txt)"
        run $side $side-all -a -ph probe; expect $side-all 1 $?
        reported 0x80 a.txt && reported 0x80 b.txt || fail "$side: -a: not both read High"
        run $side $side-start-if-missing -s -pn probe.exe c.txt 2; expect $side-start-if-missing 1 $?
        reported 0x20 a.txt b.txt || fail "$side: -s: no probe reads Normal"
        [ -e "$dir/c.txt" ] && fail "$side: -s started a copy"
        end_probes
    done
    # Every process with its path, the probes' as Wine maps the folder.
    copies="Z:${work//\//\\}\\bin"
    sed -n '/^Current Processes$/,/^No target specified\.$/p' "$out/nt-list" | sed '1,2d;$d' >"$out/nt-lines"
    cat "$out/nt-list"
    [ "$(wc -l <"$out/nt-lines")" -ge 4 ] || fail "-l: fewer than 4 processes listed"
    grep -vE '^( {3}[0-9]| {2}[0-9]{2}| [0-9]{3}|[0-9]{4,}) (Normal  |Low     |High    |Realtime) [A-Za-z]:\\.+$' \
        "$out/nt-lines" && fail "-l: these lines lack a path or are out of shape"
    for id in $ids_nt; do
        grep -qxF "$(printf '%4d' "$id") Normal   $copies\\probe.exe" "$out/nt-list" || fail "-l: probe $id not listed"
    done
    grep -qiE '^ *[0-9]+ Normal   C:\\windows\\system32\\services\.exe$' "$out/nt-list" || fail "-l: no services.exe"
    # The x86-64 build: the same text around the process lines, the same
    # lines for our copies (the IDs aside) and the same change lines.
    for build in nt x64; do
        grep -v $'^ *[0-9]\\+ ' "$out/$build-list.raw" >"$out/$build-around"
        sed -E 's/^ *[0-9]+ /<id> /' "$out/$build-list.raw" | grep -F "<id> " | grep -F "$copies\\" | sort >"$out/$build-copies"
    done
    for name in around copies first.raw all.raw start-if-missing.raw; do
        cmp -s "$out/nt-$name" "$out/x64-$name" || {
            fail "$name: differs from the x86-64 build"
            diff "$out/x64-$name" "$out/nt-$name"
        }
    done
    [ "$(grep -cxF "$copies\\probe.exe priority set to High" "$out/nt-all")" = 2 ] || fail "-a: not two change lines"
    ;;
hold-98 | hold-nt)
    # A copy started after the hold began gets the class once, and keeps it;
    # Wine passes SIGINT on as Ctrl-C, which ends the hold with status 1.
    pfx=98 changed='probe.exe priority set to Low'
    [ $case = hold-nt ] && pfx=nt changed="Z:${work//\//\\}\\bin\\probe.exe priority set to Low"
    $(wine_cmd $pfx) Hoister.exe -v -w1 -pl probe </dev/null >"$out/hold.raw" 2>"$out/hold.err" &
    holder=$!
    for _ in $(seq 300); do
        grep -q 'priority unchanged' "$out/hold.raw" && break
        sleep 0.2
    done
    grep -q 'priority unchanged' "$out/hold.raw" || fail "the hold shows no round"
    # Not start(): the hold may set the class before the probe's first report.
    $(wine_cmd $pfx) probe.exe a.txt </dev/null >/dev/null 2>&1 &
    probes+=($!)
    reported 0x40 a.txt || fail "the later probe does not read Low"
    # Two more rounds: the class is held, not set again.
    sleep 2.5
    kill -INT "$holder"
    for _ in $(seq 100); do
        kill -0 "$holder" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$holder" 2>/dev/null && fail "Ctrl-C did not end the hold"
    wait "$holder"
    status=$? holder=
    [ $status = 1 ] || fail "the hold ended with status $status, expected 1"
    sed 's/\r$//' "$out/hold.raw" >"$out/hold"
    [ "$(grep -cxF "$changed" "$out/hold")" = 1 ] || { fail "not one line '$changed'"; cat "$out/hold"; }
    ;;
agree)
    # Where the two builds must print the same, byte for byte, "\r\n" included.
    export WINEPREFIX=$prefix64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
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
