#!/usr/bin/env bash
# Runs the Windows builds under the host's Wine, each in private prefixes that
# only these tests use: the x86-64 build (kind x64) in a 64-bit prefix, the
# i686 product in a 32-bit prefix of the NT family (nt) and in one whose
# Windows version is 98 (98). The tests act only on probe.exe copies of their
# own, which write their ID and read their own class back (probe.cpp).
# Usage: wine_test.sh <win32 dir> <win64 dir> <state dir> <case> [<kind> | <native hoister>]
# Cases: setup64, setup32, cleanup64, cleanup32, output (x64 against the
# Linux program), mode (the 32-bit set-up's choice), agree and nt-names (the
# i686 product against x64), and walk, actions and hold for a kind.
set -u
here=$(cd "$(dirname "$0")" && pwd)
bin32=$1 bin64=$2 state=$(realpath -m "$3") case=$4 arg=${5:-}
lib=/usr/lib/wine
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# use KIND: the Wine loader, prefix, and build folders of Hoister.exe and of
# the probes of that kind. wow: the i686 product on 64-bit Windows, acting on
# 64-bit probes in the x64 prefix.
# Each program runs under its own loader: wine64 would hand a 32-bit one to
# start.exe, a process of its own that a signal would not reach.
use() {
    kind=$1 wine=$lib/wine probe_wine=$lib/wine bin=$bin32 probes_bin=$bin32 pfx=$state/prefix$1
    case $1 in
    x64) wine=$lib/wine64 probe_wine=$lib/wine64 bin=$bin64 probes_bin=$bin64 ;;
    wow) probe_wine=$lib/wine64 probes_bin=$bin64 pfx=$state/prefixx64 ;;
    esac
}
# wine_env KIND: a clean environment for that kind's Wine, at nice 0 whatever
# nice value the tests run at (lowering it needs root): a Wine process whose
# Windows side has ended is killed by the wineserver if its Linux side is still
# there half a second later, as one starved at nice 19 on a busy machine can be.
wine_env() {
    use "$1"
    echo nice -n $((-$(nice))) env -i HOME="$HOME" PATH=/usr/bin:/bin WINEPREFIX="$pfx" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
}
server() { local k=$1; shift; $(wine_env "$k") timeout 60 $lib/wineserver "$@"; }
end_prefix() { server "$1" -k 2>/dev/null; server "$1" -w; }
# The Windows path of a Linux path, as Wine maps it.
winpath() { local p=${1//\//\\}; echo "Z:$p"; }

case $case in
setup64 | setup32)
    kinds=x64
    if [ "$case" = setup32 ]; then
        kinds="nt 98"
        "$here/setup32.sh" --quiet 2>"$state.setup.err"
        status=$?
        cat "$state.setup.err"
        [ $status = 77 ] && exit 77
        [ $status = 0 ] || exit 1
    fi
    boot() {
        use "$1"
        # Leftovers of an interrupted run would show up in the listings.
        [ -d "$pfx" ] && end_prefix "$1"
        [ -f "$pfx/.booted" ] && return 0
        rm -rf "$pfx"
        local arch=win64
        [ "$1" = x64 ] || arch=win32
        $(wine_env "$1") WINEARCH=$arch timeout 600 "$wine" wineboot -i </dev/null >/dev/null 2>&1 || return 1
        # The boot goes on after wineboot returns; registry changes made
        # before it ends are lost.
        server "$1" -w
        if [ "$1" = 98 ]; then
            $(wine_env 98) "$wine" reg add 'HKCU\Software\Wine' /v Version /d win98 /f </dev/null >/dev/null 2>&1 ||
                return 1
            server 98 -w
        fi
        touch "$pfx/.booted"
    }
    mkdir -p "$state"
    for k in $kinds; do boot $k & done
    for job in $(jobs -p); do wait "$job" || fail "a prefix did not boot"; done
    exit $failed
    ;;
cleanup64) end_prefix x64; exit 0 ;;
cleanup32) end_prefix nt; end_prefix 98; exit 0 ;;
mode)
    # The set-up's choice, through its --mode-only test hooks: binfmt_misc
    # folders of our own making, and a runner under which the probe exits 7
    # (none where the kernel runs it; qemu-i386 where it does not).
    mode=$(sed -n 's/^\[i686 setup\] mode: //p' "$state.setup.err" 2>/dev/null)
    echo "i686 mode: ${mode:-unknown (no set-up ran)}"
    fake=$state/binfmt runner= qemu=${HOISTER_I386_BASE:-/var/cache/hoister}/qemu-i386
    [ "${mode%% *}" = native ] || runner=$qemu
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
            [ "$name" = hoister-i386 ] && interp=$qemu
            [ "$mask" = mz ] && magic=4d5a mask=ffff
            [ "$mask" = strict ] && mask=$strict
            [ "$mask" = loose ] && mask=$loose
            printf '%s\ninterpreter %s\nflags: F\noffset 0\nmagic %s\nmask %s\n' "$on" "$interp" "$magic" "$mask" \
                >"$fake/$name"
        done
        [ "$probe" = fails ] && probe=/bin/false || probe=$runner
        said=$(HOISTER_BINFMT_DIR=$fake HOISTER_I686_PROBE_RUNNER=$probe "$here/setup32.sh" --mode-only 2>&1)
        status=$?
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
    said=$("$here/setup32.sh" --mode-only 2>&1)
    echo "this machine: $said"
    grep -qxF "[i686 setup] mode: $mode" <<<"$said" || fail "--mode-only differs from the set-up's mode"
    rm -rf "$fake"
    exit $failed
    ;;
