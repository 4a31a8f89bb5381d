#include "Tarvok/SafeDir/RM.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "Tarvok/Process.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Tarvok::SafeDir::RM {
namespace {

constexpr int kDirOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The entry names of the directory open at `dir_fd`, without "." and "..". Names are read in full
// before anything is removed, since removing entries while a listing runs may hide others.
std::vector<std::string> _entries(int dir_fd) {
    std::vector<std::string> names;
    const int listing_fd = ::dup(dir_fd);
    if (listing_fd < 0) return names;
    DIR* listing = ::fdopendir(listing_fd);
    if (listing == nullptr) {
        ::close(listing_fd);
        return names;
    }
    // The duplicate shares the file offset with dir_fd, which an earlier listing has moved.
    ::rewinddir(listing);
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        names.emplace_back(name);
    }
    ::closedir(listing);
    return names;
}

// Unlinks the non-directory entries of `dir_fd` up to the first one that will not go.
void _unlink_entries(int dir_fd) {
    for (const std::string& name : _entries(dir_fd)) {
        if (::unlinkat(dir_fd, name.c_str(), 0) != 0) return;
    }
}

// Removes everything below `dir_fd`, keeping on past failures so that as much as possible goes.
// Depth is bounded by the descriptors the process may hold: a deeper tree stays, it never crashes.
void _remove_contents(int dir_fd) {
    for (const std::string& name : _entries(dir_fd)) {
        if (::unlinkat(dir_fd, name.c_str(), 0) == 0 || errno == ENOENT) continue;
        if (errno != EISDIR && errno != EPERM) continue;
        // A link swapped in for the directory since the unlink fails here with ELOOP or ENOTDIR.
        UniqueFd sub(::openat(dir_fd, name.c_str(), kDirOpenFlags));
        if (!sub) continue;
        _remove_contents(sub.get());
        sub.reset();
        ::unlinkat(dir_fd, name.c_str(), AT_REMOVEDIR);
    }
}

bool _is_real_directory(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool _is_gone(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) != 0 && errno == ENOENT;
}

// The cheap steps first; only a tree that took the recursive walk resets the child status, and
// only when asked to.
bool _remove(std::string_view dir_view, bool reset_child_status) {
    if (dir_view.find('\0') != std::string_view::npos) return false;
    // "link/" would resolve the link even under O_NOFOLLOW: judge the name itself.
    while (dir_view.size() > 1 && dir_view.ends_with('/')) dir_view.remove_suffix(1);
    const std::string dir(dir_view);
    if (!_is_real_directory(dir)) return false;
    if (::rmdir(dir.c_str()) == 0) return true;

    UniqueFd top(::open(dir.c_str(), kDirOpenFlags));
    if (top) _unlink_entries(top.get());
    if (::rmdir(dir.c_str()) == 0) return true;

    if (top) _remove_contents(top.get());
    top.reset();
    ::rmdir(dir.c_str());
    if (!_is_gone(dir)) return false;
    if (reset_child_status) Process::set_child_status(0);
    return true;
}

}  // namespace

bool safermdir(std::string_view dir) {
    return _remove(dir, true);
}

bool remove_directory(std::string_view dir) {
    return _remove(dir, false);
}

}  // namespace Tarvok::SafeDir::RM
