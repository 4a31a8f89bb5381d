#include "Spool.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

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

// One mutex per account, for the life of the daemon: accounts are few and the map stays small.
std::mutex& _account_mutex(std::string_view account) {
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
            // The files about to go in are flushed; the directory holding them must be too.
            Filesystem::flush_parent(path);
        }
    }
    if (!fd) fail("Cannot open directory", path, errno);
    return fd;
}

/// The content of the regular file `name` in `dir_fd`, which must be `owner`'s alone; nothing when
/// there is no regular file there (a link, a directory, a device: none of them is opened). A file
/// of another owner or with a second name (a hard link planted in an account's place) is looked
/// at but never read: that throws.
std::optional<std::string> _read_own(int dir_fd, std::string_view dir, std::string_view name,
                                     uid_t owner) {
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
    if (st.st_uid != owner) {
        throw Tarvok::Error("Refusing '" + in_dir(dir, name) + "': it belongs to uid " +
                            std::to_string(st.st_uid) + ", not to uid " + std::to_string(owner));
    }
    if (st.st_nlink != 1) {
        throw Tarvok::Error("Refusing '" + in_dir(dir, name) + "': it has " +
                            std::to_string(st.st_nlink) + " hard links");
    }
    try {
        return SmallFile::read_all(fd.get(), static_cast<long>(st.st_size));
    } catch (const Tarvok::Error& failure) {
        throw Tarvok::Error("Cannot read '" + in_dir(dir, name) + "': " + failure.what());
    }
}

/// The temporary name beside `name`: a dot name, which cron skips, and this process's own, so
/// that no other writer takes it for a leftover of its own.
std::string _temp_name(std::string_view name) {
    return "." + std::string(name) + std::string(TEMP_SUFFIX) + "." + std::to_string(getpid());
}

/// The account whose temporary file `name` is, in either form a daemon ever wrote; nothing for
/// any other name (a crontab of an account called "web.tvwrapd-new" among them).
std::optional<std::string_view> _temp_owner(std::string_view name) {
    if (!name.starts_with('.')) return std::nullopt;
    name.remove_prefix(1);
    const auto dot = name.rfind('.');
    if (dot != std::string_view::npos && dot + 1 < name.size() &&
        name.find_first_not_of("0123456789", dot + 1) == std::string_view::npos) {
        name = name.substr(0, dot);
    }
    if (!name.ends_with(TEMP_SUFFIX)) return std::nullopt;
    name.remove_suffix(TEMP_SUFFIX.size());
    if (!usable_name(name)) return std::nullopt;
    return name;
}

/// Where `account`'s lock lies in the lock file: FNV-1a of the name, kept clear of the largest
/// offsets. Two names that meet on one byte only wait for each other.
off_t _lock_offset(std::string_view account) {
    std::uint64_t hash = 14695981039346656037u;
    for (const char c : account) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211u;
    }
    return static_cast<off_t>(hash >> 2);
}

