#!/usr/bin/env bash
# Shows pen_safe_crontab at work, inside a throw-away sandbox root: nothing of the real /etc, the
# real cron spool or real accounts is touched. Run as root on Debian 12: installs what is missing,
# builds into ./build, then runs the sandbox build of the front end as two accounts.
# Usage: scripts/demo.sh [build-dir]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}

"$here/scripts/deps.sh"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${JOBS:-$(nproc)}" --target pen_safe_crontab_sandbox

root=$(mktemp -d /tmp/pen-safe-demo-XXXXXX)
trap 'rm -rf "$root"' EXIT
chmod 0755 "$root"

# --- The sandbox root -----------------------------------------------------------------------
restricted_uid=4001 restricted_shell=/usr/local/tarvok/bin/noshell
ordinary_uid=4002 ordinary_shell=/bin/bash
frontend=/usr/local/tarvok/bin/pen_safe_crontab

mkdir -p "$root/etc" "$root/usr/bin" "$root/usr/local/tarvok/bin" "$root/usr/local/tarvok/var"
cat >"$root/etc/passwd" <<PASSWD
root:x:0:0:root:/root:/bin/bash
jail:x:$restricted_uid:$restricted_uid:restricted hosting account:/home/jail:$restricted_shell
plain:x:$ordinary_uid:$ordinary_uid:ordinary account:/home/plain:$ordinary_shell
PASSWD
printf '%s\n' 'root:*:19000:0:99999:7:::' 'jail:!:19000::::::' 'plain:!:19000::::::' \
    >"$root/etc/shadow"
chmod 0640 "$root/etc/shadow"

# The stand-in for the system's real crontab: shows how it was called.
cat >"$root/usr/bin/crontab" <<'STANDIN'
#!/bin/sh
echo "  [system crontab] started as $0 with $# argument(s):"
for argument in "$@"; do printf '  [system crontab]   <%s>\n' "$argument"; done
STANDIN
chmod 0755 "$root/usr/bin/crontab"

# Installed inside the root, where every account can start it.
install -m 0755 "$build/sandbox/bin/pen_safe_crontab" "$root$frontend"

# --- Helpers --------------------------------------------------------------------------------
step() { printf '\n== %s\n' "$*"; }
say() { printf '   %s\n' "$*"; }

# run_as UID ARG...: runs the front end as account UID with a clean environment and shows the
# command line, its output and its exit status.
run_as() {
    local uid=$1 status=0
    shift
    printf '$ [uid %s] crontab' "$uid"
    printf ' %q' "$@"
    printf '\n'
    setpriv --reuid="$uid" --regid="$uid" --clear-groups \
        env -i TARVOK_SANDBOX_ROOT="$root" PATH=/usr/bin:/bin \
        "$root$frontend" "$@" || status=$?
    printf '(exit status %s)\n' "$status"
}

# --- The show -------------------------------------------------------------------------------
step "Sandbox root $root"
say "jail  (uid $restricted_uid) logs in with $restricted_shell: a restricted account"
say "plain (uid $ordinary_uid) logs in with $ordinary_shell: an ordinary account"
say "/usr/bin/crontab is a stand-in that prints how it was called"

step "Self-check of the installed binary"
say "--bincheck confirms the C library it runs on is not older than the one it was built for;"
say "--basemem reports the resident memory of the process."
run_as "$restricted_uid" --bincheck
run_as "$restricted_uid" --basemem

step "A restricted account never reaches the system crontab"
say "Its crontab is served by the privileged daemon only; until that service is built, every"
say "run ends at the start-up fetch with a notice and exit status 1, whatever it asked for."
run_as "$restricted_uid" -l
run_as "$restricted_uid" -r

step "An ordinary account is handed over to the system crontab"
say "The process is replaced by /usr/bin/crontab, with every argument passed on unchanged."
run_as "$ordinary_uid" -l
run_as "$ordinary_uid" -u plain 'two words' '' -e