esac

out=$state/out/$case${arg:+-${arg##*/}}
rm -rf "$out" && mkdir -p "$out" && cd "$out" || exit 1
probes=() holder=
finish() {
    local pid
    for pid in "${probes[@]}" $holder; do kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    for k in $used; do end_prefix $k; done
}
used=
trap finish EXIT

# run KIND NAME ARGS...: Hoister.exe's output in NAME.raw, and with "\r\n"
# made "\n" in NAME; returns its exit status. Files, not pipes: a process
# that it starts may inherit them. The working folder is this case's, where
# the probes write.
run() {
    local k=$1 name=$2
    shift 2
    use "$k"
    timeout 120 $(wine_env "$k") "$wine" "$bin/Hoister.exe" "$@" </dev/null >"$name.raw" 2>"$name.err"
    local status=$?
    sed 's/\r$//' "$name.raw" >"$name"
    return $status
}
# start KIND FILE VAR: a probe that reports to FILE; its Windows ID in VAR.
start() {
    use "$1"
    # Not through timeout: $! is then the Wine process itself, so the trap
    # ends it by its ID. It ends itself after 120 s.
    $(wine_env "$1") "$probe_wine" "$probes_bin/probe.exe" "$2" </dev/null >/dev/null 2>&1 &
    probes+=($!)
    reported 0x20 "$2" && printf -v "$3" %s "$(head -n 1 "$2" | cut -d' ' -f1)"
}
# reported WHAT FILE...: waits until the last line of one of the files ends in WHAT.
reported() {
    local what=$1 file
    shift
    for _ in $(seq 300); do
        for file; do
            [ "$(tail -n 1 "$file" 2>/dev/null | cut -d' ' -f2)" = "$what" ] && return 0
        done
        sleep 0.2
    done
    return 1
}
class_of() { tail -n 1 "$1" | cut -d' ' -f2; }
# expect NAME STATUS ACTUAL: the exit status, and the output on failure.
expect() { [ "$3" = "$2" ] || { fail "$1: exit status $3, expected $2"; cat "$1"; }; }
# one_of_two WHAT: exactly one of the probes a and b reads WHAT, the other Normal.
one_of_two() {
    sleep 0.5
    case "$(class_of a.txt) $(class_of b.txt)" in "$1 0x20" | "0x20 $1") return 0 ;; esac
    return 1
}

case $case in
output)
    # The same words as on Linux: the same text, with Windows line ends.
    used=x64
    while IFS=: read -r expected name words; do
        read -ra args <<<"$words"
        run x64 "$name" "${args[@]}"
        status=$?
        [ $status = "$expected" ] || fail "'$words': exit status $status, expected $expected"
        "$arg" "${args[@]}" </dev/null >"$name.native" 2>/dev/null
        [ $? = "$expected" ] || fail "'$words': native exit status differs"
        [ "$(grep -c $'\r$' "$name.raw")" = "$(wc -l <"$name.raw")" ] || fail "'$words': a line does not end in \\r\\n"
        cmp -s "$name" "$name.native" || { fail "'$words': output differs from Linux"; diff "$name.native" "$name"; }
    done <<'EOF'
