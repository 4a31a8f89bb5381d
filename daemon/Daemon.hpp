// Tvwrapd::Daemon: the tvwrapd program: its few options, its signals, and the hand-off to the
// server. It runs in the foreground (systemd or another supervisor keeps it) until SIGTERM or
// SIGINT, then finishes the requests it has taken in, removes the socket it created and exits 0.
// No option moves a fixed path.
#pragma once

namespace Tvwrapd::Daemon {

inline constexpr const char* USAGE =
    "Usage: tvwrapd [--help | --version]\n"
    "       tvwrapd --restore ACCOUNT\n"
    "       tvwrapd --check [--policy FILE] [--user NAME] FILE\n"
    "       tvwrapd --audit [--policy FILE]\n"
    "Serves crontab fetch and install requests of restricted accounts on\n"
    "/usr/local/tarvok/var/tvwrapd.sock (or on a socket handed over by systemd),\n"
    "keeping crontabs in /var/spool/cron/crontabs. Runs in the foreground until\n"
    "SIGTERM or SIGINT; logs one line per request to standard error.\n"
    "--restore puts back the crontab ACCOUNT had before its last change or\n"
    "removal (the backup generation), as if ACCOUNT saved it, and exits.\n"
    "--check tells whether a save of FILE (- for standard input) would be accepted\n"
    "under the policy /etc/tvwrapd/policy.conf (or --policy FILE) for NAME (the\n"
    "policy's defaults without --user): FILE:LINE: reason for each problem, exit 0\n"
    "accepted, 1 refused, 2 usage or policy file error. --audit lists the accounts\n"
    "whose stored crontab breaks the policy, the same way (exit 1 if any).\n";

int real_main(int argc, char** argv);

}  // namespace Tvwrapd::Daemon
