// Tvwrapd::Daemon: the tvwrapd program: its few options, its signals, and the hand-off to the
// server. It runs in the foreground (systemd or another supervisor keeps it) until SIGTERM or
// SIGINT, then finishes the requests it has taken in, removes the socket it created and exits 0.
// No option moves a fixed path.
#pragma once

namespace Tvwrapd::Daemon {

inline constexpr const char* USAGE =
    "Usage: tvwrapd [--help | --version]\n"
    "       tvwrapd --restore ACCOUNT\n"
    "Serves crontab fetch and install requests of restricted accounts on\n"
    "/usr/local/tarvok/var/tvwrapd.sock (or on a socket handed over by systemd),\n"
    "keeping crontabs in /var/spool/cron/crontabs. Runs in the foreground until\n"
    "SIGTERM or SIGINT; logs one line per request to standard error.\n"
    "--restore puts back the crontab ACCOUNT had before its last change or\n"
    "removal (the backup generation), as if ACCOUNT saved it, and exits.\n";

int real_main(int argc, char** argv);

}  // namespace Tvwrapd::Daemon
