#!/usr/bin/env bash
# Shows pen_safe_crontab at work, inside a throw-away sandbox root: nothing of the real /etc, the
# real cron spool or real accounts is touched. Run as root on Debian 12: installs what is missing,
# builds into ./build, starts the sandbox daemon tvwrapd and runs the sandbox build of the front
# end as two accounts.
#
# Usage: scripts/demo.sh [--shell] [build-dir]
#   (no option)  the scripted story: list, install, edit, a refused edit and its retry, remove
#   --shell      an interactive shell as the restricted account, where `crontab` is the sandbox
#                front end: try `crontab -e` by hand (leave with `exit`)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
mode=story
if [[ ${1:-} == --shell ]]; then
    mode=shell
    shift
fi
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
home=/home/jail

mkdir -p "$root/etc" "$root/usr/bin" "$root/usr/local/tarvok/bin" "$root/usr/local/tarvok/var" \
    "$root/tmp" "$root$home"
chmod 1777 "$root/tmp"
chown "$restricted_uid:$restricted_uid" "$root$home"
cat >"$root/etc/passwd" <<PASSWD
root:x:0:0:root:/root:/bin/bash
jail:x:$restricted_uid:$restricted_uid:restricted hosting account:$root$home:$restricted_shell
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

# --- An interactive shell for trying it by hand ----------------------------------------------
if [[ $mode == shell ]]; then
    # The front end looks editors up only in the system directories below the root: offer the
    # real ones that are installed.
    for editor in vim.tiny vim.basic nano; do
        for dir in /usr/bin /bin; do
            [[ -x $dir/$editor ]] && ln -sf "$dir/$editor" "$root/usr/bin/$editor"
        done
    done
    [[ -e $root/usr/bin/vim.tiny ]] && ln -sf vim.tiny "$root/usr/bin/vi"
    [[ -e $root/usr/bin/vim.basic ]] && ln -sf vim.basic "$root/usr/bin/vim"
    cat >"$root/demo-rc" <<RC
export TARVOK_SANDBOX_ROOT='$root'
export PATH='$root/usr/local/tarvok/bin':/usr/bin:/bin
export HOME='$root$home'
PS1='jail@sandbox:\w\$ '
cd "\$HOME"
echo "You are the restricted account jail (uid $restricted_uid) in the sandbox $root."
echo "'crontab' is the sandbox front end: try crontab -l, crontab -e, crontab -r. Leave with exit."
echo "Editors in the sandbox (set EDITOR to one): \$(cd '$root/usr/bin' && ls | grep -vx crontab | tr '\n' ' ')"
RC
    chmod 0644 "$root/demo-rc"
    setpriv --reuid="$restricted_uid" --regid="$restricted_uid" --clear-groups \
        env -i TERM="${TERM:-xterm}" LANG="${LANG:-C.UTF-8}" bash --rcfile "$root/demo-rc" -i ||
        true
    exit 0
fi

# --- Helpers --------------------------------------------------------------------------------
step() { printf '\n== %s\n' "$*"; }
say() { printf '   %s\n' "$*"; }

# run_as UID ARG...: runs the front end as account UID with a clean environment and shows the
# command line, its output and its exit status. With demo_editor set, EDITOR names it.
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
    printf '$ [uid %s] %scrontab' "$1" "${demo_editor:+EDITOR=$demo_editor }"
    shift
    (($#)) && printf ' %q' "$@"
    return 0
}

run_quietly_as() {
    local uid=$1 status=0
    shift
    setpriv --reuid="$uid" --regid="$uid" --clear-groups \
        env -i TARVOK_SANDBOX_ROOT="$root" PATH="$root/usr/local/tarvok/bin:/usr/bin:/bin" \
        ${demo_editor:+EDITOR="$demo_editor"} crontab "$@" || status=$?
    printf '(exit status %s)\n' "$status"
}

# scripted_editor NAME SNIPPET...: a stand-in editor at the root's /usr/bin/NAME. Its pass N
# runs SNIPPET N on the file ("$1"), then shows what the file holds.
scripted_editor() {
    local name=$1 n=1
    shift
    {
        echo '#!/bin/sh'
        echo "count='$root$home/.$name.passes'"
        echo 'n=$(( $(cat "$count" 2>/dev/null || echo 0) + 1 )); echo $n >"$count"'
        # A later pass follows the retry question, whose answer (not a terminal) is not echoed.
        echo '[ "$n" -gt 1 ] && echo'
        echo 'echo "  [editor $(basename "$0"), pass $n, on $1]"'
        echo 'case $n in'
        for snippet in "$@"; do
            echo "$n) $snippet ;;"
            n=$((n + 1))
        done
        echo 'esac'
        echo "sed 's/^/  [editor]   | /' \"\$1\""
    } >"$root/usr/bin/$name"
    chmod 0755 "$root/usr/bin/$name"
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
say "line and ending with status 1; the stored crontab stays as it was:"
feed $'*/15 * * * * $HOME/bin/fetch-feeds --quiet\n61 * * * * $HOME/bin/rotate-logs\n' \
    "$restricted_uid"
run_as "$restricted_uid" -l
say "Editing it with crontab -e: the editor works on a private copy (mode 0600) of the current"
say "crontab, and what it saves is installed. VISUAL and EDITOR name commands that are looked up"
say "in the system directories only; here a scripted editor adds a line:"
scripted_editor add-job "printf '0 3 * * 1 \$HOME/bin/weekly-report\\n' >>\"\$1\""
demo_editor=add-job run_as "$restricted_uid" -e
say "Saving without a change installs nothing:"
scripted_editor look ":"
demo_editor=look run_as "$restricted_uid" -e
say "A refused edit and its retry: the first pass turns @daily into a minute of 61, the daemon"
say "refuses it and the question comes up. The answer 'y' comes from a here-string (<<< y); the"
say "editor then opens the same file, refused text and all, and the second pass mends the line:"
scripted_editor typo "sed -i 's/^@daily/61 * * * */' \"\$1\"" "sed -i 's/^61 \\*/59 */' \"\$1\""
demo_editor=typo run_as "$restricted_uid" -e <<<y
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

step "Try it by hand"
say "scripts/demo.sh --shell opens a shell as jail in a sandbox like this one, with crontab"
say "and the installed editors at hand."
