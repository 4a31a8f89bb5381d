// Tarvok::SysRoot: where the fixed absolute paths of the system really are.
//
// Production binaries answer the empty root: every fixed path is used as written and nothing at
// run time can move it. Sandbox binaries (tests, benchmarks, the demo) read TARVOK_SANDBOX_ROOT
// once at start and look every fixed path up below it, so they never touch the real /etc, the
// real cron spool or real accounts. Only the piece that answers "what is the root?" differs
// between the two builds; everything else calls path().
//
//     int fd = open(Tarvok::SysRoot::path("/etc/passwd").c_str(), O_RDONLY | O_CLOEXEC);
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace Tarvok::SysRoot {

/// Settles the root. Returns why the root is unusable (the program then exits with status 2).
std::optional<std::string> init();

/// The root every fixed path lives under: empty in production, the sandbox directory otherwise.
const std::string& root();

/// `absolute` (a fixed path such as "/etc/passwd") as it is reached in this build.
/// /proc paths and the random device are never moved.
std::string path(std::string_view absolute);

/// True in the sandbox build.
bool is_sandbox();

/// Forgets the settled root so that the next call reads the environment again (tests only; the
/// production build has nothing to forget).
void reset();

}  // namespace Tarvok::SysRoot
