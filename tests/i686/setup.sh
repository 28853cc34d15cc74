#!/usr/bin/env bash
# Makes, once, an i386 Debian 12 root whose programs run under qemu-i386 user
# emulation, with Debian's 32-bit Wine in it; later calls only check it and
# remount what a reboot took away. Usage: setup.sh [--quiet]
#   HOISTER_I386_BASE: where the root and its tools live (/var/cache/hoister)
# Exits 0 when the root is ready, 77 when it cannot be made on this machine
# (the reason on stderr), anything else when a step failed.
#
# Each stage leaves a stamp file only once it has succeeded, so an interrupted
# run redoes the unfinished stage. The host's own Wine and dpkg architectures
# are never touched: qemu is unpacked, not installed, and everything 32-bit
# lives inside the root.
set -uo pipefail
base=${HOISTER_I386_BASE:-/var/cache/hoister}
root=$base/i386root qemu=$base/qemu-i386 stamps=$base/stamps
quiet=0
[ "${1:-}" = --quiet ] && quiet=1
binfmt=/proc/sys/fs/binfmt_misc entry=hoister-i386

log() { [ $quiet = 1 ] || echo "[i686 setup] $*" >&2; }
die() { echo "[i686 setup] FAILED: $*" >&2; exit 1; }
impossible() { echo "[i686 setup] not possible here: $*" >&2; exit 77; }
stamp() { touch "$stamps/$1"; }
done_() { [ -f "$stamps/$1" ]; }
quietly() { if [ $quiet = 1 ]; then "$@" >/dev/null 2>&1; else "$@" >/dev/null; fi; }

[ "$(id -u)" = 0 ] || impossible "needs root (chroot, mount, binfmt_misc)"
[ "$(uname -m)" = x86_64 ] || impossible "expects an x86-64 Linux host, not $(uname -m)"
for tool in debootstrap chroot mount flock dpkg-deb apt-get timeout; do
    command -v $tool >/dev/null || impossible "no $tool"
done

# The mirror this machine's apt already uses; no host name lives in the project.
mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null)
[ -n "$mirror" ] || mirror=$(awk '/^deb / {print $2; exit}' /etc/apt/sources.list 2>/dev/null)

mkdir -p "$stamps" || die "cannot create $base"
# One set-up at a time: other builds on this machine may share the root.
exec 9>"$base/lock"
timeout 1800 flock 9 || die "waited too long for another set-up"

# Unmounts what lies below the root, deepest first, never following a path
# outside it. The rbind of /dev was made a slave, so this does not reach the
# host's own /dev mounts.
unmount_root() {
    local m
    awk -v r="$root/" 'index($5, r) == 1 {print $5}' /proc/self/mountinfo | sort -r |
        while read -r m; do umount -l "$m" || return 1; done
}

mount_root() {
    mountpoint -q "$root/proc" || mount -t proc proc "$root/proc" || return 1
    mountpoint -q "$root/sys" || mount -t sysfs sysfs "$root/sys" || return 1
    if ! mountpoint -q "$root/dev"; then
        mount --rbind /dev "$root/dev" && mount --make-rslave "$root/dev" || return 1
    fi
}

# 1. qemu-i386 10.x from bookworm-backports (Debian 12's own 7.2 is far too
#    slow for Wine), fetched with a private apt state and only unpacked.
if ! done_ qemu || [ ! -x "$qemu" ]; then
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
    stamp qemu
fi

# 2. i386 ELF programs run through it. F opens the interpreter now, so it works
#    inside the root too. Our own entry; other entries are left alone.
mountpoint -q $binfmt || mount -t binfmt_misc binfmt_misc $binfmt 2>/dev/null ||
    impossible "binfmt_misc cannot be mounted"
if ! grep -qx "interpreter $qemu" $binfmt/$entry 2>/dev/null; then
    [ -e $binfmt/$entry ] && echo -1 >$binfmt/$entry
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    echo ":$entry:M::$magic:$mask:$qemu:F" >$binfmt/register 2>/dev/null ||
        impossible "binfmt_misc refuses the i386 entry"
fi

# 3. The root: debootstrap's first stage here, its second stage emulated.
if ! done_ root; then
    [ -n "$mirror" ] || die "no Debian mirror in this machine's apt configuration"
    rm -f "$stamps/wine"
    unmount_root || die "cannot unmount what an earlier run left in $root"
    rm -rf --one-file-system "$root" || die "cannot remove an unfinished $root"
    log "debootstrap, first stage (about a minute)"
    quietly timeout 900 debootstrap --arch=i386 --foreign --variant=minbase bookworm "$root" "$mirror" ||
        die "debootstrap, first stage"
    log "debootstrap, second stage, emulated (about two minutes)"
    quietly timeout 1800 chroot "$root" /debootstrap/debootstrap --second-stage ||
        die "debootstrap, second stage"
    stamp root
fi
mount_root || die "cannot mount proc, sys and dev in $root"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null

# 4. 32-bit Wine in the root.
if ! done_ wine; then
    log "installing wine32 in the root, emulated (about two minutes)"
    in_root=(timeout 1800 chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin
             DEBIAN_FRONTEND=noninteractive)
    # An interrupted install leaves dpkg half way; finish that first.
    quietly "${in_root[@]}" dpkg --configure -a || die "dpkg --configure -a in the root"
    quietly "${in_root[@]}" apt-get update -q || die "apt-get update in the root"
    quietly "${in_root[@]}" apt-get install -y -q --no-install-recommends wine wine32 ||
        die "installing wine32 in the root"
    rm -rf "$root/var/cache/apt/archives/"*.deb
    stamp wine
fi
[ -x "$root/usr/lib/wine/wine" ] || die "no wine in $root; remove $stamps/wine to reinstall"
log "ready: $root"
exit 0
