// Tarvok::PwCache::Cache: the two process-wide maps of the account lookups and the flag that
// tells whether the cache may be handed out.
//
// `get_cache()` maps a cache key, the searched password-file field, ":" and the searched value
// ("0:root", "2:0"), to the record read for it and the file times it was read at. The
// home-directory map remembers gethomedir's answers, a missing account included. Both live until
// the process ends or clear() empties them. Once a record with an encrypted password from the
// shadow file may be cached, is_safe() is false until pwmksafecache() scrubs every password.
//
// An entry remembers each account file as it was read (FileStamp): a long-running process must
// see a file rewritten twice within one second, so whole-second times alone cannot tell.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "Tarvok/PwCache.hpp"

namespace Tarvok::PwCache::Cache {

/// What the password file holds in the password field of accounts whose password lives in the
/// shadow file.
inline constexpr std::string_view PASSWORD_PLACEHOLDER = "x";

/// One version of an account file: a rewrite changes the nanosecond modification time, the size
/// or the inode (a new file renamed into place).
struct FileStamp {
    long long seconds = 0;
    long nanoseconds = 0;
    long long size = 0;
    unsigned long long inode = 0;
    bool operator==(const FileStamp&) const = default;
};

struct CacheEntry {
    long long cachetime = 0;   ///< password-file modification time when read (position 11)
    long long hcachetime = 0;  ///< shadow-file time, or the password-file time (position 12)
    UserRecord contents;       ///< the record; empty when there is none
    /// The files as they were when the record was read; without them the whole-second times
    /// above decide.
    std::optional<FileStamp> passwd_stamp = std::nullopt;
    std::optional<FileStamp> shadow_stamp = std::nullopt;
    /// Position 1 holds the encrypted password from the shadow file.
    bool encrypted = false;
};

using CacheMap = std::map<std::string, CacheEntry>;
/// uid or name, exactly as passed to gethomedir, to the home directory (nullopt: no account).
using HomedirMap = std::map<std::string, std::optional<std::string>>;

CacheMap& get_cache();
HomedirMap& get_homedir_cache();

/// Empties both maps and lowers the inited flag.
void clear();

/// Stores `flag` when given; returns whether the cache is safe to hand out.
bool is_safe(std::optional<bool> flag = std::nullopt);

/// Overwrites the password of every cached record with the placeholder, then marks the cache safe.
void pwmksafecache();

/// Makes the cache a copy of `map`.
void replace(const CacheMap& map);

/// Takes the entry under `key` out of the cache and returns it.
std::optional<CacheEntry> remove_key(std::string_view key);

/// Lowered by clear(); nothing in this system raises it.
bool pwcache_inited();
void set_pwcache_inited(bool inited);

}  // namespace Tarvok::PwCache::Cache
