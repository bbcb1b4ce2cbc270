#!/usr/bin/env bash
# Installs what is needed, builds, and runs the headless agent in the foreground with a
# throwaway HOME (and so a throwaway, empty certificate store). Ctrl+C stops it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/install-deps.sh"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"

demo_home="$root/build/demo-home"
mkdir -p "$demo_home"
echo "Agent on http://127.0.0.1:7681 (log: build/bin/log.txt). Try:"
echo "  curl -d '{\"action\":\"getVersion\"}' http://127.0.0.1:7681/"
exec env HOME="$demo_home" "$root/build/bin/quillmarkd"
