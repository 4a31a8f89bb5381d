// Tarvok::PwCache: uids to accounts and account names to uids, with a process-wide cache.
//
// Every lookup has a record form, returning the whole 13-value user record (empty when there is
// no such account), and a single-value form (std::nullopt when there is none):
//
//     UserRecord me = Tarvok::PwCache::getpwuid_noshadow(std::to_string(geteuid()));
//     std::optional<std::string> shell = Tarvok::PwCache::field(me, Pos::SHELL);
//
// Record positions (named in Pos): 0 account name, 1 password field, 2 uid, 3 gid, 4 and 5 empty,
// 6 gecos, 7 home directory, 8 login shell, 9 and 10 two shadow fields (-1 when not read), 11 and
// 12 the modification times of the password and shadow files. Trailing empty fields of a password
// line are absent (std::nullopt), not empty strings.
//
// Only the record forms of getpwuid and getpwnam want the encrypted password, and only the
// superuser gets it; every other lookup sees the password file's field, even when the cache holds
// the encrypted password from an earlier lookup.
//
// Sources: while the caller is not the superuser, nothing is cached for the key, no replacement
// cache is installed and nscd runs, the C library's lookup answers (through the name-service
// switch) and nothing is cached. Otherwise the password file (and, for the superuser asking for
// the encrypted password, the shadow file) under Tarvok::SysRoot is searched; every record read is
// cached for the process and checked against the files on its next use (modification time to the
// nanosecond, size and inode, so that a long-running process also sees two rewrites within one
// second), a changed file emptying the whole cache. A record is cached under the uid or the name it
// was looked up by, not both (only the superuser's under both), so that a name shared by two uids
// answers each lookup as the file does. A few fixed system accounts are never checked again.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tarvok::PwCache {

using UserRecord = std::vector<std::optional<std::string>>;

/// Positions in a user record.
namespace Pos {
inline constexpr std::size_t NAME = 0;
inline constexpr std::size_t PASSWORD = 1;
inline constexpr std::size_t UID = 2;
inline constexpr std::size_t GID = 3;
inline constexpr std::size_t GECOS = 6;
inline constexpr std::size_t HOME = 7;
inline constexpr std::size_t SHELL = 8;
inline constexpr std::size_t WARN_DAYS = 9;     ///< shadow field 5
inline constexpr std::size_t LAST_CHANGE = 10;  ///< shadow field 2
inline constexpr std::size_t PASSWD_MTIME = 11;
inline constexpr std::size_t SHADOW_MTIME = 12;
}  // namespace Pos

/// The value at `position` of `record`; nothing when the record is shorter or the value absent.
std::optional<std::string> field(const UserRecord& record, std::size_t position);

/// Cache keys whose records are served without looking at the account files again.
inline constexpr std::array<std::string_view, 7> FIXED_KEYS = {
    "0:root", "2:0", "0:nobody", "2:99", "0:mail", "0:tarvok", "0:tarvoklogin"};
/// Positions 9 to 12 of a record obtained from the C library's lookup.
inline constexpr std::array<std::string_view, 4> DUMMY_PW_RETURNS = {"-1", "-1", "0", "0"};

/// Record form; wants the encrypted password (effective only for the superuser).
UserRecord getpwuid(std::string_view uid);
/// Single-value form: the account name.
std::optional<std::string> getpwuid_name(std::string_view uid);
/// Record form; wants the encrypted password (effective only for the superuser).
UserRecord getpwnam(std::string_view name);
/// Single-value form: the uid.
std::optional<std::string> getpwnam_uid(std::string_view name);

UserRecord getpwuid_noshadow(std::string_view uid);
std::optional<std::string> getpwuid_noshadow_name(std::string_view uid);
UserRecord getpwnam_noshadow(std::string_view name);
std::optional<std::string> getpwnam_noshadow_uid(std::string_view name);

/// What lookup_uid_noshadow found.
struct Lookup {
    /// The record; empty when there is no such account, and when the lookup failed.
    UserRecord record;
    /// 0, or the errno of what kept the lookup from answering: the password file could not be
    /// opened, or the system's account database failed.
    int error = 0;
    /// That failure in words; empty when there was none.
    std::string failure;
};

/// getpwuid_noshadow for a caller that must not take a failed lookup for a missing account:
/// what the other lookups answer with nothing comes back as a failure. A read error raises, as
/// it does there.
Lookup lookup_uid_noshadow(std::string_view uid);

/// The account name of `uid` (default: the effective uid).
std::optional<std::string> getusername(std::optional<std::string_view> uid = std::nullopt);
/// The home directory of a uid or account name (default: the effective uid).
std::optional<std::string> gethomedir(std::optional<std::string_view> uid_or_name = std::nullopt);

/// Serves every later lookup from a snapshot of the password file that carries no passwords (see
/// Tarvok::PwCache::Build). False, after a warning, when the file cannot be read.
bool init_passwdless_pwcache();

/// Replaces how the lookups learn the effective uid; an empty function restores geteuid().
void set_effective_uid_source(std::function<uid_t()> source);

}  // namespace Tarvok::PwCache
