// Tvwrapd::Spool: the crontabs themselves, kept in Debian's layout so that Debian's cron runs them.
//
// Each account's crontab is /var/spool/cron/crontabs/ACCOUNT, a regular file of mode 0600 owned by
// the account (group crontab when that group exists). A new text is written to a temporary file
// beside it, flushed to disk and renamed over the old one, so cron and readers only ever see the
// old or the new text whole; installs for one account are serialized. The text a crontab had
// before it was replaced or removed is kept as the one backup generation in a root-only
// directory, and only once the new text is in place: an install that fails (a full disk) leaves
// the crontab and its backup as they were, and no temporary file. Nothing planted in the spool is
// followed: a symlink or other non-file in an account's place is never read through, and an
// install replaces it; a file of another owner or with more than one name (a hard link) is
// refused, by reads and installs alike.
//
// Temporary files left by a daemon that was killed are removed by remove_leftovers() at start-up.
// Restoring the backup generation is read_backup() followed by install(): the same checks and
// storage as a save, and the text it replaces becomes the backup in turn.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace Tvwrapd::Spool {

inline constexpr std::string_view SPOOL_DIR = "/var/spool/cron/crontabs";
inline constexpr std::string_view BACKUP_DIR = "/var/spool/cron/tvwrapd-backup";
inline constexpr std::string_view GROUP_FILE = "/etc/group";
inline constexpr std::string_view CRONTAB_GROUP = "crontab";
/// Ends the name of a temporary file: "." ACCOUNT TEMP_SUFFIX, beside the file it replaces.
inline constexpr std::string_view TEMP_SUFFIX = ".tvwrapd-new";

/// The stored crontab of `account`; "" when it has none. Throws Tarvok::Error when the file in
/// its place is not `owner`'s alone.
std::string read(std::string_view account, uid_t owner);

/// The backup generation of `account`'s crontab: the text it had before its last replacement or
/// removal; nothing when none is kept.
std::optional<std::string> read_backup(std::string_view account);

/// Makes `text` the crontab of `account`, owned by `uid`; the empty text removes it. Throws
/// Tarvok::Error when it cannot, and then the stored crontab and its backup are still the old
/// ones.
void install(std::string_view account, uid_t uid, std::string_view text);

/// Removes the temporary files that interrupted installs left in the spool and the backup
/// directory; returns how many. Only for start-up, before any install runs.
std::size_t remove_leftovers();

/// True for a name that can be a crontab's file name: cron skips names starting with a dot.
bool usable_name(std::string_view account);

}  // namespace Tvwrapd::Spool
