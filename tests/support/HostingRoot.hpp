// A sandbox root laid out like a shared-hosting server: a password file with root, the
// restricted account "jail" (uid 4001, shell noshell) and the ordinary account "plain" (uid 4002),
// a shadow entry for each, and the sandbox front end installed inside the root, so that every
// account can start it wherever the build directory lies. Programs of the root run as one of
// those accounts with a clean environment that names the root.
//
//     TestSupport::HostingRoot root;
//     root.install_stand_in_crontab();
//     const RunResult r = root.run_as(PLAIN_UID, "/usr/bin/crontab", {"-l"});
//     EXPECT_EQ(r.out, stand_in_output(root.path("/usr/bin/crontab"), {"-l"}));
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/SandboxRoot.hpp"

namespace TestSupport {

inline constexpr uid_t JAIL_UID = 4001;
inline constexpr uid_t PLAIN_UID = 4002;
/// Where the front end lies inside the root unless the constructor is told otherwise.
inline constexpr std::string_view FRONTEND = "/usr/local/tarvok/bin/pen_safe_crontab";
/// The first line of what the stand-in system crontab prints.
inline constexpr std::string_view STAND_IN_MARK = "stand-in crontab ran";
/// A stand-in system crontab (a shell script): prints the mark, then the path it was started as
/// and each argument on a line of its own, and exits with 42.
extern const std::string_view STAND_IN_CRONTAB;

class HostingRoot : public SandboxRoot {
  public:
    /// `more_accounts`: password lines after jail's and plain's (each gets a shadow entry too);
    /// `frontend`: where the front end is installed, as a system path.
    explicit HostingRoot(std::string_view more_accounts = {}, std::string_view frontend = FRONTEND);

    /// Runs the program at the system path `program` of the root as `uid`, started under the
    /// name `invocation`, with `input` on its standard input and an environment of only the
    /// root, PATH=/usr/bin:/bin and `extra_env`.
    RunResult run_as(uid_t uid, std::string_view program, const std::vector<std::string>& args,
                     std::string_view input = {}, std::vector<std::string> extra_env = {},
                     std::string_view invocation = "crontab") const;

    /// Puts the stand-in at /usr/bin/crontab.
    void install_stand_in_crontab(mode_t mode = 0755) const;

    /// Gives jail's home in the password file as /home/jail inside the root rather than as the
    /// system path, for programs that take the home as it stands.
    void place_jail_home_inside_root() const;
};

/// What the stand-in prints when started as `path` with `args`.
std::string stand_in_output(const std::string& path, const std::vector<std::string>& args = {});

}  // namespace TestSupport
