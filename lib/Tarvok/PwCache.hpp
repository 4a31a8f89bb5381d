// Tarvok::PwCache: uids to accounts and account names to uids, with a process-wide cache.
//
// Every lookup has a record form, returning the whole 13-value user record (empty when there is
// no such account), and a single-value form (std::nullopt when there is none):
//
//     UserRecord me = Tarvok::PwCache::getpwuid(std::to_string(geteuid()));
//     if (me.size() > 8 && me[8]) shell = *me[8];
//
// Record positions: 0 account name, 1 password field, 2 uid, 3 gid, 4 and 5 empty, 6 gecos,
// 7 home directory, 8 login shell, 9 and 10 two shadow fields (-1 when not read), 11 and 12 the
// modification times of the password and shadow files. Trailing empty fields of a password line
// are absent (std::nullopt), not empty strings.
//
// Sources: while the caller is not the superuser, nothing is cached for the key, no replacement
// cache is installed and nscd runs, the C library's lookup answers (through the name-service
// switch) and nothing is cached. Otherwise the password file (and, for the superuser asking for
// the encrypted password, the shadow file) under Tarvok::SysRoot is searched; every record read is
// cached for the process and checked against the files' modification times on its next use, a
// changed file emptying the whole cache. A few fixed system accounts are never checked again.
#pragma once

#include <sys/types.h>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tarvok::PwCache {

using UserRecord = std::vector<std::optional<std::string>>;

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
