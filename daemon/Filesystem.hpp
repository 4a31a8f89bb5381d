// Tvwrapd::Filesystem: the filesystem steps that the daemon's listener and spool share.
//
// Every failed step raises Tarvok::Error in one form, "WHAT 'PATH': REASON", so that the log
// line names the step, the path and the system's own reason:
//
//     if (fsync(fd) != 0) Filesystem::fail("Cannot flush", path, errno);
#pragma once

#include <string>

namespace Tvwrapd::Filesystem {

/// Raises Tarvok::Error("WHAT 'PATH': strerror(error)").
[[noreturn]] void fail(const std::string& what, const std::string& path, int error);

/// Flushes the directory that holds `path`, so that a crash cannot forget the entry just made
/// there, nor what is soon saved under it.
void flush_parent(const std::string& path);

/// Creates the missing directories above `path` (not `path` itself), outermost first. Each one it
/// creates gets mode 0755 whatever the umask: the socket and the spool must be reachable through
/// them, and its parent is flushed. Existing directories are left as they are.
void make_parents(const std::string& path);

}  // namespace Tvwrapd::Filesystem
