#!/usr/bin/env bash
# Builds (Release) and runs every benchmark under bench/; each prints its own ratios against the
# baseline it is measured with. Usage: scripts/bench.sh [benchmark-name ...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build-bench
"$here/scripts/deps.sh"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVOK_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
names=("$@")
if ((${#names[@]} == 0)); then
    for b in "$build"/bench/*; do [ -f "$b" ] && [ -x "$b" ] && names+=("$(basename "$b")"); done
fi
for name in "${names[@]}"; do
    echo "== $name"
    "$build/bench/$name"
done
