#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need. Each file in
# scripts/packages/ lists the packages of one part of the project, one a line.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
packages=$(sed -e 's/#.*//' "$here"/packages/*.txt | tr -s ' \n' '\n' | sort -u | grep -v '^$')
# A node from elsewhere (NodeSource, for one) brings its own npm and conflicts with Debian's.
if command -v npm >/dev/null; then
    packages=$(echo "$packages" | grep -vx npm)
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
# shellcheck disable=SC2086
$sudo apt-get install -y -q --no-install-recommends $packages
