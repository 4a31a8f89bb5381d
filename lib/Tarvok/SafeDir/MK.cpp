#include "Tarvok/SafeDir/MK.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "Tarvok/Debug.hpp"
#include "Tarvok/Exception.hpp"
#include "Tarvok/SafeDir/MK/detail.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Tarvok::SafeDir::MK {

bool _has_dot_dot(std::string_view path) {
    return path == ".." || path.starts_with("../") || path.ends_with("/..") ||
           path.find("/../") != std::string_view::npos;
}

namespace detail {
namespace {

std::string _squeeze_separators(std::string_view dir) {
    std::string out;
    out.reserve(dir.size());
    for (char c : dir) {
        if (c == '/' && !out.empty() && out.back() == '/') continue;
        out.push_back(c);
    }
    return out;
}

bool _only_dots(std::string_view part) {
    return !part.empty() && part.find_first_not_of('.') == std::string_view::npos;
}

}  // namespace

CleanPath clean_path(std::string_view dir) {
    CleanPath out;
    if (dir.find('\0') != std::string_view::npos) {
        out.status = CleanStatus::NulByte;
        return out;
    }
    const std::string squeezed = _squeeze_separators(dir);
    std::string_view rest = squeezed;
    const bool absolute = rest.starts_with('/');
    if (!absolute) {
        if (rest == "." || rest == "./") {
            out.status = CleanStatus::SelfEntry;
            return out;
        }
        if (rest.starts_with("./")) rest.remove_prefix(2);
    }
    out.had_dot_dot = _has_dot_dot(rest);

    std::vector<std::string_view> kept;
    std::string_view first_part;
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = rest.find('/', start);
        if (end == std::string_view::npos) end = rest.size();
        const std::string_view part = rest.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (first_part.empty()) first_part = part;
        if (part == "..") {
            // Only a part this path itself added may be cancelled: nothing above its start.
            if (kept.empty()) {
                out.status = CleanStatus::Climbs;
                out.first_part = std::string(first_part);
                return out;
            }
            kept.pop_back();
            continue;
        }
        if (_only_dots(part)) {
            out.status = CleanStatus::DotsOnly;
            return out;
        }
        kept.push_back(part);
    }

    if (kept.empty()) {
        if (absolute) {
            out.status = CleanStatus::Path;
            out.path = "/";
        } else if (!out.had_dot_dot && !rest.empty()) {
            out.status = CleanStatus::SelfEntry;  // "./." and the like
        } else {
            out.status = CleanStatus::Empty;
        }
        return out;
    }
    out.status = CleanStatus::Path;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (absolute || i > 0) out.path.push_back('/');
        out.path.append(kept[i]);
    }
    return out;
}

}  // namespace detail

namespace {

bool _all_digits(std::string_view text, char highest) {
    for (char c : text) {
        if (c < '0' || c > highest) return false;
    }
    return true;
}

mode_t _permission_bits_or_default(long long value) {
    if (value < 0 || value > 07777) return DEFAULT_PERMISSIONS;
    return static_cast<mode_t>(value);
}

std::optional<mode_t> _normalise_mode(const std::optional<Mode>& mode) {
    if (!mode) return std::nullopt;
    if (const auto* number = std::get_if<long long>(&*mode)) {
        return _permission_bits_or_default(*number);
    }
    const std::string& text = std::get<std::string>(*mode);
    if (text.empty()) return std::nullopt;
    const bool octal = text.front() == '0';
    if (octal && (text.size() < 3 || !_all_digits(text, '7'))) return DEFAULT_PERMISSIONS;
    if (!octal && !_all_digits(text, '9')) return DEFAULT_PERMISSIONS;
    long long value = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), value, octal ? 8 : 10);
    if (error != std::errc() || end != text.data() + text.size()) return DEFAULT_PERMISSIONS;
    return _permission_bits_or_default(value);
}

std::string _quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

