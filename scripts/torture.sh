#!/usr/bin/env bash
# Runs the sandbox tvwrapd through the attacks it must withstand and prints one line per scenario:
# kill -9 during saves (torn files), a full disk (old crontab and backup intact), 20 accounts x 60
# idle connections (an honest client's fetch latency), a flood of saves (another account's fetch
# latency against idle), a flood of unfinished 1 MiB requests (the daemon's peak memory), restores
# of one account racing its saves (failed saves and restores), answers of 6 MiB held unread by
# 4 accounts x 64 connections (peak memory, another account's save).
# Needs root (clients run as the accounts they pose as; the full disk is a tmpfs in a private mount
# namespace). Everything runs below a temporary directory that is removed at the end; each scenario
# is bounded in time and the whole run is killed after 4 minutes. The scenarios take about 20
# seconds (the first run also builds the daemon).
# Usage: scripts/torture.sh [kill|disk|idle|flood|memory|restore|answers ...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$here/build-bench
if [ "$(id -u)" != 0 ]; then
    echo "torture.sh: run as root (clients switch to the test accounts)" >&2
    exit 2
fi
"$here/scripts/deps.sh"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVOK_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target tvwrapd_sandbox >/dev/null
work=$(mktemp -d /tmp/tvwrapd-torture.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 0755 "$work"
"${CXX:-g++}" -std=c++20 -O2 -pthread -o "$work/torture" "$here/scripts/torture.cpp"
"$work/torture" "$build/sandbox/bin/tvwrapd" "$work" "$@"
