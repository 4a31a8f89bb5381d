#include "support/FakeDaemon.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "Tarvok/SysRoot.hpp"
#include "Tarvok/Wire.hpp"
#include "support/SandboxRoot.hpp"

namespace TestSupport {
namespace {

std::string _daemon_path() {
    const std::string path = Tarvok::SysRoot::path(Tarvok::Wire::TVWRAPD_SOCKET_PATH);
    if (!Tarvok::SysRoot::is_sandbox() || Tarvok::SysRoot::root().empty()) {
        throw std::logic_error("a fake daemon needs a sandbox root");
    }
    return path;
}

// The kernel names a listener's client the account that called listen(): a child of that
// account does it on the shared socket.
bool _listen_as(int fd, int backlog, uid_t account, const std::string& path) {
    if (lchown(path.c_str(), account, account) != 0) return false;
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        _exit(setresgid(account, account, account) == 0 &&
                      setresuid(account, account, account) == 0 && listen(fd, backlog) == 0
                  ? 0
                  : 1);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

FakeDaemon::FakeDaemon(Handler handler, int backlog, std::optional<uid_t> account)
    : path_(_daemon_path()), handler_(std::move(handler)) {
    make_dirs(path_.substr(0, path_.rfind('/')));
    listener_.reset(socket(PF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = PF_UNIX;
    if (path_.size() >= sizeof address.sun_path) throw std::runtime_error("path too long");
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    if (!listener_ ||
        bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (account ? !_listen_as(listener_.get(), backlog, *account, path_)
                 : listen(listener_.get(), backlog) != 0)) {
        throw std::runtime_error("cannot listen at " + path_ + ": " + std::strerror(errno));
    }
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    stop_read_.reset(ends[0]);
    stop_write_.reset(ends[1]);
    if (handler_) thread_ = std::thread([this] { serve(); });
}

FakeDaemon::~FakeDaemon() {
    stop_write_.reset();  // wakes the thread and every handler waiting for the end
    if (thread_.joinable()) thread_.join();
    listener_.reset();
    unlink(path_.c_str());
}

void FakeDaemon::serve() {
    for (;;) {
        pollfd watch[2] = {{listener_.get(), POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
        if (poll(watch, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (watch[1].revents != 0) return;
        Tarvok::UniqueFd connection(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection) continue;
        ++connections_;
        handler_(*this, connection.get());
    }
}

std::string FakeDaemon::read_request(int connection) {
    std::string request;
    char chunk[65536];
    for (;;) {
        const ssize_t got = read(connection, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        request.append(chunk, static_cast<std::size_t>(got));
    }
    const std::lock_guard lock(mutex_);
    requests_.push_back(request);
    return request;
}

void FakeDaemon::send_all(int connection, std::string_view text) {
    while (!text.empty()) {
        const ssize_t wrote = send(connection, text.data(), text.size(), MSG_NOSIGNAL);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(wrote));
    }
}

void FakeDaemon::wait_until_stopped() {
    pollfd watch{stop_read_.get(), POLLIN, 0};
    while (poll(&watch, 1, -1) < 0 && errno == EINTR) {
    }
}

std::vector<std::string> FakeDaemon::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

std::unique_ptr<FakeDaemon> FakeDaemon::never_accepting() {
    // With a queue of one, a first waiting connection fills it.
    return std::make_unique<FakeDaemon>(Handler{}, 0);
}

std::unique_ptr<FakeDaemon> FakeDaemon::answering(std::string answer,
                                                  std::optional<uid_t> account) {
    return std::make_unique<FakeDaemon>(
        [answer](FakeDaemon& daemon, int connection) {
            daemon.read_request(connection);
            send_all(connection, answer);
        },
        16, account);
}

std::unique_ptr<FakeDaemon> FakeDaemon::closing_at_once() {
    return std::make_unique<FakeDaemon>([](FakeDaemon&, int) {});
}

std::unique_ptr<FakeDaemon> FakeDaemon::answering_unread(std::string answer) {
    return std::make_unique<FakeDaemon>(
        [answer](FakeDaemon&, int connection) { send_all(connection, answer); });
}

std::unique_ptr<FakeDaemon> FakeDaemon::silent() {
    return std::make_unique<FakeDaemon>([](FakeDaemon& daemon, int connection) {
        daemon.read_request(connection);
        daemon.wait_until_stopped();
    });
}

}  // namespace TestSupport
