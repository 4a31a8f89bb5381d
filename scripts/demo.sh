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
cmake --build "$build" -j"${JOBS:-$(nproc)}" --target pen_safe_crontab_sandbox tvwrapd_sandbox

root=$(mktemp -d /tmp/pen-safe-demo-XXXXXX)
daemon_pid=
cleanup() {
    if [ -n "$daemon_pid" ]; then
        kill -TERM "$daemon_pid" 2>/dev/null || true
        wait "$daemon_pid" 2>/dev/null || true
    fi
    rm -rf "$root"
}
trap cleanup EXIT
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

# Installed inside the root, where every account can start it, and found as `crontab` first in
# the accounts' PATH: messages begin with the name it was started as.
install -m 0755 "$build/sandbox/bin/pen_safe_crontab" "$root$frontend"
ln -s pen_safe_crontab "$root/usr/local/tarvok/bin/crontab"

# The reference daemon, serving the root's socket and keeping crontabs in the root's spool; one
# audit line per request goes to its log.
env -i TARVOK_SANDBOX_ROOT="$root" "$build/sandbox/bin/tvwrapd" 2>"$root/tvwrapd.log" &
daemon_pid=$!
for _ in $(seq 100); do
    grep -q 'tvwrapd serving' "$root/tvwrapd.log" && break
    sleep 0.05
done
grep -q 'tvwrapd serving' "$root/tvwrapd.log" || { cat "$root/tvwrapd.log"; exit 1; }

# --- Helpers --------------------------------------------------------------------------------
step() { printf '\n== %s\n' "$*"; }
say() { printf '   %s\n' "$*"; }

# run_as UID ARG...: runs the front end as account UID with a clean environment and shows the
# command line, its output and its exit status.
run_as() {
    show_command "$@"
    printf '\n'
    run_quietly_as "$@"
}

# feed TEXT UID ARG...: run_as with TEXT on standard input, shown as a here-document.
feed() {
    local text=$1
    shift
    show_command "$@"
    printf " <<'END'\n%sEND\n" "$text"
    printf '%s' "$text" | run_quietly_as "$@"
}

show_command() {
    printf '$ [uid %s] crontab' "$1"
    shift
    (($#)) && printf ' %q' "$@"
    return 0
}

run_quietly_as() {
    local uid=$1 status=0
    shift
    setpriv --reuid="$uid" --regid="$uid" --clear-groups \
        env -i TARVOK_SANDBOX_ROOT="$root" PATH="$root/usr/local/tarvok/bin:/usr/bin:/bin" \
        crontab "$@" || status=$?
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

step "A restricted account's crontab is kept by the privileged daemon"
say "The front end never touches cron files: every run first fetches the crontab from tvwrapd"
say "over its socket, which knows the account from the connection alone."
say "No crontab yet, so the listing is empty:"
run_as "$restricted_uid" -l
say "Installing one from standard input:"
feed $'MAILTO=""\n*/15 * * * * $HOME/bin/fetch-feeds --quiet\n@daily $HOME/bin/rotate-logs\n' \
    "$restricted_uid"
run_as "$restricted_uid" -l
say "The daemon checks a new crontab as cron would read it and refuses a bad one, naming the"
say "line; the stored crontab stays as it was:"
feed $'*/15 * * * * $HOME/bin/fetch-feeds --quiet\n61 * * * * $HOME/bin/rotate-logs\n' \
    "$restricted_uid"
run_as "$restricted_uid" -l
say "Removing it; the listing is empty again:"
run_as "$restricted_uid" -r
run_as "$restricted_uid" -l
say "What the daemon did, from its audit log:"
grep -o 'uid=.*' "$root/tvwrapd.log" | sed 's/^/   /'

step "An ordinary account is handed over to the system crontab"
say "The process is replaced by /usr/bin/crontab, with every argument passed on unchanged."
run_as "$ordinary_uid" -l
run_as "$ordinary_uid" -u plain 'two words' '' -e
