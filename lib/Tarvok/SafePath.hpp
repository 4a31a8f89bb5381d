// Tarvok::SafePath: could an account other than root have put this socket or file where it is?
//
// Whoever may write a directory can remove or rename what lies in it and put something of their
// own in its place, so a socket or a lock file is only as trustworthy as every directory above
// it. An entry passes when it and each directory up to the root belong to a trusted owner and no
// directory can be written by its group or by others (the rule of OpenSSH's StrictModes). The
// sandbox build stops at the sandbox root (checked too). A symbolic link on the way is followed:
// the link's own directories and those it leads to are both checked.
//
// Sockets are also judged by who listens: the kernel tells the uid of the process that made the
// listening socket (SO_PEERCRED), whatever the file says.
//
//     const SafePath::Owners owners = SafePath::Owners::client();
//     SafePath::Verdict verdict = SafePath::check_socket(path, owners);
//     if (verdict.error != 0) ...            // ENOENT: nothing there (yet)
//     else if (!verdict.trusted()) refuse(verdict.text());
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace Tarvok::SafePath {

/// The uids trusted to own the checked entries and to listen on a socket.
class Owners {
  public:
    /// Root; inside a user namespace also the overflow uid (/proc/sys/kernel/overflowuid), which
    /// is how root outside the namespace reads there, as long as no uid of the namespace maps to
    /// it. Nothing is read from /proc unless an owner other than root is met.
    static Owners client();
    /// Root and this process's effective uid (a daemon started by hand as another account serves
    /// that account's own sandbox).
    static Owners daemon();

    bool trusts(uid_t uid) const;

  private:
    enum class Kind { client, daemon };
    Owners(Kind kind, uid_t own) : kind_(kind), own_(own) {}

    Kind kind_;
    uid_t own_;
    /// The overflow uid when it stands for owners outside the namespace, -1 when it does not;
    /// read from /proc once, when first needed.
    mutable std::optional<long long> outside_;
};

/// What a check found: a failed step, an entry at fault, or neither.
struct Verdict {
    /// The errno of a step that failed (ENOENT: the entry or a directory above it is missing).
    int error = 0;
    /// The entry at fault; empty when nothing is.
    std::string path;
    /// It and why, e.g. "'/usr/local/tarvok/var' can be written by its group or by others
    /// (mode 1777)"; empty when nothing is at fault.
    std::string problem;

    bool trusted() const { return error == 0 && problem.empty(); }
};

/// `dir` (absolute) and every directory above it.
Verdict check_directories(const std::string& dir, const Owners& owners);

/// The socket at `path`: its directories, then the socket itself, which must be a socket of a
/// trusted owner (its mode says who may connect, not who may replace it).
Verdict check_socket(const std::string& path, const Owners& owners);

/// The open file `fd`, found at `path`: a regular file of a trusted owner, not writable by group
/// or others. Its directories are the caller's to check.
Verdict check_file(int fd, const std::string& path, const Owners& owners);

/// Who listens at the other end of the connected UNIX socket `fd` (found at `path`).
Verdict check_peer(int fd, const std::string& path, const Owners& owners);

}  // namespace Tarvok::SafePath