1:none:
0:help:-h
0:unknown:-x
0:quiet-unknown:-q -x
0:verbose:-v
0:zero-delay:-d0
EOF
    sed -n 3p none | grep -q '^Hoister.exe: Spawns' || fail "no arguments: no usage after the banner"
    sed -n 3p unknown | grep -qx 'Error: Parameter -x not understood' || fail "-x: no error line"
    [ "$(wc -l <quiet-unknown)" = 2 ] || fail "-q -x: more than the banner"
    ;;
walk)
    # NT: the full path through PSAPI; 95/98: the toolhelp file name.
    used=$arg pattern='^[0-9]+ 0 [A-Z]:\\.*\\services\.exe$'
    [ "$arg" = 98 ] && pattern='^[0-9]+ 0 services\.exe$'
    use "$arg"
    $(wine_env "$arg") "$wine" "$bin/walk_print.exe" </dev/null >walk.raw 2>walk.err
    status=$?
    sed 's/\r$//' walk.raw >walk
    cat walk
    [ $status = 1 ] && [ "$(tail -n 1 walk)" = "result 1" ] || fail "the walk did not run"
    grep -qiE "$pattern" walk || fail "services.exe not found as $pattern"
    ;;
actions)
    used=$arg
    use "$arg"
    start "$arg" a.txt a && start "$arg" b.txt b || { fail "the probes did not start"; exit 1; }
    # As listed: negated IDs and file names on 95/98, full paths on NT.
    self=$(winpath "$bin/Hoister.exe") probe=$(winpath "$probes_bin/probe.exe") listed=$a
    [ "$arg" = 98 ] && self=Hoister.exe probe=probe.exe listed=-$a
    if [ "$arg" = wow ]; then
        # The same lines as the x86-64 build lists, each lister's own aside;
        # a pair of listings that differs (a program of Wine's own came or
        # went between them) is taken again.
        for _ in 1 2 3 4 5; do
            run wow wow-list -l && run x64 x64-list -l
            for k in wow x64; do
                use $k
                grep -vF "$(winpath "$bin/Hoister.exe")" $k-list | sort >$k-lines
            done
            cmp -s wow-lines x64-lines && break
        done
        use wow
        cmp -s wow-lines x64-lines || { fail "-l: not the x86-64 build's lines"; diff x64-lines wow-lines; }
    fi
    run "$arg" first -l -pl probe; expect first 1 $?
    for id in "$a" "$b"; do
        shown=$(printf '%4d' "$id")
        [ "$arg" = 98 ] && shown=-$id
        grep -qxF -- "$shown Normal   $probe" first || fail "$shown not listed as Normal $probe"
    done
    # By name, the first match only; every match with -a.
    [ "$(grep -cxF "$probe priority set to Low" first)" = 1 ] || fail "-pl: not one change line"
    reported 0x40 a.txt b.txt && one_of_two 0x40 || fail "-pl without -a: classes $(class_of a.txt) $(class_of b.txt)"
    run "$arg" all -a -ph probe; expect all 1 $?
    [ "$(grep -cxF "$probe priority set to High" all)" = 2 ] || fail "-a: not two change lines"
    reported 0x80 a.txt && reported 0x80 b.txt || fail "-a: not both read High"
    # The ID as listed.
    run "$arg" by-id -pn "-#$listed"; expect by-id 1 $?
    grep -qxF "$probe priority set to Normal" by-id || fail "-#$listed: no change line"
    reported 0x20 a.txt || fail "-#$listed: the probe does not read Normal"
    # -s with a copy running changes it and starts none.
    run "$arg" start-if-missing -s -pl probe.exe c.txt 2; expect start-if-missing 1 $?
    grep -qxF "$probe priority set to Low" start-if-missing || fail "-s: no change line"
    grep -q '^Created' start-if-missing && fail "-s: launched a copy"
    # Its own process, told by its own path, is never a match by name.
    run "$arg" self -v -pl Hoister.exe; expect self 1 $?
    grep -qxF "Process $self priority unchanged" self || fail "its own process was not passed over"
    grep -q 'matches target$' self && fail "it matched itself"
    # Wine ignores the class in the creation flags: only the launch is checked.
    run "$arg" force -f probe.exe d.txt 2; expect force 1 $?
    grep -q '^Created: "probe.exe ' force || fail "-f: no Created line"
    reported end d.txt || fail "-f: the launched probe did not report and end"
    run "$arg" missing -f nosuchprogram.exe; expect missing 0 $?
    grep -qx 'Error: Failed to create: "nosuchprogram.exe"' missing || fail "missing program: no failure line"
    [ -e c.txt ] && fail "-s started a copy"
    # A rules file with CR LF line ends names a copy under a path with a space (on 95/98,
    # where the walk gives file names, by its file name).
    mkdir -p "$out/with space" && cp "$probes_bin/probe.exe" "$out/with space/probe.exe"
    $(wine_env "$arg") "$probe_wine" "$out/with space/probe.exe" spaced.txt </dev/null >/dev/null 2>&1 &
    probes+=($!)
    reported 0x20 spaced.txt || fail "the probe under a space did not start"
    rule=$(winpath "$out/with space/probe.exe")
    [ "$arg" = 98 ] && rule==probe.exe
    printf '# probes\r\n\r\nlow\t%s  \r\n' "$rule" >rules.txt
    run "$arg" rules -a -v @rules.txt; expect rules 1 $?
    grep -qxF 'Rules: 1 from rules.txt' rules && reported 0x40 spaced.txt ||
        fail "the rules file: not read, or the probe under a space not made Low"
    if [ "$arg" = wow ]; then
        # A 64-bit program under a path of more than 259 characters is listed by its first 259.
        deep=$out/$(printf 'd%.0s' {1..120})/$(printf 'e%.0s' {1..120})
        mkdir -p "$deep" && cp "$probes_bin/probe.exe" "$deep/probe.exe"
        $(wine_env wow) "$probe_wine" "$deep/probe.exe" long.txt </dev/null >/dev/null 2>&1 &
        probes+=($!)
        reported 0x20 long.txt && whole=$(winpath "$deep/probe.exe") id=$(head -n 1 long.txt | cut -d' ' -f1)
        run wow long -l -a -pl eeeeeeeeee; expect long 1 $?
        # Listed by its start and its file name in 256 characters, so that the file name still
        # matches and messages show it whole.
        grep -qxF -- "$(printf '%4d' "$id") Normal   ${whole:0:243}...\\probe.exe" long &&
            reported 0x40 long.txt || fail "the deep probe: not listed and changed"
        run wow long-name -a -pn probe.exe; expect long-name 1 $?
        grep -qxF "${whole:0:243}...\\probe.exe priority set to Normal" long-name && reported 0x20 long.txt ||
            fail "the deep probe: not matched by its file name"
        # A "?" stands for a character that the ANSI code page lost.
        run wow lost -a -pl 'pro?e'; expect lost 0 $?
        grep -qxF 'Error: Parameter pro?e not understood' lost || fail "a target with ? was taken"
    fi
    ;;
