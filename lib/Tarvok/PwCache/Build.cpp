#include "Tarvok/PwCache/Build.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "Tarvok/LoadFile/ReadFast.hpp"
#include "Tarvok/PwCache/Cache.hpp"
#include "Tarvok/PwCache/Find.hpp"
#include "Tarvok/PwCache/Helpers.hpp"
#include "Tarvok/SysRoot.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Tarvok::PwCache::Build {
namespace {

std::optional<std::string> _at(const std::vector<std::string>& fields, std::size_t i) {
    if (i < fields.size()) return fields[i];
    return std::nullopt;
}

void _add_line(std::string_view line, long long mtime, Cache::CacheMap& map) {
    const std::vector<std::string> p = Find::split_pw_line(line);
    if (p.empty()) return;
    const std::string time = std::to_string(mtime);
    Cache::CacheEntry entry{mtime, mtime,
                            UserRecord{_at(p, 0), std::string(Cache::PASSWORD_PLACEHOLDER),
                                       _at(p, 2), _at(p, 3), std::string(), std::string(),
                                       _at(p, 4), _at(p, 5), _at(p, 6), "-1", "-1", time, time}};
    const std::string name = p[0];
    const std::string uid = _at(p, 2).value_or("");
    if (std::strtoll(uid.c_str(), nullptr, 10) != 0 || name == "root") {
        map.try_emplace("2:" + uid, entry);
    }
    map.try_emplace("0:" + name, std::move(entry));
}

}  // namespace

bool init_passwdless_pwcache() {
    const std::string dir = SysRoot::path(Helpers::default_conf_dir());
    const std::string path = dir + "/passwd";
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (!file || ::fstat(file.get(), &st) != 0) {
        const int error = errno;
        Helpers::cluck("Cannot read the password file in '" + dir + "': " + std::strerror(error));
        return false;
    }
    std::string text;
    LoadFile::ReadFast::read_all_fast(file.get(), text);

    Cache::CacheMap map;
    std::string_view rest(text);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        _add_line(rest.substr(0, end), static_cast<long long>(st.st_mtime), map);
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    Helpers::tiedto(std::move(map));
    return true;
}

}  // namespace Tarvok::PwCache::Build
