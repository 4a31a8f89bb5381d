#include "Spool.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "Filesystem.hpp"
#include "SmallFile.hpp"
#include "Tarvok/Debug.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/FHUtils/WholeIO.hpp"
#include "Tarvok/SysRoot.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Tvwrapd::Spool {
namespace {

using Filesystem::fail;
using Tarvok::UniqueFd;

std::string in_dir(std::string_view dir, std::string_view name) {
    return Tarvok::SysRoot::path(dir) + "/" + std::string(name);
}

// One lock per account, for the life of the daemon: accounts are few and the map stays small.
std::mutex& _account_lock(std::string_view account) {
    static std::mutex guard;
    static std::map<std::string, std::unique_ptr<std::mutex>, std::less<>> locks;
    std::lock_guard hold(guard);
    auto it = locks.find(account);
    if (it == locks.end()) {
        it = locks.emplace(std::string(account), std::make_unique<std::mutex>()).first;
    }
    return *it->second;
}

std::optional<gid_t> _crontab_group() {
    const std::string path = Tarvok::SysRoot::path(GROUP_FILE);
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string content;
    try {
        content = SmallFile::read_all(fd.get());
    } catch (const Tarvok::Error&) {
        return std::nullopt;
    }
    const std::string prefix = std::string(CRONTAB_GROUP) + ":";
    std::size_t start = 0;
    while (start < content.size()) {
        auto end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        const std::string_view line(content.data() + start, end - start);
        start = end + 1;
        if (!line.starts_with(prefix)) continue;
        // crontab:x:GID:members
        const auto gid_start = line.find(':', prefix.size());
        if (gid_start == std::string_view::npos) return std::nullopt;
        const auto gid_text =
            line.substr(gid_start + 1, line.find(':', gid_start + 1) - gid_start - 1);
        if (gid_text.empty() ||
            gid_text.find_first_not_of("0123456789") != std::string_view::npos ||
            gid_text.size() > 9) {
            return std::nullopt;
        }
        return static_cast<gid_t>(std::stoul(std::string(gid_text)));
    }
    return std::nullopt;
}

/// Opens a directory of the spool without following a link in its place; creates it (and its
/// parents) with `mode` and `gid` when `create` is set and it is missing.
UniqueFd _open_dir(std::string_view dir, bool create, mode_t mode, std::optional<gid_t> gid) {
    const std::string path = Tarvok::SysRoot::path(dir);
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd fd(open(path.c_str(), flags));
    if (!fd && errno == ENOENT && create) {
        Filesystem::make_parents(path);
        const bool created = mkdir(path.c_str(), 0700) == 0;
        if (!created && errno != EEXIST) fail("Cannot create directory", path, errno);
        fd.reset(open(path.c_str(), flags));
        // Only a directory this call created gets its mode and group.
        if (fd && created) {
            if (gid && fchown(fd.get(), static_cast<uid_t>(-1), *gid) != 0) {
                fail("Cannot set the group of", path, errno);
            }
            if (fchmod(fd.get(), mode) != 0) fail("Cannot set the mode of", path, errno);
        }
    }
    if (!fd) fail("Cannot open directory", path, errno);
    return fd;
}

/// The content of the regular file `name` in `dir_fd`; nothing when there is no regular file
/// there (a link, a directory, a device: none of them is opened).
std::optional<std::string> _read_regular(int dir_fd, std::string_view dir, std::string_view name) {
    const std::string file(name);
    // Never through a link; a FIFO does not block the open, and nothing but root can plant a
    // device in the spool.
    UniqueFd fd(
        openat(dir_fd, file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return std::nullopt;
        if (errno == ELOOP) {
            Tarvok::Debug::log_warn("'" + in_dir(dir, name) + "' is a symlink; ignored");
            return std::nullopt;
        }
        fail("Cannot open", in_dir(dir, name), errno);
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) fail("Cannot inspect", in_dir(dir, name), errno);
    if (!S_ISREG(st.st_mode)) {
        Tarvok::Debug::log_warn("'" + in_dir(dir, name) + "' is not a regular file; ignored");
        return std::nullopt;
    }
    try {
        return SmallFile::read_all(fd.get(), static_cast<long>(st.st_size));
    } catch (const Tarvok::Error& failure) {
        throw Tarvok::Error("Cannot read '" + in_dir(dir, name) + "': " + failure.what());
    }
}

/// Replaces `name` in `dir_fd` with a file holding exactly `content`: written beside it under a
/// dot name (cron skips those), flushed, then renamed over it.
void _replace(int dir_fd, std::string_view dir, std::string_view name, std::string_view content,
              uid_t uid, std::optional<gid_t> gid) {
    const std::string temp = "." + std::string(name) + ".tvwrapd-new";
    const std::string temp_path = in_dir(dir, temp);
    // A leftover of an interrupted install; the account lock keeps anyone else off this name.
    if (unlinkat(dir_fd, temp.c_str(), 0) != 0 && errno != ENOENT) {
        fail("Cannot remove", temp_path, errno);
    }
    UniqueFd fd(
        openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) fail("Cannot create", temp_path, errno);
    try {
        if (fchown(fd.get(), uid, gid ? *gid : static_cast<gid_t>(-1)) != 0) {
            fail("Cannot give away", temp_path, errno);
        }
        if (fchmod(fd.get(), 0600) != 0) fail("Cannot set the mode of", temp_path, errno);
        if (const auto wrote = Tarvok::FHUtils::WholeIO::write_all(fd, content); !wrote) {
            fail("Cannot write", temp_path, wrote.error);
        }
        if (fsync(fd.get()) != 0) fail("Cannot flush", temp_path, errno);
        if (fd.close() != 0) fail("Cannot close", temp_path, errno);
        if (renameat(dir_fd, temp.c_str(), dir_fd, std::string(name).c_str()) != 0) {
            fail("Cannot rename '" + temp_path + "' to", in_dir(dir, name), errno);
        }
    } catch (...) {
        unlinkat(dir_fd, temp.c_str(), 0);
        throw;
    }
}

void _keep_backup(int spool_fd, std::string_view account) {
    const auto current = _read_regular(spool_fd, SPOOL_DIR, account);
    if (!current) return;
    UniqueFd backup_fd = _open_dir(BACKUP_DIR, true, 0700, std::nullopt);
    _replace(backup_fd.get(), BACKUP_DIR, account, *current, geteuid(), std::nullopt);
    fsync(backup_fd.get());
}

}  // namespace

bool usable_name(std::string_view account) {
    return !account.empty() && account.size() <= 200 && account.front() != '.' &&
           account.find('/') == std::string_view::npos &&
           account.find('\0') == std::string_view::npos;
}

std::string read(std::string_view account) {
    if (!usable_name(account)) throw Tarvok::Error("Unusable account name for a crontab");
    const std::string path = Tarvok::SysRoot::path(SPOOL_DIR);
    UniqueFd spool(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!spool) {
        if (errno == ENOENT) return {};
        fail("Cannot open directory", path, errno);
    }
    return _read_regular(spool.get(), SPOOL_DIR, account).value_or(std::string());
}

std::optional<std::string> read_backup(std::string_view account) {
    if (!usable_name(account)) throw Tarvok::Error("Unusable account name for a crontab");
    const std::string path = Tarvok::SysRoot::path(BACKUP_DIR);
    UniqueFd dir(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) {
        if (errno == ENOENT) return std::nullopt;
        fail("Cannot open directory", path, errno);
    }
    return _read_regular(dir.get(), BACKUP_DIR, account);
}

void install(std::string_view account, uid_t uid, std::string_view text) {
    if (!usable_name(account)) throw Tarvok::Error("Unusable account name for a crontab");
    std::lock_guard hold(_account_lock(account));
    const std::optional<gid_t> group = _crontab_group();
    // Debian's own spool: sticky, writable by the crontab group, readable by root only.
    UniqueFd spool = _open_dir(SPOOL_DIR, true, group ? 01730 : 0700, group);
    _keep_backup(spool.get(), account);
    if (text.empty()) {
        const std::string name(account);
        if (unlinkat(spool.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
            fail("Cannot remove", in_dir(SPOOL_DIR, account), errno);
        }
    } else {
        _replace(spool.get(), SPOOL_DIR, account, text, uid, group);
    }
    // cron rereads the spool when the directory's time moves; a change within the second of its
    // last look would otherwise go unseen.
    futimens(spool.get(), nullptr);
    fsync(spool.get());
}

}  // namespace Tvwrapd::Spool