hold)
    # A copy started after the hold began gets the class once, and keeps it;
    # Wine passes SIGINT on as Ctrl-C, which ends the hold with status 1.
    used=$arg
    use "$arg"
    changed="$(winpath "$probes_bin/probe.exe") priority set to Low"
    [ "$arg" = 98 ] && changed='probe.exe priority set to Low'
    # hold FILE SECONDS WORDS...: a hold whose output goes to FILE, once it shows its first round.
    hold() {
        $(wine_env "$arg") "$wine" "$bin/Hoister.exe" -v -w$2 "${@:3}" </dev/null >"$1" 2>"$1.err" &
        holder=$!
        for _ in $(seq 300); do
            grep -q 'priority unchanged' "$1" && return 0
            sleep 0.2
        done
        fail "the -w$2 hold shows no round"
    }
    if [ "$arg" = wow ]; then
        # Two targets in one hold, each with its class, for programs started after it.
        mkdir -p two && cp "$probes_bin/probe.exe" two/second.exe
        hold two.raw 60 -a -pl second.exe -ph probe.exe
        $(wine_env wow) "$probe_wine" two/second.exe t1.txt </dev/null >/dev/null 2>&1 &
        probes+=($!)
        $(wine_env wow) "$probe_wine" "$probes_bin/probe.exe" t2.txt </dev/null >/dev/null 2>&1 &
        probes+=($!)
        reported 0x40 t1.txt && reported 0x80 t2.txt || fail "two targets: not Low and High"
        kill -KILL "$holder" "${probes[@]}"
        wait "$holder" "${probes[@]}"
        holder= probes=()
    fi
    hold hold.raw 1 -pl probe
    # Not start(): the hold may set the class before the probe's first report.
    $(wine_env "$arg") "$probe_wine" "$probes_bin/probe.exe" a.txt </dev/null >/dev/null 2>&1 &
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
    sed 's/\r$//' hold.raw >hold
    [ "$(grep -cxF "$changed" hold)" = 1 ] || { fail "not one line '$changed'"; cat hold; }
    if [ "$arg" = x64 ]; then
        # The console's close, delivered as the system delivers it: the hold
        # ends with status 1 well before the handler's 4 s are up.
        hold close.raw 60 -l -pl probe
        id=$(sed -n 's/^ *\([0-9]*\) .*Hoister\.exe\r$/\1/p' close.raw)
        $(wine_env x64) "$wine" "$bin/control_event.exe" "$id" 2 </dev/null >/dev/null 2>&1 ||
            fail "the close event did not reach the hold ($id)"
        start=$(date +%s%N)
        for _ in $(seq 100); do kill -0 "$holder" 2>/dev/null && sleep 0.05; done
        kill -KILL "$holder" 2>/dev/null
        wait "$holder"
        status=$? holder= ms=$((($(date +%s%N) - start) / 1000000))
        echo "the close ended the hold after $ms ms"
        [ $status = 1 ] && [ $ms -lt 1500 ] || fail "the close ended the hold after $ms ms, status $status"
    fi
    # Without start events the hold looks for new processes four times a
    # second: probes that live a second are caught long before a -w60 round.
    # Wine fails to start a program now and then: one probe may be missing.
    hold poll.raw 60 -pl probe
    shorts=()
    for i in $(seq 20); do
        $(wine_env "$arg") "$probe_wine" "$probes_bin/probe.exe" s$i.txt 1 </dev/null >/dev/null 2>&1 &
        shorts+=($!)
        probes+=($!)
        sleep 0.1
    done
    wait "${shorts[@]}"
    caught=$(grep -l ' 0x40$' s*.txt | wc -l)
    [ "$caught" -ge 19 ] || fail "the -w60 hold made $caught of 20 short-lived probes Low" \
        "($(ls s*.txt | wc -l) started; not Low: $(grep -L ' 0x40$' s*.txt | tr '\n' ' '))"
    ;;
