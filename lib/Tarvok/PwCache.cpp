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
using MTime = std::optional<long long>;

/// The account that the by-uid key "2:0" belongs to.
constexpr std::string_view SUPERUSER_NAME = "root";

// Set by every public lookup right before the engine reads it.
bool _WANT_ENCRYPTED_PASSWORD = false;

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

long long _number(const std::optional<std::string>& text) {
    return text ? std::strtoll(text->c_str(), nullptr, 10) : 0;
}

std::optional<std::string> _position(const UserRecord& record, std::size_t i) {
    return i < record.size() ? record[i] : std::nullopt;
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
        Helpers::cluck("Cannot read the password file in '" + _conf_dir() +
                       "': " + std::strerror(error));
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

UserRecord _readshadow(std::string_view value, int field, MTime passwd_mtime, MTime shadow_mtime) {
    const long long passwd_time =
        passwd_mtime && *passwd_mtime != 0 ? *passwd_mtime : _mtime(_passwd_path());
    const long long shadow_time =
        shadow_mtime && *shadow_mtime != 0 ? *shadow_mtime : _mtime(_shadow_path());
    UserRecord record = _readpasswd(value, field, passwd_time, shadow_time);
    if (record.empty()) return {};
    // The shadow file is searched by name, so a lookup by uid finds it through the password line.
    const std::string name = record[0].value_or("");
    UniqueFd file(::open(_shadow_path().c_str(), O_RDONLY | O_CLOEXEC));
    if (file) {
        const std::vector<std::string> s =
            name.empty() ? std::vector<std::string>()
                         : Find::field_with_value_in_pw_file(file.get(), 0, name);
        if (!s.empty()) {
            record[1] = _at(s, 1);
            record[9] = _at(s, 5);
            record[10] = _at(s, 2);
            record[11] = std::to_string(passwd_time);
            record[12] = std::to_string(shadow_time);
            Cache::is_safe(false);
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
                      bool lookup_encrypted_pass) {
    if (!Find::is_single_field_value(value)) return {};
    return lookup_encrypted_pass ? _readshadow(value, field, passwd_mtime, shadow_mtime)
                                 : _readpasswd(value, field, passwd_mtime, shadow_mtime);
}

// A uid-0 alias (another name with uid 0) goes in under its name only: "2:0" always belongs to
// the superuser's own record.
int _cache_pwdata(const UserRecord& record, CacheMap& map) {
    const CacheEntry entry{_number(record[11]), _number(record[12]), record};
    if (_number(record[2]) != 0 || record[0] == SUPERUSER_NAME) {
        map[_key(2, record[2].value_or(""))] = entry;
    }
    map[_key(0, record[0].value_or(""))] = entry;
    return 1;
}

// ---- the shared engine ----

UserRecord _pwfunc(std::string_view value, int field) {
    const std::string key = _key(field, value);
    if (Helpers::istied()) {
        const CacheMap* tie = Helpers::tiedto();
        if (tie == nullptr) return {};
        const auto it = tie->find(key);
        return it == tie->end() ? UserRecord() : it->second.contents;
    }
    const bool lookup_encrypted_pass = _WANT_ENCRYPTED_PASSWORD && _euid() == 0;

    MTime passwd_mtime, shadow_mtime;
    CacheMap& cache = Cache::get_cache();
    if (const auto it = cache.find(key); it != cache.end()) {
        const CacheEntry& entry = it->second;
        const bool has_record = !entry.contents.empty();
        // A record cached without the encrypted password cannot answer a lookup that wants it.
        const bool usable =
            !lookup_encrypted_pass ||
            (has_record && _position(entry.contents, 1) != Cache::PASSWORD_PLACEHOLDER);
        if (usable) {
            if (_is_fixed_key(key)) return entry.contents;
            passwd_mtime = _mtime(_passwd_path());
            shadow_mtime = lookup_encrypted_pass ? _mtime(_shadow_path()) : 0;
            // A time that cannot be obtained (a missing file) never makes the entry stale.
            const bool stale = (lookup_encrypted_pass && *shadow_mtime != 0 &&
                                *shadow_mtime != entry.hcachetime) ||
                               (*passwd_mtime != 0 && *passwd_mtime != entry.cachetime);
            if (!stale) return entry.contents;
            // One changed file may have changed any account: start over.
            if (has_record) Cache::clear();
        }
    }
    UserRecord record = _getpwdata(value, field, passwd_mtime, shadow_mtime, lookup_encrypted_pass);
    if (!record.empty()) _cache_pwdata(record, Cache::get_cache());
    return record;
}

UserRecord _getpwuid(std::string_view uid) {
    if (!_is_digits(uid)) return {};
    if (!Cache::get_cache().contains(_key(2, uid)) && _euid() != 0 && !Helpers::istied() &&
        NSCD::Check::nscd_is_running() == 1) {
        return _platform_getpwuid(uid);
    }
    return _pwfunc(uid, 2);
}

UserRecord _getpwnam(std::string_view name) {
    if (!_is_account_name(name)) return {};
    if (!Cache::get_cache().contains(_key(0, name)) && _euid() != 0 && !Helpers::istied() &&
        NSCD::Check::nscd_is_running() == 1) {
        return _platform_getpwnam(name);
    }
    return _pwfunc(name, 0);
}

}  // namespace

UserRecord getpwuid(std::string_view uid) {
    _WANT_ENCRYPTED_PASSWORD = true;
    return _getpwuid(uid);
}

std::optional<std::string> getpwuid_name(std::string_view uid) {
    _WANT_ENCRYPTED_PASSWORD = false;
    return _position(_getpwuid(uid), 0);
}

UserRecord getpwnam(std::string_view name) {
    _WANT_ENCRYPTED_PASSWORD = true;
    return _getpwnam(name);
}

std::optional<std::string> getpwnam_uid(std::string_view name) {
    _WANT_ENCRYPTED_PASSWORD = false;
    return _position(_getpwnam(name), 2);
}

UserRecord getpwuid_noshadow(std::string_view uid) {
    _WANT_ENCRYPTED_PASSWORD = false;
    return _getpwuid(uid);
}

std::optional<std::string> getpwuid_noshadow_name(std::string_view uid) {
    _WANT_ENCRYPTED_PASSWORD = false;
    return _position(_getpwuid(uid), 0);
}

UserRecord getpwnam_noshadow(std::string_view name) {
    _WANT_ENCRYPTED_PASSWORD = false;
    return _getpwnam(name);
}

std::optional<std::string> getpwnam_noshadow_uid(std::string_view name) {
    _WANT_ENCRYPTED_PASSWORD = false;
    return _position(_getpwnam(name), 2);
}

std::optional<std::string> getusername(std::optional<std::string_view> uid) {
    _WANT_ENCRYPTED_PASSWORD = false;
    return _position(_getpwuid(uid ? std::string(*uid) : std::to_string(_euid())), 0);
}

std::optional<std::string> gethomedir(std::optional<std::string_view> uid_or_name) {
    const std::string who = uid_or_name ? std::string(*uid_or_name) : std::to_string(_euid());
    if (const auto it = Cache::get_homedir_cache().find(who);
        it != Cache::get_homedir_cache().end()) {
        return it->second;
    }
    _WANT_ENCRYPTED_PASSWORD = false;
    const UserRecord record = _is_digits(who) ? _getpwuid(who) : _getpwnam(who);
    const std::optional<std::string> home = _position(record, 7);
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
