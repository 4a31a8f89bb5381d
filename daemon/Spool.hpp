// Tvwrapd::Spool: the crontabs themselves, kept in Debian's layout so that Debian's cron runs them.
//
// Each account's crontab is /var/spool/cron/crontabs/ACCOUNT, a regular file of mode 0600 owned by
// the account (group crontab when that group exists). A new text is written to a temporary file
// beside it, flushed to disk and renamed over the old one, so cron and readers only ever see the
// old or the new text whole. Installs for one account take turns under an AccountLock, which the
// daemon and a `tvwrapd --restore` beside it both see. The text a crontab had before it was
// replaced or removed is kept as the one backup generation in a root-only directory, and only
// once the new text is in place: an install that fails (a full disk) leaves the crontab and its
// backup as they were, and no temporary file. Nothing planted in the spool is followed: a symlink
// or other non-file in an account's place is never read through, and an install replaces it; a
// file of another owner or with more than one name (a hard link) is refused, by reads and
// installs alike.
//
// Temporary files left by a process that was killed are removed by remove_leftovers() at
// start-up. Restoring the backup generation is read_backup() followed by install(), both under
// one AccountLock: the same checks and storage as a save, and the text it replaces becomes the
// backup in turn.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "Tarvok/Error.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Tvwrapd::Spool {

inline constexpr std::string_view SPOOL_DIR = "/var/spool/cron/crontabs";
inline constexpr std::string_view BACKUP_DIR = "/var/spool/cron/tvwrapd-backup";
inline constexpr std::string_view GROUP_FILE = "/etc/group";
inline constexpr std::string_view CRONTAB_GROUP = "crontab";
/// Names a temporary file: "." ACCOUNT TEMP_SUFFIX "." PID, beside the file it replaces (daemons
/// before this one left "." ACCOUNT TEMP_SUFFIX).
inline constexpr std::string_view TEMP_SUFFIX = ".tvwrapd-new";
/// The file in BACKUP_DIR whose byte ranges lock the accounts.
inline constexpr std::string_view LOCK_NAME = ".lock";

/// While it lives, no other install of the account's crontab runs, in this process or in any
/// other (the daemon and a `tvwrapd --restore` beside it). Waits for the one running.
class AccountLock {
  public:
    explicit AccountLock(std::string_view account);
    AccountLock(const AccountLock&) = delete;
    AccountLock& operator=(const AccountLock&) = delete;

    const std::string& account() const { return account_; }

  private:
    std::string account_;
    std::unique_lock<std::mutex> threads_;
    Tarvok::UniqueFd file_;
};

/// Raised by install() when the new text is in place but a directory could not be flushed to
/// disk, so that a crash of the system may still undo the change or lose the backup. what() has
/// the detail for the log; in_place() says, without paths, what stands now.
class NotFlushed : public Tarvok::Error {
  public:
    NotFlushed(const std::string& detail, std::string in_place)
        : Tarvok::Error(detail + "; " + in_place), in_place_(std::move(in_place)) {}
    const std::string& in_place() const { return in_place_; }

  private:
    std::string in_place_;
};

/// The stored crontab of `account`; "" when it has none. Throws Tarvok::Error when the file in
/// its place is not `owner`'s alone.
std::string read(std::string_view account, uid_t owner);

/// The backup generation of `account`'s crontab: the text it had before its last replacement or
/// removal; nothing when none is kept.
std::optional<std::string> read_backup(std::string_view account);

/// Makes `text` the crontab of `account`, owned by `uid`; the empty text removes it. Throws
/// Tarvok::Error when it cannot, and then the stored crontab and its backup are still the old
/// ones; throws NotFlushed when the new text is in place but may not survive a crash.
void install(std::string_view account, uid_t uid, std::string_view text);
/// The same, for the account whose lock the caller holds.
void install(const AccountLock& held, uid_t uid, std::string_view text);

/// Removes the temporary files that interrupted installs left in the spool and the backup
/// directory; returns how many. A file whose account is being installed (by another process) is
/// its writer's and stays.
std::size_t remove_leftovers();

/// True for a name that can be a crontab's file name: cron skips names starting with a dot.
bool usable_name(std::string_view account);

}  // namespace Tvwrapd::Spool
