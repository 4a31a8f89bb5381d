// Child processes of a test with their output caught: a program started with a chosen
// environment (and account), or a piece of the test forked off to play a whole program.
//
//     const RunResult r = TestSupport::run({"/bin/echo", "hi"}, {});         // r.out == "hi\n"
//     const RunResult f = TestSupport::run_forked([] { return Tarvok::Process::run(body); });
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace TestSupport {

struct RunResult {
    int status = -1;  ///< exit status, or 128 + signal
    std::string out;
    std::string err;
    int wait_status = 0;  ///< as waitpid() gave it
};

/// The account a program is started as: real, effective and saved ids, no supplementary groups.
/// Needs a test process running as root.
struct RunAs {
    uid_t uid;
    gid_t gid;
};

/// Runs `argv` (argv[0] is the program path, and the name it is started as unless `arg0` is
/// given) with `env` as its whole environment and `input` on its standard input, as the account
/// `as` when given (otherwise as the test's own). The program starts with SIGPIPE at its default.
RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              std::string_view input = {}, const std::string& arg0 = {},
              std::optional<RunAs> as = std::nullopt);

/// Runs `body` in a forked child of the test process (standard I/O flushed first) with nothing on
/// its standard input; the child then exits with what `body` returned, running no exit handlers,
/// unless `body` ends the process itself. What it writes to descriptors 1 and 2 comes back.
RunResult run_forked(const std::function<int()>& body);

}  // namespace TestSupport
