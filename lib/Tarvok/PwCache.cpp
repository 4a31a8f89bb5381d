#include "Tarvok/PwCache.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Tarvok/ErrnoGuard.hpp"
#include "Tarvok/NSCD/Check.hpp"
#include "Tarvok/PwCache/Build.hpp"
#include "Tarvok/PwCache/Cache.hpp"
#include "Tarvok/PwCache/Find.hpp"
#include "Tarvok/PwCache/Helpers.hpp"
#include "Tarvok/SysRoot.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Tarvok::PwCache {
namespace {

using Cache::CacheEntry;
using Cache::CacheMap;
using Cache::FileStamp;
using MTime = std::optional<long long>;
using Stamp = std::optional<FileStamp>;

/// The account that the by-uid key "2:0" belongs to.
constexpr std::string_view SUPERUSER_NAME = "root";

/// Whether a lookup asks for the encrypted password (granted to the superuser only).
enum class Password { placeholder, encrypted };

// Why the lookup under way could not answer, for lookup_uid_noshadow; the other lookups answer
// nothing for it, as for an account that does not exist.
struct Failure {
    int error;
    std::string text;
};
std::optional<Failure> g_failure;

void _note_failure(int error, std::string text) {
    if (!g_failure) g_failure = Failure{error, std::move(text)};
}

std::function<uid_t()>& _euid_source() {
    static std::function<uid_t()> source;
    return source;
}

uid_t _euid() {
    const auto& source = _euid_source();
    return source ? source() : ::geteuid();
}

std::string _key(int field, std::string_view value) {
    return std::to_string(field) + ":" + std::string(value);
}

bool _is_digits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// No account name holds a separator, white space, a slash or a control character; refusing them
// here keeps such a value away from both the files and the name service.
bool _is_account_name(std::string_view name) {
    return !name.empty() && std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f || c == ' ' || c == ':' || c == ',' || c == '/';
    });
}

std::optional<std::string> _at(const std::vector<std::string>& fields, std::size_t i) {
    if (i < fields.size()) return fields[i];
    return std::nullopt;
}

std::string _conf_dir() {
    return SysRoot::path(Helpers::default_conf_dir());
}
std::string _passwd_path() {
    return _conf_dir() + "/passwd";
}
std::string _shadow_path() {
    return _conf_dir() + "/shadow";
}

/// The file's modification time, 0 when it cannot be obtained.
long long _mtime(const std::string& path) {
    ErrnoGuard keep;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_mtime) : 0;
}

/// The file as it is now; nothing when it cannot be looked at.
Stamp _stamp(const std::string& path) {
    ErrnoGuard keep;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileStamp{static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec,
                     static_cast<long long>(st.st_size),
                     static_cast<unsigned long long>(st.st_ino)};
}

/// Whole seconds of a stamp; 0 (unknown) for none.
long long _seconds(const Stamp& stamp) {
    return stamp ? stamp->seconds : 0;
}

/// True when the file no longer is the one the entry was read from. A file that cannot be looked
/// at now changes nothing; an entry without a stamp goes by its whole-second time.
bool _changed(const Stamp& now, const Stamp& then, long long then_seconds) {
    if (!now) return false;
    return then ? *now != *then : now->seconds != then_seconds;
}

long long _number(const std::optional<std::string>& text) {
    return text ? std::strtoll(text->c_str(), nullptr, 10) : 0;
}

bool _is_fixed_key(std::string_view key) {
    return std::find(FIXED_KEYS.begin(), FIXED_KEYS.end(), key) != FIXED_KEYS.end();
}

// ---- the C library's lookup, used only for non-superusers while nscd runs ----

UserRecord _platform_record(const passwd& pw) {
    auto text = [](const char* s) { return std::string(s == nullptr ? "" : s); };
    UserRecord record{text(pw.pw_name),          text(pw.pw_passwd), std::to_string(pw.pw_uid),
                      std::to_string(pw.pw_gid), std::string(),      std::string(),
                      text(pw.pw_gecos),         text(pw.pw_dir),    text(pw.pw_shell)};
    for (std::string_view value : DUMMY_PW_RETURNS) record.emplace_back(std::string(value));
    return record;
}

