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
[ "$(id -u)" -eq 0 ] || { echo "$0: debootstrap and the root's mounts need root" >&2; exit 77; }
if findmnt -rn -o TARGET | grep -q "^$target/"; then
    echo "$0: something is still mounted below $target; unmount it first" >&2
    exit 1
fi

command -v debootstrap >/dev/null || {
    apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap
}
rm -rf --one-file-system "$target"
debootstrap --variant=minbase bookworm "$target" "$mirror"
cat >"$target/etc/apt/sources.list" <<SOURCES
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb ${mirror%/debian}/debian-security bookworm-security main
SOURCES
cp /etc/resolv.conf "$target/etc/resolv.conf"
# A network that reaches the package registries through a TLS-inspecting proxy has its own CA
# in this machine's local store: the root trusts it too (ca-certificates adds it when the
# project's scripts install it), and so does npm's Node, which reads no system store by itself.
mkdir -p "$target/usr/local/share/ca-certificates"
cp /usr/local/share/ca-certificates/*.crt "$target/usr/local/share/ca-certificates/" 2>/dev/null || true

# A clean clone of what is committed, as CI takes it, with nothing of this work tree's builds.
git clone -q --no-local "$here" "$target/work/quillmark"

# Runs a command in the root, in a mount and process namespace of its own (its mounts and
# processes go with it, and its agents never see the host's): the kernel's file systems, the
# host's devices, a /tmp and /run of its own. The root becomes the namespace's root with
# pivot_root rather than chroot, as the tests make user and mount namespaces, which the kernel
# refuses to a chrooted process.
run_in_root() {
    unshare --mount --pid --propagation private --fork -- /bin/bash -euc '
        root=$1 step=$2
        mount --bind "$root" "$root"
        mount -t proc proc "$root/proc"
        mount --rbind /sys "$root/sys"
        mount --rbind /dev "$root/dev"
        mount -t tmpfs tmpfs "$root/tmp"
        mount -t tmpfs tmpfs "$root/run"
        mkdir -p "$root/.host"
        cd "$root"
        pivot_root . .host
        cd /
        umount -l /.host
        exec /usr/bin/env -i HOME=/root TERM=dumb CI=true LANG=C.UTF-8 \
            NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            /bin/bash -c "cd /work/quillmark && $step"' run_in_root "$target" "$1"
}

steps=()
[ "$run_demo" -eq 1 ] && steps+=("scripts/demo.sh --cli")
[ "$run_tests" -eq 1 ] && steps+=("scripts/test.sh")
for step in "${steps[@]}"; do
    echo "== fresh root: $step"
    start=$(date +%s)
    run_in_root "$step"
    echo "== fresh root: $step passed in $(($(date +%s) - start)) s"
done
