#!/usr/bin/env bash
# Proves the README's two commands on a pristine Debian 12 root: builds a minimal root with
# debootstrap, clones the committed tree into it, and runs `scripts/demo.sh --cli`, then
# `scripts/test.sh`, inside it as a new user would, with nothing installed by hand. A tool for
# changes to dependencies or tests, not part of the test run. Needs root.
#
#   scripts/fresh-check.sh [--root DIR] [--demo-only] [--test-only]
#
# DIR (default /var/tmp/quillmark-fresh) is made anew on each run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
target=/var/tmp/quillmark-fresh
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
run_demo=1
run_tests=1
while [ $# -gt 0 ]; do
    case $1 in
        --root) target=$2; shift ;;
        --demo-only) run_tests=0 ;;
        --test-only) run_demo=0 ;;
        *) echo "usage: $0 [--root DIR] [--demo-only] [--test-only]" >&2; exit 64 ;;
    esac
    shift
done
[ "$(id -u)" -eq 0 ] || { echo "$0: debootstrap and chroot need root" >&2; exit 77; }

unmount_all() {
    # Deepest first, so that nested mounts come off before their parents.
    findmnt -rn -o TARGET | { grep "^$target/" || true; } | sort -r | xargs -r umount -l
}
trap unmount_all EXIT

command -v debootstrap >/dev/null || {
    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap
}
unmount_all
rm -rf "$target"
debootstrap --variant=minbase bookworm "$target" "$mirror"
cat >"$target/etc/apt/sources.list" <<EOF
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb ${mirror%/debian}/debian-security bookworm-security main
EOF
cp /etc/resolv.conf "$target/etc/resolv.conf"

# The tests start browsers, X servers and namespaces: the kernel's file systems, devices with
# their pseudo-terminals and shared memory, and a /tmp of its own.
mount -t proc proc "$target/proc"
mount --rbind /sys "$target/sys" && mount --make-rslave "$target/sys"
mount --rbind /dev "$target/dev" && mount --make-rslave "$target/dev"
mount -t tmpfs tmpfs "$target/tmp"
mount -t tmpfs tmpfs "$target/run"

# A clean clone of what is committed, as CI takes it, with nothing of this work tree's builds.
git clone -q --no-local "$here" "$target/work/quillmark"

steps=()
[ "$run_demo" -eq 1 ] && steps+=("scripts/demo.sh --cli")
[ "$run_tests" -eq 1 ] && steps+=("scripts/test.sh")
for step in "${steps[@]}"; do
    echo "== fresh root: $step"
    start=$(date +%s)
    chroot "$target" /usr/bin/env -i HOME=/root TERM=dumb CI=true LANG=C.UTF-8 \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        bash -c "cd /work/quillmark && $step"
    echo "== fresh root: $step passed in $(($(date +%s) - start)) s"
done
