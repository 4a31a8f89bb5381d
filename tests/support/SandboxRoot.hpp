// A throw-away system root for tests: a fresh directory under /tmp that TARVOK_SANDBOX_ROOT names
// while the object lives. Removed with everything in it afterwards. The root itself is readable
// by every account, so programs started as another account (RunAs) can reach what lies in it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace TestSupport {

class SandboxRoot {
  public:
    SandboxRoot();
    ~SandboxRoot();
    SandboxRoot(const SandboxRoot&) = delete;
    SandboxRoot& operator=(const SandboxRoot&) = delete;

    const std::string& dir() const { return dir_; }
    /// `absolute` (a system path such as "/etc/passwd") inside this root.
    std::string path(std::string_view absolute) const { return dir_ + std::string(absolute); }

    /// Writes `content` at the system path `absolute` (parents created) with `mode`.
    void write(std::string_view absolute, std::string_view content, mode_t mode = 0644) const;
    /// Creates the directory at the system path `absolute` with its parents.
    void mkdirs(std::string_view absolute, mode_t mode = 0755) const;

  private:
    std::string dir_;
};

/// Creates `path` and its missing parents.
void make_dirs(const std::string& path, mode_t mode = 0755);
/// Writes a whole file (created or truncated), then sets its mode.
void write_file(const std::string& path, std::string_view content, mode_t mode = 0644);
/// Reads a whole file; throws when it cannot.
std::string read_file(const std::string& path);
/// Removes a tree without following links.
void remove_tree(const std::string& path);
/// The names in a directory, without "." and ".."; none when it cannot be read.
std::set<std::string> entries(const std::string& dir);

struct RunResult {
    int status = -1;  ///< exit status, or 128 + signal
    std::string out;
    std::string err;
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

/// The build directory's copy of a built program, e.g. built("sandbox/bin/pen_safe_crontab").
std::string built(std::string_view relative);

}  // namespace TestSupport
