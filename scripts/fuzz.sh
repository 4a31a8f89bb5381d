#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and runs
# each for a bounded time. Usage: scripts/fuzz.sh [seconds-per-target, default 60]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=$here/build-fuzz
"$here/scripts/deps.sh"
CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DTARVOK_FUZZ=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
for target in "$build"/fuzz/*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus=$(mktemp -d)
    seeds=()
    [ -d "$here/fuzz/corpus/$name" ] && seeds+=("$here/fuzz/corpus/$name")
    dict=()
    [ -f "$here/fuzz/$name.dict" ] && dict+=("-dict=$here/fuzz/$name.dict")
    log=$(mktemp)
    echo "== $name (${seconds}s)"
    if ! "$target" -max_total_time="$seconds" -print_final_stats=0 "${dict[@]}" "$corpus" \
        "${seeds[@]}" >"$log" 2>&1; then
        # The report and the reproducer's name are near the end.
        tail -n 80 "$log"
        rm -rf "$corpus" "$log"
        echo "== $name failed" >&2
        exit 1
    fi
    tail -n 3 "$log"
    rm -rf "$corpus" "$log"
done
