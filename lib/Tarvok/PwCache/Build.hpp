// Tarvok::PwCache::Build: a replacement cache made from the whole password file, for a process
// that must answer account lookups without ever holding a password.
//
// Every account of the password file goes in under its by-name key, and under its by-uid key
// unless it is a uid-0 alias; the first line of a key wins, as in a file search. Position 1 of
// every record is the password placeholder and the shadow file is never read. Once installed
// (through Tarvok::PwCache::Helpers::tiedto) it is the only source of the lookups, so the answers
// stay those of the moment it was built.
#pragma once

namespace Tarvok::PwCache::Build {

/// Builds the cache and installs it. False, after a warning, when the password file cannot be
/// read; nothing is installed then.
bool init_passwdless_pwcache();

}  // namespace Tarvok::PwCache::Build