/// Takes `account`'s lock: a write lock on its byte of the lock file. Such a lock belongs to the
/// open file, not to the process, so the daemon's threads keep apart as other processes do, and
/// the kernel drops it with the descriptor, also when its holder is killed. Without `wait`,
/// nothing when another holds it.
UniqueFd _lock(std::string_view account, bool wait) {
    const UniqueFd dir = _open_dir(BACKUP_DIR, true, 0700, std::nullopt);
    const std::string lock_name(LOCK_NAME);
    UniqueFd fd(
        openat(dir.get(), lock_name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) fail("Cannot open", in_dir(BACKUP_DIR, LOCK_NAME), errno);
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = _lock_offset(account);
    range.l_len = 1;
    while (fcntl(fd.get(), wait ? F_OFD_SETLKW : F_OFD_SETLK, &range) != 0) {
        if (errno == EINTR) continue;
        if (!wait && (errno == EAGAIN || errno == EACCES)) return {};
        fail("Cannot lock", in_dir(BACKUP_DIR, LOCK_NAME), errno);
    }
    return fd;
}

/// A new version of `name` in `dir_fd`, written whole and flushed under a temporary name beside
/// it. commit() renames it over `name`; until then it is only a temporary file, which the
/// destructor removes, so a failed install leaves nothing behind.
class Staged {
  public:
    Staged(int dir_fd, std::string_view dir, std::string_view name, std::string_view content,
           uid_t uid, std::optional<gid_t> gid)
        : dir_fd_(dir_fd), dir_(dir), name_(name), temp_(_temp_name(name)) {
        const std::string temp_path = in_dir(dir_, temp_);
        // A leftover of a killed process that had this process's number; the account lock keeps
        // anyone else off this name.
        if (unlinkat(dir_fd_, temp_.c_str(), 0) != 0 && errno != ENOENT) {
            fail("Cannot remove", temp_path, errno);
        }
        UniqueFd fd(openat(dir_fd_, temp_.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
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
        } catch (...) {
            // A full disk must not leave half a crontab beside the whole one.
            unlinkat(dir_fd_, temp_.c_str(), 0);
            throw;
        }
        staged_ = true;
    }
    Staged(const Staged&) = delete;
    Staged& operator=(const Staged&) = delete;
    ~Staged() {
        if (staged_) unlinkat(dir_fd_, temp_.c_str(), 0);
    }

    void commit() {
        if (renameat(dir_fd_, temp_.c_str(), dir_fd_, name_.c_str()) != 0) {
            fail("Cannot rename '" + in_dir(dir_, temp_) + "' to", in_dir(dir_, name_), errno);
        }
        staged_ = false;
    }

  private:
    int dir_fd_;
    std::string dir_;
    std::string name_;
    std::string temp_;
    bool staged_ = false;
};

}  // namespace

AccountLock::AccountLock(std::string_view account) : account_(account) {
    if (!usable_name(account)) throw Tarvok::Error("Unusable account name for a crontab");
    threads_ = std::unique_lock(_account_mutex(account));
    file_ = _lock(account, true);
}

bool usable_name(std::string_view account) {
    return !account.empty() && account.size() <= 200 && account.front() != '.' &&
           account.find('/') == std::string_view::npos &&
           account.find('\0') == std::string_view::npos;
}

std::string read(std::string_view account, uid_t owner) {
    if (!usable_name(account)) throw Tarvok::Error("Unusable account name for a crontab");
    const std::string path = Tarvok::SysRoot::path(SPOOL_DIR);
    UniqueFd spool(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!spool) {
        if (errno == ENOENT) return {};
        fail("Cannot open directory", path, errno);
    }
    return _read_own(spool.get(), SPOOL_DIR, account, owner).value_or(std::string());
}

std::optional<std::string> read_backup(std::string_view account) {
    if (!usable_name(account)) throw Tarvok::Error("Unusable account name for a crontab");
    const std::string path = Tarvok::SysRoot::path(BACKUP_DIR);
    UniqueFd backups(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!backups) {
        if (errno == ENOENT) return std::nullopt;
        fail("Cannot open directory", path, errno);
    }
    return _read_own(backups.get(), BACKUP_DIR, account, geteuid());
}

void install(std::string_view account, uid_t uid, std::string_view text) {
    const AccountLock held(account);
    install(held, uid, text);
}

void install(const AccountLock& held, uid_t uid, std::string_view text) {
    const std::string& account = held.account();
    const std::optional<gid_t> group = _crontab_group();
    // Debian's own spool: sticky, writable by the crontab group, readable by root only.
    UniqueFd spool = _open_dir(SPOOL_DIR, true, group ? 01730 : 0700, group);
    const std::optional<std::string> current = _read_own(spool.get(), SPOOL_DIR, account, uid);

    // Everything is written and flushed before anything is renamed: a full disk or a failure
    // half-way leaves both the crontab and its backup as they were.
    std::optional<Staged> fresh;
    if (!text.empty()) fresh.emplace(spool.get(), SPOOL_DIR, account, text, uid, group);
    UniqueFd backups;
    std::optional<Staged> kept;
    if (current) {
        backups = _open_dir(BACKUP_DIR, true, 0700, std::nullopt);
        kept.emplace(backups.get(), BACKUP_DIR, account, *current, geteuid(), std::nullopt);
    }

    if (fresh) {
        fresh->commit();
    } else if (unlinkat(spool.get(), std::string(account).c_str(), 0) != 0 && errno != ENOENT) {
        fail("Cannot remove", in_dir(SPOOL_DIR, account), errno);
    }
    // From here on the new text is in place: a failure can no longer take it back, only say so.
    const std::string done = fresh ? "the new crontab is in place" : "the crontab is removed";
    std::optional<NotFlushed> unflushed;
    const auto flush = [&](int dir_fd, std::string_view dir, const std::string& risk) {
        if (fsync(dir_fd) == 0) return;
        const int error = errno;
        const std::string detail =
            "Cannot flush directory '" + Tarvok::SysRoot::path(dir) + "': " + std::strerror(error);
        if (!unflushed) unflushed.emplace(detail, done + ", but " + risk);
        Tarvok::Debug::log_error(detail + "; " + done + ", but " + risk);
    };
    // The old text becomes the backup only now that the new one is in place.
    if (kept) {
        bool rotated = false;
        try {
            kept->commit();
            rotated = true;
        } catch (const Tarvok::Error& failure) {
            Tarvok::Debug::log_warn(std::string("the previous backup stays: ") + failure.what());
        }
        if (rotated) {
            flush(backups.get(), BACKUP_DIR,
                  "a crash of the system may lose the backup of the previous one");
        }
    }
    // cron rereads the spool when the directory's time moves; a change within the second of its
    // last look would otherwise go unseen.
    futimens(spool.get(), nullptr);
    flush(spool.get(), SPOOL_DIR, "a crash of the system may undo the change");
    if (unflushed) throw *unflushed;
}

std::size_t remove_leftovers() {
    std::size_t removed = 0;
    for (std::string_view dir : {SPOOL_DIR, BACKUP_DIR}) {
        const std::string path = Tarvok::SysRoot::path(dir);
        UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            if (errno == ENOENT) continue;
            fail("Cannot open directory", path, errno);
        }
        UniqueFd listing(fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
        DIR* entries = listing ? fdopendir(listing.get()) : nullptr;
        if (entries == nullptr) fail("Cannot list", path, errno);
        listing.acquire();  // the listing owns it now
        std::vector<std::string> leftovers;
        while (const dirent* entry = readdir(entries)) {
            if (_temp_owner(entry->d_name)) leftovers.emplace_back(entry->d_name);
        }
        closedir(entries);
        for (const std::string& name : leftovers) {
            // A writer that holds the account's lock (a restore under way) owns what lies there.
            const UniqueFd no_writer = _lock(*_temp_owner(name), false);
            if (!no_writer) continue;
            if (unlinkat(fd.get(), name.c_str(), 0) != 0 && errno != ENOENT) {
                fail("Cannot remove", in_dir(dir, name), errno);
            }
            ++removed;
        }
    }
    return removed;
}

}  // namespace Tvwrapd::Spool
