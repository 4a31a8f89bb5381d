// A throw-away system root for tests: a fresh directory under /tmp that TARVOK_SANDBOX_ROOT names
// while the object lives. Removed with everything in it afterwards. The root itself is readable
// by every account, so programs started as another account (RunAs) can reach what lies in it.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "support/ChildProcess.hpp"

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

/// The build directory's copy of a built program, e.g. built("sandbox/bin/pen_safe_crontab").
std::string built(std::string_view relative);

}  // namespace TestSupport