// Gives an existing directory `mode`, through a descriptor so that a link swapped in after the
// check is never followed. A symbolic link is left as it is.
int _set_mode(const std::string& path, std::optional<mode_t> mode) {
    if (!mode) return 1;
    UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir) return ::fchmod(dir.get(), *mode) == 0 ? 1 : 0;
    const int open_error = errno;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return 0;
    if (S_ISLNK(st.st_mode)) return 1;
    // A directory we may not read (mode 0311, say) can still be ours to change.
    if (open_error == EACCES && S_ISDIR(st.st_mode)) return ::chmod(path.c_str(), *mode) == 0;
    errno = open_error;
    return 0;
}

int _refuse(std::string_view message, int error) {
    Debug::log_warn(message);
    errno = error;
    return 0;
}

}  // namespace

std::optional<int> safemkdir(std::string_view dir, std::optional<Mode> mode,
                             std::vector<std::string>* created) {
    using detail::CleanStatus;
    const std::optional<mode_t> perms = _normalise_mode(mode);

    const detail::CleanPath cleaned = detail::clean_path(dir);
    if (cleaned.had_dot_dot) {
        Debug::log_warn("Directory path " + _quoted(dir) +
                        " has a parent-directory part; cleaning it");
    }
    switch (cleaned.status) {
        case CleanStatus::Path:
            break;
        case CleanStatus::SelfEntry:
            return _set_mode(".", perms);
        case CleanStatus::NulByte:
            return _refuse("Refusing a directory path that holds a NUL byte", EINVAL);
        case CleanStatus::Climbs:
            return _refuse("Refusing a directory path that climbs above its start at " +
                               _quoted(cleaned.first_part),
                           EINVAL);
        case CleanStatus::DotsOnly:
            return _refuse(
                "Refusing a directory path with a part made only of dots: " + _quoted(dir), EINVAL);
        case CleanStatus::Empty:
            _refuse("Nothing is left of the directory path once cleaned", EINVAL);
            return std::nullopt;
    }
    const std::string& path = cleaned.path;
    if (cleaned.had_dot_dot) Debug::log_warn("Using the cleaned directory path " + _quoted(path));

    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return _set_mode(path, perms);
        return _refuse(_quoted(path) + " exists and is not a directory", ENOTDIR);
    }

    std::vector<std::string_view> parts;
    const bool absolute = path.front() == '/';
    for (std::size_t start = absolute ? 1 : 0; start < path.size();) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        parts.push_back(std::string_view(path).substr(start, end - start));
        start = end + 1;
    }
    if (parts.size() + (absolute ? 1 : 0) > MAX_DEPTH) {
        return _refuse("Refusing to create a directory path of more than 100 parts", ENAMETOOLONG);
    }

    std::optional<int> count;
    std::string prefix;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (absolute || i > 0) prefix.push_back('/');
        prefix.append(parts[i]);
        if (::stat(prefix.c_str(), &st) != 0) {
            if (::mkdir(prefix.c_str(), perms.value_or(DEFAULT_PERMISSIONS)) != 0) {
                const int error = errno;
                Debug::log_warn("mkdir " + _quoted(prefix) + " failed: " + std::strerror(error));
                errno = error;
                return std::nullopt;
            }
            if (created) created->push_back(prefix);
            count = count.value_or(0) + 1;
        } else if (!S_ISDIR(st.st_mode)) {
            // Whatever was made above stays listed in `created`; the call itself has failed.
            return _refuse("Cannot make directories below " + _quoted(prefix) + " for " +
                               _quoted(path) + ": " + std::strerror(ENOTDIR),
                           ENOTDIR);
        }
    }
    // Every level was already there: someone else made the directory since we looked.
    if (!count) errno = EEXIST;
    return count;
}

int safemkdir_or_die(std::string_view dir, std::optional<Mode> mode,
                     std::vector<std::string>* created) {
    const std::optional<int> result = safemkdir(dir, std::move(mode), created);
    if (result && *result > 0) return *result;
    const int error = errno;
    throw Exception::create<Exception::DirCreateFailed>(
        Exception::Params{{"path", std::string(dir)}, {"error", error}});
}

}  // namespace Tarvok::SafeDir::MK
