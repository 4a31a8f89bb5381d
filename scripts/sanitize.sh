#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer into build-asan and runs
# the whole test suite there; any report fails the run. Usage: scripts/sanitize.sh
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build-asan
"$here/scripts/deps.sh"
# -O1 with line tables only: readable reports at half the compile time of -O2 -g; asserts stay on.
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
    -DTARVOK_SANITIZE=ON -DTARVOK_BENCH=OFF >/dev/null
cmake --build "$build" -j"${JOBS:-$(nproc)}"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
