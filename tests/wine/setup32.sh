#!/usr/bin/env bash
# Makes the host's Wine run 32-bit Windows programs, Debian's way: the i386
# architecture and wine32:i386 beside wine64. Decides on every call how i386
# programs run: natively where this kernel runs them itself, under qemu-i386
# user emulation otherwise (registered with binfmt_misc before the i386
# packages are installed, so that their own scripts can run). Later calls
# only decide again and mend what a reboot took away.
# Usage: setup32.sh [--quiet | --mode-only]
#   --mode-only: decide, print the mode and what would change in binfmt_misc,
#                and change nothing
#   HOISTER_I386_BASE: where qemu-i386 and the lock live (/var/cache/hoister)
# Test hooks, honoured only with --mode-only, so that they can steer the
# decision but never a real run:
#   HOISTER_I686_PROBE_RUNNER: a program that runs the probe (qemu-i386, say)
#   HOISTER_BINFMT_DIR: read the binfmt_misc entries from this folder
# Always prints one line "[i686 setup] mode: native|emulated (<reason>)".
# Exits 0 when 32-bit Wine is ready, 77 when it cannot be had on this machine
# (the reason on stderr), anything else when a step failed.
set -uo pipefail
base=${HOISTER_I386_BASE:-/var/cache/hoister}
qemu=$base/qemu-i386
quiet=0 mode_only=0
case ${1:-} in
--quiet) quiet=1 ;;
--mode-only) mode_only=1 ;;
esac
binfmt=/proc/sys/fs/binfmt_misc entry=hoister-i386
runner=()
if [ $mode_only = 1 ]; then
    binfmt=${HOISTER_BINFMT_DIR:-$binfmt}
    [ -n "${HOISTER_I686_PROBE_RUNNER:-}" ] && runner=("$HOISTER_I686_PROBE_RUNNER")
fi

log() { [ $quiet = 1 ] || say "$@"; }
say() { echo "[i686 setup] $*" >&2; }
die() { echo "[i686 setup] FAILED: $*" >&2; exit 1; }
impossible() { echo "[i686 setup] not possible here: $*" >&2; exit 77; }
quietly() { if [ $quiet = 1 ]; then "$@" >/dev/null 2>&1; else "$@" >/dev/null; fi; }

[ "$(id -u)" = 0 ] || impossible "needs root (apt-get, binfmt_misc)"
[ "$(uname -m)" = x86_64 ] || impossible "expects an x86-64 Linux host, not $(uname -m)"
for tool in dpkg apt-get dpkg-deb flock mount timeout as ld od; do
    command -v $tool >/dev/null || impossible "no $tool"
done

# The mirror this machine's apt already uses; no host name lives in the project.
mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null)
[ -n "$mirror" ] || mirror=$(awk '/^deb / {print $2; exit}' /etc/apt/sources.list 2>/dev/null)

mkdir -p "$base" || die "cannot create $base"

