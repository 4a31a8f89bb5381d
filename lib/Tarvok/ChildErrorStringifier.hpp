// Tarvok::ChildErrorStringifier: a short description of how a child process ended.
//
// Given a wait status as waitpid() reports it (exit code in bits 8 to 15, terminating signal in
// bits 0 to 6, core-dump flag in bit 7), terse_autopsy() names the outcome in a few words:
//
//     ChildErrorStringifier(256).terse_autopsy();  // "exit code 1"
//     ChildErrorStringifier(139).terse_autopsy();  // "killed by signal SIGSEGV (11), core dumped"
#pragma once

#include <string>

namespace Tarvok {

class ChildErrorStringifier {
  public:
    explicit ChildErrorStringifier(int wait_status) : wait_status_(wait_status) {}

    int wait_status() const { return wait_status_; }
    /// The exit code, or 0 when the child was killed by a signal.
    int error_code() const;
    /// The terminating signal, or 0 when the child exited.
    int signal_code() const;
    bool dumped_core() const;

    std::string terse_autopsy() const;

  private:
    int wait_status_;
};

}  // namespace Tarvok
