#!/usr/bin/env bash
# Installs everything, checks that every C++ file is formatted, builds the agent twice (plain,
# and with AddressSanitizer and UndefinedBehaviorSanitizer) and runs every test in both builds;
# then builds the libFuzzer targets with clang and runs each for a short, fixed number of
# inputs (scripts/fuzz.sh runs them for longer).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/install-deps.sh"
# The Firefox tests' driver modules, from npm, at the versions of the lock file.
(cd "$root/tests/browser/firefox" && npm ci --no-audit --no-fund)

# Every tracked C++ file must read as clang-format (with .clang-format) writes it.
git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

jobs=$(nproc)
run_suite() {
    local dir=$1; shift
    cmake -S . -B "$dir" "$@"
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure --timeout 600)
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
LSAN_OPTIONS=suppressions="$root/tests/sanitizer/lsan.supp" \
    run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DQUILLMARK_SANITIZE=ON
CC=clang CXX=clang++ run_suite build-fuzz -DQUILLMARK_FUZZ=ON -DQUILLMARK_BUILD_SHELL=OFF \
    -DQUILLMARK_BUILD_TESTS=OFF