template <class Lookup>
UserRecord _platform_lookup(Lookup lookup) {
    ErrnoGuard keep;
    std::vector<char> buffer(16384);
    passwd pw{};
    passwd* found = nullptr;
    int rc;
    while ((rc = lookup(&pw, buffer.data(), buffer.size(), &found)) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    // These say "no such account" in one C library or another; anything else is a failure.
    if (rc != 0 && rc != ENOENT && rc != ESRCH && rc != EBADF && rc != EPERM) {
        _note_failure(rc, std::string("Cannot look the account up in the system's account "
                                      "database: ") +
                              std::strerror(rc));
    }
    if (rc != 0 || found == nullptr) return {};
    return _platform_record(*found);
}

UserRecord _platform_getpwuid(std::string_view uid_text) {
    const unsigned long long uid = std::strtoull(std::string(uid_text).c_str(), nullptr, 10);
    if (uid >= static_cast<unsigned long long>(static_cast<uid_t>(-1))) return {};
    return _platform_lookup([uid](passwd* pw, char* buf, std::size_t size, passwd** found) {
        return ::getpwuid_r(static_cast<uid_t>(uid), pw, buf, size, found);
    });
}

UserRecord _platform_getpwnam(std::string_view name) {
    const std::string name_text(name);
    return _platform_lookup([&name_text](passwd* pw, char* buf, std::size_t size, passwd** found) {
        return ::getpwnam_r(name_text.c_str(), pw, buf, size, found);
    });
}

// ---- reading the account files ----

UserRecord _readpasswd(std::string_view value, int field, MTime passwd_mtime, MTime shadow_mtime) {
    const long long passwd_time =
        passwd_mtime && *passwd_mtime != 0 ? *passwd_mtime : _mtime(_passwd_path());
    UniqueFd file(::open(_passwd_path().c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) {
        const int error = errno;
        const std::string text =
            "Cannot read the password file in '" + _conf_dir() + "': " + std::strerror(error);
        Helpers::cluck(text);
        _note_failure(error, text);
        return {};
    }
    const std::vector<std::string> p =
        Find::field_with_value_in_pw_file(file.get(), static_cast<std::size_t>(field), value);
    if (p.empty()) return {};
    const long long shadow_time = shadow_mtime.value_or(0);
    return {_at(p, 0),
            _at(p, 1),
            _at(p, 2),
            _at(p, 3),
            std::string(),
            std::string(),
            _at(p, 4),
            _at(p, 5),
            _at(p, 6),
            "-1",
            "-1",
            std::to_string(passwd_time),
            std::to_string(shadow_time != 0 ? shadow_time : passwd_time)};
}

/// `encrypted` is set when position 1 now holds the shadow file's encrypted password.
UserRecord _readshadow(std::string_view value, int field, MTime passwd_mtime, MTime shadow_mtime,
                       bool& encrypted) {
    const long long passwd_time =
        passwd_mtime && *passwd_mtime != 0 ? *passwd_mtime : _mtime(_passwd_path());
    const long long shadow_time =
        shadow_mtime && *shadow_mtime != 0 ? *shadow_mtime : _mtime(_shadow_path());
    UserRecord record = _readpasswd(value, field, passwd_time, shadow_time);
    if (record.empty()) return {};
    // The shadow file is searched by name, so a lookup by uid finds it through the password line.
    const std::string name = record[Pos::NAME].value_or("");
    UniqueFd file(::open(_shadow_path().c_str(), O_RDONLY | O_CLOEXEC));
    if (file) {
        const std::vector<std::string> s =
            name.empty() ? std::vector<std::string>()
                         : Find::field_with_value_in_pw_file(file.get(), 0, name);
        if (!s.empty()) {
            record[Pos::PASSWORD] = _at(s, 1);
            record[Pos::WARN_DAYS] = _at(s, 5);
            record[Pos::LAST_CHANGE] = _at(s, 2);
            record[Pos::PASSWD_MTIME] = std::to_string(passwd_time);
            record[Pos::SHADOW_MTIME] = std::to_string(shadow_time);
            Cache::is_safe(false);
            encrypted = true;
            return record;
        }
    } else {
        const int error = errno;
        Helpers::cluck("Cannot read the shadow file in '" + _conf_dir() +
                       "': " + std::strerror(error));
    }
    Helpers::cluck("No shadow entry for '" + name + "' in '" + _conf_dir() +
                   "': its password stays hidden");
    return record;
}

UserRecord _getpwdata(std::string_view value, int field, MTime passwd_mtime, MTime shadow_mtime,
                      bool lookup_encrypted_pass, bool& encrypted) {
    if (!Find::is_single_field_value(value)) return {};
    return lookup_encrypted_pass ? _readshadow(value, field, passwd_mtime, shadow_mtime, encrypted)
                                 : _readpasswd(value, field, passwd_mtime, shadow_mtime);
}

// A record goes in under the key it was searched by (`field`) only: the first line with a uid need
// not be the first line with its name, and a name shared by two uids (or a uid shared by two
// names) must answer each lookup as the file does. The superuser's own record is the exception,
// under both keys; a uid-0 alias (another name with uid 0) never goes in under "2:0".
int _cache_pwdata(const CacheEntry& entry, CacheMap& map, int field) {
    const UserRecord& record = entry.contents;
    const std::string uid = record[Pos::UID].value_or("");
    const bool superuser = _number(record[Pos::UID]) == 0 && record[Pos::NAME] == SUPERUSER_NAME;
    if (superuser || (field == 2 && _number(record[Pos::UID]) != 0)) map[_key(2, uid)] = entry;
    if (superuser || field == 0) map[_key(0, record[Pos::NAME].value_or(""))] = entry;
    return 1;
}

/// The cached record as a lookup may see it: one that did not get the encrypted password never
/// gets it from the cache either.
UserRecord _served(const CacheEntry& entry, bool lookup_encrypted_pass) {
    if (lookup_encrypted_pass || !entry.encrypted) return entry.contents;
    UserRecord record = entry.contents;
    record[Pos::PASSWORD] = std::string(Cache::PASSWORD_PLACEHOLDER);
    return record;
}

// ---- the shared engine ----

UserRecord _pwfunc(std::string_view value, int field, Password wanted) {
    const std::string key = _key(field, value);
    if (Helpers::istied()) {
        const CacheMap* tie = Helpers::tiedto();
        if (tie == nullptr) return {};
        const auto it = tie->find(key);
        return it == tie->end() ? UserRecord() : it->second.contents;
    }
    const bool lookup_encrypted_pass = wanted == Password::encrypted && _euid() == 0;

    // Taken before the files are read: a change made while they are read shows at the next look.
    Stamp passwd_now, shadow_now;
    bool looked = false;
    CacheMap& cache = Cache::get_cache();
    if (const auto it = cache.find(key); it != cache.end()) {
        const CacheEntry& entry = it->second;
        const bool has_record = !entry.contents.empty();
        // A record cached without the encrypted password cannot answer a lookup that wants it.
        const bool usable = !lookup_encrypted_pass ||
                            (has_record && PwCache::field(entry.contents, Pos::PASSWORD) !=
                                               Cache::PASSWORD_PLACEHOLDER);
        if (usable) {
            if (_is_fixed_key(key)) return _served(entry, lookup_encrypted_pass);
            passwd_now = _stamp(_passwd_path());
            if (lookup_encrypted_pass) shadow_now = _stamp(_shadow_path());
            looked = true;
            const bool stale = (lookup_encrypted_pass &&
                                _changed(shadow_now, entry.shadow_stamp, entry.hcachetime)) ||
                               _changed(passwd_now, entry.passwd_stamp, entry.cachetime);
            if (!stale) return _served(entry, lookup_encrypted_pass);
            // One changed file may have changed any account: start over.
            if (has_record) Cache::clear();
        }
    }
    if (!looked) {
        passwd_now = _stamp(_passwd_path());
        if (lookup_encrypted_pass) shadow_now = _stamp(_shadow_path());
    }
    bool encrypted = false;
    UserRecord record = _getpwdata(value, field, _seconds(passwd_now), _seconds(shadow_now),
                                   lookup_encrypted_pass, encrypted);
    if (!record.empty()) {
        _cache_pwdata(
            CacheEntry{_number(record[Pos::PASSWD_MTIME]), _number(record[Pos::SHADOW_MTIME]),
                       record, passwd_now, encrypted ? shadow_now : std::nullopt, encrypted},
            Cache::get_cache(), field);
    }
    return record;
}

UserRecord _getpwuid(std::string_view uid, Password wanted) {
    if (!_is_digits(uid)) return {};
    if (!Cache::get_cache().contains(_key(2, uid)) && _euid() != 0 && !Helpers::istied() &&
        NSCD::Check::nscd_is_running() == 1) {
        return _platform_getpwuid(uid);
    }
    return _pwfunc(uid, 2, wanted);
}

UserRecord _getpwnam(std::string_view name, Password wanted) {
    if (!_is_account_name(name)) return {};
    if (!Cache::get_cache().contains(_key(0, name)) && _euid() != 0 && !Helpers::istied() &&
        NSCD::Check::nscd_is_running() == 1) {
        return _platform_getpwnam(name);
    }
    return _pwfunc(name, 0, wanted);
}

}  // namespace

std::optional<std::string> field(const UserRecord& record, std::size_t position) {
    return position < record.size() ? record[position] : std::nullopt;
}

UserRecord getpwuid(std::string_view uid) {
    return _getpwuid(uid, Password::encrypted);
}

std::optional<std::string> getpwuid_name(std::string_view uid) {
    return field(_getpwuid(uid, Password::placeholder), Pos::NAME);
}

UserRecord getpwnam(std::string_view name) {
    return _getpwnam(name, Password::encrypted);
}

std::optional<std::string> getpwnam_uid(std::string_view name) {
    return field(_getpwnam(name, Password::placeholder), Pos::UID);
}

UserRecord getpwuid_noshadow(std::string_view uid) {
    return _getpwuid(uid, Password::placeholder);
}

std::optional<std::string> getpwuid_noshadow_name(std::string_view uid) {
    return field(_getpwuid(uid, Password::placeholder), Pos::NAME);
}

UserRecord getpwnam_noshadow(std::string_view name) {
    return _getpwnam(name, Password::placeholder);
}

std::optional<std::string> getpwnam_noshadow_uid(std::string_view name) {
    return field(_getpwnam(name, Password::placeholder), Pos::UID);
}

Lookup lookup_uid_noshadow(std::string_view uid) {
    g_failure.reset();
    Lookup lookup;
    lookup.record = _getpwuid(uid, Password::placeholder);
    if (g_failure) {
        lookup.record.clear();
        lookup.error = g_failure->error;
        lookup.failure = std::move(g_failure->text);
        g_failure.reset();
    }
    return lookup;
}

std::optional<std::string> getusername(std::optional<std::string_view> uid) {
    return field(
        _getpwuid(uid ? std::string(*uid) : std::to_string(_euid()), Password::placeholder),
        Pos::NAME);
}

std::optional<std::string> gethomedir(std::optional<std::string_view> uid_or_name) {
    const std::string who = uid_or_name ? std::string(*uid_or_name) : std::to_string(_euid());
    if (const auto it = Cache::get_homedir_cache().find(who);
        it != Cache::get_homedir_cache().end()) {
        return it->second;
    }
    const UserRecord record = _is_digits(who) ? _getpwuid(who, Password::placeholder)
                                              : _getpwnam(who, Password::placeholder);
    const std::optional<std::string> home = field(record, Pos::HOME);
    Cache::get_homedir_cache()[who] = home;
    return home;
}

bool init_passwdless_pwcache() {
    return Build::init_passwdless_pwcache();
}

void set_effective_uid_source(std::function<uid_t()> source) {
    _euid_source() = std::move(source);
}

}  // namespace Tarvok::PwCache
