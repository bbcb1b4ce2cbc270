#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/) and runs each for a while, longer than
# the fixed short run of scripts/test.sh. Inputs that widen coverage are kept in
# build-fuzz/fuzz/corpus/<target> (copy the useful ones to fuzz/corpus/<target>); an input
# that crashes a target is written to build-fuzz/fuzz/crashes/ and stops the script. The target
# whole_request runs the agent itself (port 7681) and sends it mutated whole requests.
#
# Usage: scripts/fuzz.sh [seconds per target] [target...]   (default 60 s, every target)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-60}
shift || true

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DQUILLMARK_FUZZ=ON -DQUILLMARK_BUILD_SHELL=OFF \
    -DQUILLMARK_BUILD_TESTS=OFF
cmake --build build-fuzz -j "$(nproc)"

targets=("$@")
[ ${#targets[@]} -gt 0 ] || mapfile -t targets < <(ls fuzz/corpus; echo whole_request)
mkdir -p build-fuzz/fuzz/crashes
for target in "${targets[@]}"; do
    echo "== $target: ${seconds}s"
    if [ "$target" = whole_request ]; then
        # The sanitized agent on port 7681, fed mutated whole requests over a real socket.
        QUILLMARKD=build-fuzz/bin/quillmarkd PYTHONPATH=tests/lib \
            QUILLMARK_BUILD_DIR=build-fuzz/fuzz/crashes \
            /usr/bin/python3 fuzz/whole_request_fuzzer.py --seconds "$seconds" --seed "$RANDOM"
        continue
    fi
    found="build-fuzz/fuzz/corpus/$target"
    mkdir -p "$found"
    "build-fuzz/bin/$target" -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 \
        -artifact_prefix=build-fuzz/fuzz/crashes/"$target"- "$found" "fuzz/corpus/$target"
done
