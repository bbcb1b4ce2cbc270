#!/usr/bin/env bash
# The demo: installs what is needed, builds, makes a throwaway certificate store under
# build/demo (never your own ~/.pki/nssdb), starts the headless agent on it, serves the demo
# page on http://127.0.0.1:8480/ and prints its address. Without a display (or with --cli)
# it also runs the page's round trip from the command line and prints the verified result.
# Options are passed to scripts/demo.py: --cli, --port N, --text TEXT.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/install-deps.sh"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)"

exec /usr/bin/python3 "$root/scripts/demo.py" --build-dir "$root/build" "$@"
