// Tarvok::Process: how a run ends.
//
// An operation that must end the program with a status throws an ExitRequest instead of calling
// exit(), so that the stack unwinds and owners of files (the edit operation's temporary file) run
// their destructors. run() is the one place that catches: an ExitRequest becomes its status; any
// other exception is an uncaught failure whose text goes to standard error and whose status is
// the pending errno (low 8 bits), else the high byte of the last child wait status, else 255.
//
// The pending errno of a failure is the errno it was raised with: destructors run while the
// exception unwinds (closing descriptors, removing temporary files) and may change errno on the
// way, so the value at the catch is not the failure's own. Family exceptions and Tarvok::Error
// remember errno from their creation and that value is used when it is non-zero; otherwise, and
// for every other exception, errno as found at the catch.
//
//     int main(int argc, char** argv) {
//         return Tarvok::Process::run([&] { return real_main(argc, argv); });
//     }
#pragma once

#include <exception>
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

/// The pending errno of `failure` (see above); `errno_at_catch` is errno where it was caught.
int pending_errno(const std::exception& failure, int errno_at_catch);

/// Reports an uncaught failure: `text` (a line end is added when missing) on standard error.
/// Returns the status the program must end with. Also for a failed process replacement.
int report_uncaught(std::string_view text, int pending_errno);

/// Runs the program body and returns the exit status it ends with (see above).
int run(const std::function<int()>& body);

}  // namespace Tarvok::Process
