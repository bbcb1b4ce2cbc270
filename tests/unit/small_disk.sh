#!/bin/sh
# Runs the command with QUILLMARK_TEST_SMALL_DISK naming a fresh tmpfs of 1 MiB, mounted in a
# mount namespace of its own (and a user namespace, when not run as root).
set -e
if [ "$(id -u)" = 0 ]; then namespaces=-m; else namespaces=-Urm; fi
exec unshare $namespaces sh -c '
    disk=$(mktemp -d) && mount -t tmpfs -o size=1m quillmark-small-disk "$disk" &&
    QUILLMARK_TEST_SMALL_DISK=$disk "$@"; status=$?; umount "$disk"; rmdir "$disk"; exit $status
' sh "$@"
