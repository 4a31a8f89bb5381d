// The command front end: everything pen_safe_crontab does after the system root is settled.
#pragma once

namespace PenSafeCrontab {

/// The whole main flow; returns the exit status (or throws Tarvok::Process::ExitRequest).
int real_main(int argc, char** argv);

}  // namespace PenSafeCrontab
