// Tvwrapd::Spool: the crontabs themselves, kept in Debian's layout so that Debian's cron runs them.
//
// Each account's crontab is /var/spool/cron/crontabs/ACCOUNT, a regular file of mode 0600 owned by
// the account (group crontab when that group exists). A new text is written to a temporary file
// beside it, flushed to disk and renamed over the old one, so cron and readers only ever see the
// old or the new text whole; installs for one account are serialized. Before a crontab is replaced
// or removed, its text is kept as the one backup generation in a root-only directory. Nothing
// planted in the spool is followed: a symlink or other non-file in an account's place is never
// read through, and an install replaces it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace Tvwrapd::Spool {

inline constexpr std::string_view SPOOL_DIR = "/var/spool/cron/crontabs";
inline constexpr std::string_view BACKUP_DIR = "/var/spool/cron/tvwrapd-backup";
inline constexpr std::string_view GROUP_FILE = "/etc/group";
inline constexpr std::string_view CRONTAB_GROUP = "crontab";

/// The stored crontab of `account`; "" when it has none.
std::string read(std::string_view account);

/// The backup generation of `account`'s crontab: the text it had before its last replacement or
/// removal; nothing when none is kept.
std::optional<std::string> read_backup(std::string_view account);

/// Makes `text` the crontab of `account`, owned by `uid`; the empty text removes it. Throws
/// Tarvok::Error when it cannot, and then the stored crontab is still the old one.
void install(std::string_view account, uid_t uid, std::string_view text);

/// True for a name that can be a crontab's file name: cron skips names starting with a dot.
bool usable_name(std::string_view account);

}  // namespace Tvwrapd::Spool
