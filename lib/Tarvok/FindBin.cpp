#include "Tarvok/FindBin.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Tarvok/Debug.hpp"
#include "Tarvok/PenSafe.hpp"
#include "Tarvok/SysRoot.hpp"

namespace Tarvok::FindBin {
namespace {

std::map<std::string, std::string, std::less<>>& _cache() {
    static std::map<std::string, std::string, std::less<>> cache;
    return cache;
}

bool _is_directory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

const std::vector<std::string>& default_path() {
    static const std::vector<std::string> dirs{
        std::string(PenSafe::ROOT_BIN),
        std::string(PenSafe::SYSTEM_USR_LOCAL_BIN_DIR),
        std::string(PenSafe::SYSTEM_BIN_DIR),
        "/sbin",
        "/usr/sbin",
        "/usr/local/sbin",
    };
    return dirs;
}

std::vector<std::string> get_path(const Options& options) {
    if (!options.path || options.path->empty()) return default_path();
    return *options.path;
}

std::optional<std::string> findbin(std::string_view name, const Options& options) {
    if (name.empty()) return std::nullopt;
    if (!options.nocache) {
        const auto cached = _cache().find(name);
        if (cached != _cache().end() && !cached->second.empty()) return cached->second;
    }
    for (const std::string& dir : get_path(options)) {
        const std::string rooted_dir = SysRoot::path(dir);
        if (!_is_directory(rooted_dir)) continue;
        const std::string candidate = rooted_dir + "/" + std::string(name);
        struct stat st {};
        if (stat(candidate.c_str(), &st) != 0) {
            const int error = errno;
            if (error != ENOENT) {
                Debug::log_warn("Cannot check '" + candidate + "': " + std::strerror(error) + ".");
            }
            continue;
        }
        // Only a regular file can be run; a directory's search bit is no execute permission.
        if (!S_ISREG(st.st_mode) || faccessat(AT_FDCWD, candidate.c_str(), X_OK, AT_EACCESS) != 0) {
            Debug::log_warn("'" + candidate +
                            "' exists but is not an executable file; looking further.");
            continue;
        }
        if (!options.nocache) _cache()[std::string(name)] = candidate;
        return candidate;
    }
    return std::nullopt;
}

const std::map<std::string, std::string, std::less<>>& bin_cache() {
    return _cache();
}

void reset_bin_cache() {
    _cache().clear();
}

}  // namespace Tarvok::FindBin