# The enabled binfmt_misc entries that would take FILE, one name a line.
# binfmt_misc is consulted before the kernel's own loaders. Entries that go by
# file name extension never take a program without one, as these are.
entries_taking() {
    local file=$1 e magic mask offset bytes i k
    [ "$(head -n 1 "$binfmt/status" 2>/dev/null)" = disabled ] && return 0
    for e in "$binfmt"/*; do
        case ${e##*/} in register | status) continue ;; esac
        [ -f "$e" ] && [ "$(head -n 1 "$e")" = enabled ] || continue
        magic=$(sed -n 's/^magic //p' "$e") mask=$(sed -n 's/^mask //p' "$e")
        offset=$(sed -n 's/^offset //p' "$e")
        [ -n "$magic" ] || continue
        bytes=$(od -An -v -tx1 -j "${offset:-0}" -N $((${#magic} / 2)) "$file" | tr -d ' \n')
        [ ${#bytes} = ${#magic} ] || continue
        for ((i = 0; i < ${#magic}; i += 2)); do
            k=${mask:i:2}
            (((0x${bytes:i:2} ^ 0x${magic:i:2}) & 0x${k:-ff})) && continue 2
        done
        echo "${e##*/}"
    done
}
interpreter_of() { sed -n 's/^interpreter //p' "$binfmt/$1"; }
entry_state() { head -n 1 "$binfmt/$entry" 2>/dev/null; }

# Sets mode (native or emulated) and reason. The probe is a static i386
# program that exits with status 7, with byte 8 of its ELF header
# (EI_ABIVERSION, which the kernel's loader ignores) set to 1, which no binfmt
# entry for i386 programs accepts: the kernel itself runs it or refuses it.
# Two unaltered copies, executable and position-independent, stand for the
# ordinary i386 programs (Wine's among them), to find the entries that would
# take those.
decide_mode() {
    local dir text status name
    mode=emulated reason=
    dir=$(mktemp -d "$base/probe.XXXXXX") || die "cannot create a folder in $base"
    printf '.globl _start\n_start:\n\tmovl $1, %%eax\n\tmovl $7, %%ebx\n\tint $0x80\n' >"$dir/probe.s"
    if ! as --32 -o "$dir/probe.o" "$dir/probe.s" || ! ld -m elf_i386 -o "$dir/exec" "$dir/probe.o" ||
        ! cp "$dir/exec" "$dir/probe" || ! cp "$dir/exec" "$dir/dyn" ||
        ! printf '\001' | dd of="$dir/probe" bs=1 seek=8 conv=notrunc status=none ||
        ! printf '\003' | dd of="$dir/dyn" bs=1 seek=16 conv=notrunc status=none; then
        rm -rf "$dir"
        die "cannot build the i386 probe (as --32, ld -m elf_i386)"
    fi
    name=$(entries_taking "$dir/probe" | head -n 1)
    if [ -n "$name" ]; then
        reason="the binfmt entry $name takes even the i386 probe, so the kernel cannot be asked"
    else
        text=$("${runner[@]}" "$dir/probe" 2>&1)
        status=$?
        if [ $status = 7 ]; then
            name=$({ entries_taking "$dir/exec"; entries_taking "$dir/dyn"; } | grep -vx "$entry" | head -n 1)
            if [ -n "$name" ]; then
                reason="the kernel runs 32-bit programs, but the binfmt entry $name sends them to $(interpreter_of "$name")"
            else
                mode=native reason="the kernel ran the i386 probe itself"
            fi
        elif [[ $text == *"Exec format error"* ]]; then
            reason="the kernel runs no 32-bit programs"
        else
            reason="the i386 probe did not exit with 7 (status $status${text:+: $text})"
        fi
    fi
    rm -rf "$dir"
}

if [ $mode_only = 1 ]; then
    decide_mode
    say "mode: $mode ($reason)"
    if [ $mode = native ]; then
        [ "$(entry_state)" = enabled ] && say "binfmt: would disable our entry $entry" ||
            say "binfmt: no entry of ours is enabled; nothing to change"
    else
        say "binfmt: would register or enable our entry $entry for $qemu"
    fi
    exit 0
fi

# One set-up at a time: binfmt_misc and dpkg are the whole machine's.
exec 9>"$base/lock"
timeout 1800 flock 9 || die "waited too long for another set-up"

binfmt_mounted=1
mountpoint -q $binfmt || mount -t binfmt_misc binfmt_misc $binfmt 2>/dev/null || binfmt_mounted=0
decide_mode
say "mode: $mode ($reason)"

if [ $mode = native ]; then
    # 1 and 2, native: no qemu; our entry, if an earlier run made one, must
    # not send i386 programs to it. Other entries are not ours to touch
    # (none of them takes i386 programs, or the mode would be emulated).
    if [ "$(entry_state)" = enabled ]; then
        echo 0 >$binfmt/$entry || die "cannot disable the binfmt entry $binfmt/$entry"
        say "binfmt: disabled our entry $entry (echo 1 > $binfmt/$entry enables it again)"
    else
        log "binfmt: no entry of ours is enabled; nothing to change"
    fi
else
    # 1. qemu-i386 10.x from bookworm-backports (Debian 12's own 7.2 is far
    #    too slow for Wine), fetched with a private apt state and only unpacked.
    if [ ! -x "$qemu" ]; then
        [ -n "$mirror" ] || die "no Debian mirror in this machine's apt configuration"
        log "fetching qemu-i386 (bookworm-backports)"
        apt=$base/apt
        rm -rf "$apt" && mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/x" || die mkdir
        echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror bookworm-backports main" \
            >"$apt/sources.list"
        opts=(-o Dir::Etc::sourcelist="$apt/sources.list" -o Dir::Etc::sourceparts=-
              -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" -o APT::Architectures::=amd64 -o APT::Sandbox::User=root)
        quietly timeout 300 apt-get "${opts[@]}" update || die "apt-get update (backports)"
        (cd "$apt" && quietly timeout 300 apt-get "${opts[@]}" download -t bookworm-backports qemu-user) ||
            die "downloading qemu-user"
        timeout 120 dpkg-deb -x "$apt"/qemu-user_*.deb "$apt/x" || die "unpacking qemu-user"
        "$apt/x/usr/bin/qemu-i386" --version | grep -qE 'version (9|[1-9][0-9])\.' || die "qemu-i386 older than 9"
        install -m 755 "$apt/x/usr/bin/qemu-i386" "$qemu.new" && mv -f "$qemu.new" "$qemu" || die "installing $qemu"
        rm -rf "$apt"
    fi

    # 2. i386 ELF programs run through it (F: the interpreter is opened now).
    #    Our own entry; other entries are left alone.
    [ $binfmt_mounted = 1 ] || impossible "binfmt_misc cannot be mounted"
    if ! grep -qx "interpreter $qemu" $binfmt/$entry 2>/dev/null; then
        [ -e $binfmt/$entry ] && echo -1 >$binfmt/$entry
        magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
        mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
        echo ":$entry:M::$magic:$mask:$qemu:F" >$binfmt/register 2>/dev/null ||
            impossible "binfmt_misc refuses the i386 entry"
    elif [ "$(entry_state)" != enabled ]; then
        # Disabled by a native run (the kernel or the entries have changed since).
        echo 1 >$binfmt/$entry || die "cannot enable the binfmt entry $binfmt/$entry"
        say "binfmt: enabled our entry $entry again"
    fi
fi

# 3. wine32:i386 beside the host's wine64, of the same version.
if ! dpkg-query -W -f '${Status}' wine32:i386 2>/dev/null | grep -q 'ok installed'; then
    log "installing wine32:i386 ($mode)"
    export DEBIAN_FRONTEND=noninteractive
    dpkg --add-architecture i386 || die "dpkg --add-architecture i386"
    # An interrupted install leaves dpkg half way; finish that first.
    quietly timeout 1800 dpkg --configure -a || die "dpkg --configure -a"
    quietly timeout 600 apt-get update -q || die "apt-get update"
    quietly timeout 1800 apt-get install -y -q --no-install-recommends wine32:i386 || die "installing wine32:i386"
fi
[ -x /usr/lib/wine/wine ] || die "no /usr/lib/wine/wine after installing wine32:i386"
log "ready: /usr/lib/wine/wine"
exit 0
