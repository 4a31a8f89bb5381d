#include "Listener.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "Filesystem.hpp"
#include "Protocol.hpp"
#include "Tarvok/Debug.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/SafePath.hpp"
#include "Tarvok/Socket/UNIX/Micro.hpp"
#include "Tarvok/SysRoot.hpp"

namespace Tvwrapd {
namespace {

using Filesystem::fail;
using Tarvok::UniqueFd;
using Tarvok::Socket::UNIX::Micro::Address;
using Tarvok::Socket::UNIX::Micro::unix_address;

constexpr int LISTEN_FDS_START = 3;
constexpr std::string_view LOCK_NAME = "tvwrapd.lock";

std::optional<long> _number(const char* text) {
    if (text == nullptr || *text == '\0') return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return value;
}

bool _is_listening_unix_stream(int fd) {
    int type = 0;
    int listening = 0;
    socklen_t length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) {
        return false;
    }
    length = sizeof listening;
    if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 || !listening) {
        return false;
    }
    sockaddr_storage address{};
    socklen_t address_length = sizeof address;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&address), &address_length) == 0 &&
           address.ss_family == AF_UNIX;
}

/// systemd's first socket when LISTEN_PID names this process; the variables are cleared so that
/// nothing started later mistakes them for its own.
std::optional<UniqueFd> _systemd_socket() {
    const auto pid = _number(std::getenv("LISTEN_PID"));
    const auto count = _number(std::getenv("LISTEN_FDS"));
    if (!pid || *pid != getpid()) return std::nullopt;
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    if (!count || *count < 1) {
        throw Tarvok::Error("LISTEN_PID names this process but LISTEN_FDS hands over no socket");
    }
    for (long extra = 1; extra < *count && extra < 1024; ++extra) {
        Tarvok::Debug::log_warn("ignoring extra socket " +
                                std::to_string(LISTEN_FDS_START + extra) +
                                " handed over by systemd");
        ::close(static_cast<int>(LISTEN_FDS_START + extra));
    }
    UniqueFd fd(LISTEN_FDS_START);
    if (!_is_listening_unix_stream(fd.get())) {
        throw Tarvok::Error(
            "Descriptor 3 handed over by systemd is not a listening UNIX stream "
            "socket");
    }
    fcntl(fd.get(), F_SETFD, FD_CLOEXEC);
    fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
    return fd;
}

/// Refuses to start where another account could have put a socket or a lock of its own, or could
/// take ours away: clients would find an impostor, or no daemon at all.
void _require_trusted(const Tarvok::SafePath::Verdict& verdict, const std::string& path,
                      const std::string& fix) {
    if (verdict.error != 0) fail("Cannot inspect", path, verdict.error);
    if (!verdict.trusted()) {
        throw Tarvok::Error("Refusing to start: " + verdict.problem +
                            ", so another account could stand in for tvwrapd or lock it out; " +
                            fix);
    }
}

void _require_trusted_directory(const std::string& dir) {
    const Tarvok::SafePath::Verdict verdict =
        Tarvok::SafePath::check_directories(dir, Tarvok::SafePath::Owners::daemon());
    _require_trusted(verdict, dir,
                     "every directory up to / must belong to root and be writable by root only "
                     "(chown root '" +
                         verdict.path + "'; chmod go-w '" + verdict.path + "')");
}

/// The directory of the socket `fd` is bound at, when it has a path.
std::optional<std::string> _socket_directory(int fd) {
    sockaddr_un address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        length <= offsetof(sockaddr_un, sun_path) || address.sun_path[0] == '\0') {
        return std::nullopt;
    }
    const std::string path(address.sun_path,
                           strnlen(address.sun_path, length - offsetof(sockaddr_un, sun_path)));
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return std::nullopt;
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

/// Whether something accepts connections at `path` right now.
bool _answers(const std::string& path) {
    UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe) fail("Cannot create a socket to probe", path, errno);
    const Address address = unix_address(path);
    return connect(probe.get(), address.get(), address.length) == 0;
}

}  // namespace

Listener Listener::open() {
    if (auto handed = _systemd_socket()) {
        if (const auto dir = _socket_directory(handed->get())) _require_trusted_directory(*dir);
        Listener listener;
        listener.socket_ = std::move(*handed);
        return listener;
    }
    return _bind_fixed_path();
}

Listener Listener::_bind_fixed_path() {
    Listener listener;
    const std::string path = Tarvok::SysRoot::path(Protocol::Wire::TVWRAPD_SOCKET_PATH);
    const std::string dir = path.substr(0, path.rfind('/'));
    const Address address = unix_address(path);
    Filesystem::make_parents(path);
    _require_trusted_directory(dir);

    // Two daemons starting together must not both judge the socket stale and unlink each other's.
    const std::string lock_path = dir + "/" + std::string(LOCK_NAME);
    listener.lock_.reset(
        ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!listener.lock_) fail("Cannot open lock file", lock_path, errno);
    // A lock another account made is one it can hold for ever.
    _require_trusted(Tarvok::SafePath::check_file(listener.lock_.get(), lock_path,
                                                  Tarvok::SafePath::Owners::daemon()),
                     lock_path, "remove it (rm '" + lock_path + "') and start tvwrapd again");
    if (flock(listener.lock_.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            throw Tarvok::Error("Another tvwrapd is running (it holds '" + lock_path + "')");
        }
        fail("Cannot lock", lock_path, errno);
    }

    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            throw Tarvok::Error("'" + path + "' exists and is not a socket; not replacing it");
        }
        if (_answers(path)) {
            throw Tarvok::Error("Another daemon answers on '" + path + "'; not replacing it");
        }
        if (unlink(path.c_str()) != 0 && errno != ENOENT)
            fail("Cannot remove stale socket", path, errno);
        Tarvok::Debug::log_info("removed stale socket '" + path + "'");
    } else if (errno != ENOENT) {
        fail("Cannot inspect", path, errno);
    }

    listener.socket_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listener.socket_) fail("Cannot create the socket for", path, errno);
    if (bind(listener.socket_.get(), address.get(), address.length) != 0) {
        fail("Cannot bind", path, errno);
    }
    listener.path_ = path;
    if (lstat(path.c_str(), &st) != 0) fail("Cannot inspect", path, errno);
    listener.device_ = st.st_dev;
    listener.inode_ = st.st_ino;
    if (chmod(path.c_str(), 0666) != 0) fail("Cannot set the mode of", path, errno);
    if (listen(listener.socket_.get(), SOMAXCONN) != 0) fail("Cannot listen on", path, errno);
    return listener;
}

Listener::~Listener() {
    if (path_.empty() || !socket_) return;
    // Only our own socket: a successor may already have bound a new one at the same path.
    struct stat st {};
    if (lstat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_) {
        unlink(path_.c_str());
    }
}

}  // namespace Tvwrapd
