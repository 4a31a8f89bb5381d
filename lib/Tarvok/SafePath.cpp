#include "Tarvok/SafePath.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "Tarvok/ErrnoGuard.hpp"
#include "Tarvok/FHUtils/WholeIO.hpp"
#include "Tarvok/SysRoot.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Tarvok::SafePath {
namespace {

// More links than any sane layout has on the way to a socket: a loop of links ends here.
constexpr int MOST_LINKS = 40;

std::string _quoted(const std::string& path) {
    return "'" + path + "'";
}

std::string _mode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

Verdict _fault(const std::string& path, const std::string& why) {
    return {0, path, _quoted(path) + " " + why};
}

// A small file of /proc, whole; nothing when it cannot be read.
std::optional<std::string> _proc_file(const char* path) {
    ErrnoGuard keep;
    const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string text;
    if (!FHUtils::WholeIO::read_to_end(FHUtils::Handle{fd.get()}, text)) return std::nullopt;
    return text;
}

// The uid that stands for owners outside this user namespace: the overflow uid, when no uid of
// the namespace maps to it. -1 when there is none: in the initial namespace every uid is mapped.
long long _outside_uid() {
    const auto overflow = _proc_file("/proc/sys/kernel/overflowuid");
    const auto map = _proc_file("/proc/self/uid_map");
    if (!overflow || !map) return -1;
    const unsigned long long uid = std::strtoull(overflow->c_str(), nullptr, 10);
    const char* line = map->c_str();
    for (;;) {
        char* end = nullptr;
        const unsigned long long inside = std::strtoull(line, &end, 10);
        if (end == line) return static_cast<long long>(uid);
        line = end;
        std::strtoull(line, &end, 10);  // the uid outside
        line = end;
        const unsigned long long count = std::strtoull(line, &end, 10);
        if (end == line) return -1;  // not the kernel's format: trust nothing unusual
        line = end;
        if (uid >= inside && uid - inside < count) return -1;
    }
}

// Where the walk ends: "/" always, and the sandbox root: as given on the path as given, as it
// resolves on a path a link led to (resolved only then).
class Stops {
  public:
    bool at(const std::string& dir, bool resolved_path) {
        if (dir == "/") return true;
        const std::string& root = SysRoot::root();
        if (root.empty()) return false;
        if (!resolved_path) return dir == root;
        if (!resolved_root_) {
            const std::unique_ptr<char, decltype(&std::free)> real(
                ::realpath(root.c_str(), nullptr), &std::free);
            resolved_root_ = real ? std::string(real.get()) : root;
        }
        return dir == *resolved_root_;
    }

  private:
    std::optional<std::string> resolved_root_;
};

std::string _parent(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

// An entry that only trusted owners may have written: theirs, and (`mode_matters`) not writable
// by group or others. A socket's write bits say who may connect, so they do not matter there.
Verdict _judge(const std::string& path, const struct stat& st, const Owners& owners,
               bool mode_matters) {
    if (!owners.trusts(st.st_uid)) {
        return _fault(path, "belongs to uid " + std::to_string(st.st_uid) + ", not to root");
    }
    if (mode_matters && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return _fault(path,
                      "can be written by its group or by others (mode " + _mode(st.st_mode) + ")");
    }
    return {};
}

}  // namespace

Owners Owners::client() {
    return Owners(Kind::client, 0);
}

Owners Owners::daemon() {
    return Owners(Kind::daemon, ::geteuid());
}

bool Owners::trusts(uid_t uid) const {
    if (uid == 0) return true;
    if (kind_ == Kind::daemon) return uid == own_;
    if (!outside_) outside_ = _outside_uid();
    return *outside_ == static_cast<long long>(uid);
}

Verdict check_directories(const std::string& dir, const Owners& owners) {
    Stops stops;
    // Chains still to walk upwards: the directory as given, then the real paths of the links met
    // on the way (whether each came from a link).
    std::vector<std::pair<std::string, bool>> chains{{dir, false}};
    int links = 0;
    while (!chains.empty()) {
        auto [current, resolved] = std::move(chains.back());
        chains.pop_back();
        for (;;) {
            struct stat st {};
            if (::lstat(current.c_str(), &st) != 0) return {errno, {}, {}};
            if (S_ISLNK(st.st_mode)) {
                if (++links > MOST_LINKS) return {ELOOP, {}, {}};
                const std::unique_ptr<char, decltype(&std::free)> target(
                    ::realpath(current.c_str(), nullptr), &std::free);
                if (!target) return {errno, {}, {}};
                chains.emplace_back(target.get(), true);
                // The link itself is only as safe as the directories it lies in.
            } else if (!S_ISDIR(st.st_mode)) {
                return _fault(current, "is not a directory");
            } else if (Verdict judged = _judge(current, st, owners, true); !judged.trusted()) {
                return judged;
            }
            if (stops.at(current, resolved)) break;
            current = _parent(current);
        }
    }
    return {};
}

Verdict check_socket(const std::string& path, const Owners& owners) {
    if (Verdict above = check_directories(_parent(path), owners); !above.trusted()) return above;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return {errno, {}, {}};
    if (!S_ISSOCK(st.st_mode)) return _fault(path, "is not a socket");
    return _judge(path, st, owners, false);
}

Verdict check_file(int fd, const std::string& path, const Owners& owners) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return {errno, {}, {}};
    if (!S_ISREG(st.st_mode)) return _fault(path, "is not a regular file");
    return _judge(path, st, owners, true);
}

Verdict check_peer(int fd, const std::string& path, const Owners& owners) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return {errno, {}, {}};
    if (!owners.trusts(peer.uid)) {
        return _fault(
            path, "is served by a process of uid " + std::to_string(peer.uid) + ", not of root");
    }
    return {};
}

}  // namespace Tarvok::SafePath