agree)
    # Where the i686 product and the x86-64 build must print the same, byte
    # for byte, "\r\n" included; on 95/98 the ID is given negated.
    used="nt 98 x64"
    while IFS=: read -r k name words words64; do
        read -ra args <<<"$words"
        run "$k" "$name" "${args[@]}"
        status=$?
        read -ra args <<<"${words64:-$words}"
        run x64 "$name.x64" "${args[@]}"
        status64=$?
        [ $status64 = $status ] || fail "'$words' ($k): exit status $status, x86-64 $status64"
        [ "$(grep -c $'\r$' "$name.raw")" = "$(wc -l <"$name.raw")" ] || fail "'$words': a line does not end in \\r\\n"
        cmp -s "$name.raw" "$name.x64.raw" || {
            fail "'$words' ($k): output differs from the x86-64 build"
            diff "$name.x64" "$name"
        }
    done <<EOF
nt:none:
nt:help:-h
nt:unknown:-x
nt:bad-class:-pz probe
nt:quiet-unknown:-q -x
nt:not-found:-pl -#99999999
nt:missing:-f nosuchprogram.exe
98:help-98:-h
98:not-found-98:-pl -#-99999999:-pl -#99999999
EOF
    grep -q 'Spawns' none || fail "no arguments: no usage"
    ;;
