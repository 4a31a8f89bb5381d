#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine (run as root); installs only
# what is missing.
set -euo pipefail
packages=(g++ cmake ninja-build rapidjson-dev libgtest-dev libgmock-dev libbenchmark-dev
          faketime  # runs Debian's cron over chosen midnights: which days it runs a job on
          clang libclang-rt-14-dev tmux vim-tiny python3 file man-db groff-base
          systemd  # systemd-analyze checks the daemon's units; a container boots it
          cron  # Debian's own crontab: the baseline of the listing benchmark, and the package
                # the relink is tested against in a throwaway root
          dpkg-dev lintian devscripts mandoc)  # Debian's judges of the package: its
                # dependencies, lintian, hardening-check, the manual pages' lint
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # No service starts while installing (cron's would), unless the machine has its own policy.
    policy=/usr/sbin/policy-rc.d
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 0755 "$policy"
        trap 'rm -f "$policy"' EXIT
    fi
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
