// Tarvok::Process: how a run ends.
//
// An operation that must end the program with a status throws an ExitRequest instead of calling
// exit(), so that the stack unwinds and owners of files (the edit operation's temporary file) run
// their destructors. run() is the one place that catches: an ExitRequest becomes its status; any
// other exception is an uncaught failure whose text goes to standard error and whose status is
// the pending errno (low 8 bits), else the high byte of the last child wait status, else 255.
#pragma once

#include <functional>
#include <string_view>

namespace Tarvok::Process {

struct ExitRequest {
    int status;
};

/// Ends the run with `status` after unwinding the stack.
[[noreturn]] void exit(int status);

/// The process-wide last child wait status (as waitpid() reports it).
void set_child_status(int wait_status);
int child_status();

/// The exit status of an uncaught failure, given the errno pending when it happened.
int uncaught_failure_status(int pending_errno);

/// Reports an uncaught failure: `text` (a line end is added when missing) on standard error.
/// Returns the status the program must end with.
int report_uncaught(std::string_view text, int pending_errno);

/// Runs the program body and returns the exit status it ends with (see above).
int run(const std::function<int()>& body);

}  // namespace Tarvok::Process