nt-names)
    # The same steps with both builds on the NT family print the same but for
    # the IDs and the build folder.
    used="nt x64"
    for k in nt x64; do
        rm -f ./*.txt
        start $k a.txt a && start $k b.txt b || { fail "$k: the probes did not start"; continue; }
        printf -v ids_$k %s "$a $b"
        run $k $k-list -l; expect $k-list 0 $?
        run $k $k-first -pl probe; expect $k-first 1 $?
        reported 0x40 a.txt b.txt && one_of_two 0x40 || fail "$k: -pl without -a"
        run $k $k-all -a -ph probe; expect $k-all 1 $?
        reported 0x80 a.txt && reported 0x80 b.txt || fail "$k: -a: not both read High"
        run $k $k-start-if-missing -s -pn probe.exe c.txt 2; expect $k-start-if-missing 1 $?
        reported 0x20 a.txt b.txt || fail "$k: -s: no probe reads Normal"
        [ -e c.txt ] && fail "$k: -s started a copy"
        for pid in "${probes[@]}"; do kill -KILL "$pid"; wait "$pid"; done 2>/dev/null
        probes=()
        # What differs by build: the IDs and the folder.
        use $k
        folder=$(winpath "$bin")
        for f in $k-list $k-first $k-all $k-start-if-missing; do
            sed -E "s/^ *[0-9]+ /<id> /; s/${folder//\\/\\\\}\\\\/<bin>\\\\/" "$f" >"$f.norm"
        done
        grep -v '^<id> ' "$k-list.norm" >"$k-around"
        grep -F '<bin>\probe.exe' "$k-list.norm" | sort >"$k-copies"
    done
    # Every process with its path.
    sed -n '/^Current Processes$/,/^No target specified\.$/p' nt-list | sed '1,2d;$d' >nt-lines
    cat nt-list
    [ "$(wc -l <nt-lines)" -ge 4 ] || fail "-l: fewer than 4 processes listed"
    grep -vE '^( {3}[0-9]| {2}[0-9]{2}| [0-9]{3}|[0-9]{4,}) (Normal  |Low     |High    |Realtime) [A-Za-z]:\\.+$' nt-lines &&
        fail "-l: these lines lack a path or are out of shape"
    use nt
    for id in $ids_nt; do
        grep -qxF "$(printf '%4d' "$id") Normal   $(winpath "$bin/probe.exe")" nt-list || fail "-l: probe $id not listed"
    done
    grep -qiE '^ *[0-9]+ Normal   C:\\windows\\system32\\services\.exe$' nt-list || fail "-l: no services.exe"
    for name in around copies first.norm all.norm start-if-missing.norm; do
        cmp -s "nt-$name" "x64-$name" || { fail "$name: differs from the x86-64 build"; diff "x64-$name" "nt-$name"; }
    done
    [ "$(grep -cxF '<bin>\probe.exe priority set to High' nt-all.norm)" = 2 ] || fail "-a: not two change lines"
    ;;
*)
    echo "unknown case $case"
    exit 2
    ;;
esac
exit $failed
