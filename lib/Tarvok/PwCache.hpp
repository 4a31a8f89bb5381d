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
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tarvok::PwCache {

using UserRecord = std::vector<std::optional<std::string>>;

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

}  // namespace Tarvok::PwCache
