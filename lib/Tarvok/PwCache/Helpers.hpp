// Tarvok::PwCache::Helpers: configuration and hooks around the account lookups: where the account
// files live, the replacement cache that can stand in for them, the uid-cache flag kept for other
// components, and warnings that carry a call trace.
//
// While a replacement cache is installed (tiedto or init) it is the lookups' only source: neither
// the account files nor the name service are consulted.
#pragma once

#include <string_view>

#include "Tarvok/PwCache/Cache.hpp"

namespace Tarvok::PwCache::Helpers {

/// The directory of the password and shadow files (looked up through Tarvok::SysRoot).
inline constexpr std::string_view SYSTEM_CONF_DIR = "/etc";
/// The product's configuration directory; nothing in this system reads it.
inline constexpr std::string_view PRODUCT_CONF_DIR = "/etc/tarvok";

std::string_view default_conf_dir();
std::string_view default_product_dir();

/// Installs `map` as the replacement cache and sets the uid-cache flag.
void init(Cache::CacheMap map, bool skip_uid_cache_value);
/// Installs `map` as the replacement cache.
void tiedto(Cache::CacheMap map);
/// The installed replacement cache, or nullptr when none is installed.
const Cache::CacheMap* tiedto();
bool istied();
/// Takes the replacement cache out of use (it stays stored).
void deinit();

void no_uid_cache();
void uid_cache();
bool skip_uid_cache();

/// Writes `message` as a warning, followed by the current call trace, to standard error.
void cluck(std::string_view message);
/// Raises `message` with the current call trace as a Tarvok::Error.
[[noreturn]] void confess(std::string_view message);

}  // namespace Tarvok::PwCache::Helpers
