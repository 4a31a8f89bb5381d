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
    if [[ -n $daemon_pid ]]; then
        kill "$daemon_pid" 2>/dev/null || true
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

# Installed inside the root, where every account can start it, and reachable as `crontab` from
# a directory of its own, so that its messages name it as users would call it.
install -m 0755 "$build/sandbox/bin/pen_safe_crontab" "$root$frontend"
mkdir -p "$root/demo-bin"
ln -s "$root$frontend" "$root/demo-bin/crontab"

# The privileged daemon, listening at the fixed socket path inside the root.
TARVOK_SANDBOX_ROOT=$root "$build/sandbox/bin/tvwrapd" 2>"$root/tvwrapd.log" &
daemon_pid=$!
for _ in $(seq 100); do
    grep -q 'tvwrapd serving' "$root/tvwrapd.log" 2>/dev/null && break
    sleep 0.1
done
grep -q 'tvwrapd serving' "$root/tvwrapd.log" || { cat "$root/tvwrapd.log" >&2; exit 1; }

# --- An interactive shell for trying it by hand ----------------------------------------------
if [[ $mode == shell ]]; then
    # The front end finds editors only in the system directories under the root: offer the
    # real ones that are installed.
    for editor in vim.tiny vim.basic nano; do
        [[ -x /usr/bin/$editor ]] && ln -sf "/usr/bin/$editor" "$root/usr/bin/$editor"
        [[ -x /bin/$editor ]] && ln -sf "/bin/$editor" "$root/usr/bin/$editor"
    done
    [[ -e $root/usr/bin/vim.tiny ]] && ln -sf vim.tiny "$root/usr/bin/vi"
    [[ -e $root/usr/bin/vim.basic ]] && ln -sf vim.basic "$root/usr/bin/vim"
    cat >"$root/demo-rc" <<RC
export TARVOK_SANDBOX_ROOT='$root'
export PATH='$root/demo-bin':/usr/bin:/bin
export HOME='$root$home'
PS1='jail@sandbox:\w\$ '
cd "\$HOME"
echo "You are the restricted account jail (uid $restricted_uid) in the sandbox $root."
echo "'crontab' is the sandbox front end: try crontab -l, crontab -e, crontab -r. Leave with exit."
echo "Editors found in the sandbox: \$(cd '$root/usr/bin' && ls | grep -v '^crontab\$' | tr '\n' ' ')"
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

# run_as UID [VAR=value...] -- ARG...: runs the front end as account UID with a clean
# environment plus the given variables, standard input passed on; shows the command line, its
# output and its exit status.
run_as() {
    local uid=$1 status=0
    shift
    local vars=()
    while [[ $1 != -- ]]; do
        vars+=("$1")
        shift
    done
    shift
    printf '$ [uid %s] %scrontab' "$uid" "${vars[*]:+${vars[*]} }"
    printf ' %q' "$@"
    printf '\n'
    setpriv --reuid="$uid" --regid="$uid" --clear-groups \
        env -i TARVOK_SANDBOX_ROOT="$root" PATH="$root/demo-bin:/usr/bin:/bin" "${vars[@]}" \
        crontab "$@" || status=$?
    printf '(exit status %s)\n' "$status"
}

# A scripted editor in the sandbox's /usr/bin. Pass N runs line N of the given shell snippets
# on the file ("$1"), then shows what the file holds.
scripted_editor() {
    local name=$1
    shift
    {
        echo '#!/bin/sh'
        echo "count='$root$home/.$name.passes'"
        echo 'n=$(( $(cat "$count" 2>/dev/null || echo 0) + 1 )); echo $n >"$count"'
        echo 'echo "  [editor $0, pass $n, file $1]"'
        echo 'case $n in'
        local n=1
        for body in "$@"; do
            echo "$n) $body ;;"
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
say "tvwrapd (pid $daemon_pid) keeps the crontabs in $root/var/spool/cron/crontabs"

step "Self-check of the installed binary"
say "--bincheck confirms the C library it runs on is not older than the one it was built for;"
say "--basemem reports the resident memory of the process."
run_as "$restricted_uid" -- --bincheck
run_as "$restricted_uid" -- --basemem

step "An ordinary account is handed over to the system crontab"
say "The process is replaced by /usr/bin/crontab, with every argument passed on unchanged."
run_as "$ordinary_uid" -- -l
run_as "$ordinary_uid" -- -u plain 'two words' '' -e

step "A restricted account's crontab is served by the privileged daemon"
say "Nothing yet: listing shows an empty crontab."
run_as "$restricted_uid" -- -l
say "Installing from standard input (the daemon checks every line the way cron reads it):"
printf '# backups\n30 2 * * * /home/jail/bin/backup\n' | run_as "$restricted_uid" -- -
run_as "$restricted_uid" -- -l

step "Editing with crontab -e"
say "The editor runs on a private copy (mode 0600) of the current crontab; what it saves is"
say "installed. VISUAL and EDITOR are looked up by name in the system directories only."
scripted_editor add-job "printf '*/15 * * * * /home/jail/bin/poll\\n' >>\"\$1\""
run_as "$restricted_uid" EDITOR=add-job -- -e
run_as "$restricted_uid" -- -l

step "A refused edit, retried"
say "The first pass saves a minute of 61; the daemon refuses it and the question comes up."
say "Answered 'y' (from a here-string), the editor opens the same file again, refused text"
say "and all, and the second pass mends the line."
scripted_editor typo "sed -i 's/^30 2/61 2/' \"\$1\"" "sed -i 's/^61 2/31 2/' \"\$1\""
run_as "$restricted_uid" EDITOR=typo -- -e <<<y
run_as "$restricted_uid" -- -l

step "Removing the crontab"
run_as "$restricted_uid" -- -r
run_as "$restricted_uid" -- -l

step "What the daemon noted"
sed 's/^/   /' "$root/tvwrapd.log"
say
say "Try it by hand: scripts/demo.sh --shell"
