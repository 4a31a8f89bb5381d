#include "daemon/support/DaemonClient.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "Tarvok/Wire.hpp"

namespace DaemonTest {
namespace {

constexpr std::string_view NAME_PREFIX = "tvwrapd-test-client/";

sockaddr_un unix_address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

}  // namespace

std::string json_string(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20) {
            out += "\\u00";
            out += hex[byte >> 4];
            out += hex[byte & 0xf];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string request(std::string_view function, std::string_view data) {
    return "{\"serializer_version\":\"1.0\",\"namespace\":\"Tarvok\",\"module\":\"Cron\","
           "\"function\":" +
           json_string(function) + ",\"action\":null,\"env\":{\"REMOTE_ADDR\":\"10.0.0.1\"}," +
           "\"data\":" + std::string(data) + "}" + std::string(Tarvok::Wire::END_OF_REQUEST_MARKER);
}

std::string save_request(std::string_view crontab) {
    return request("save", "{\"crontab\":" + json_string(crontab) + "}");
}

int connect_to(const std::string& socket_path, std::optional<uid_t> as_uid) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    if (as_uid) {
        static std::atomic<unsigned> counter{0};
        // Abstract names: nothing on disk, gone with the socket.
        const std::string name = std::string(1, '\0') + std::string(NAME_PREFIX) +
                                 std::to_string(*as_uid) + "/" + std::to_string(getpid()) + "/" +
                                 std::to_string(counter++);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, name.data(), name.size());
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
            close(fd);
            throw std::runtime_error(std::string("bind failed: ") + std::strerror(errno));
        }
    }
    const sockaddr_un address = unix_address(socket_path);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        close(fd);
        throw std::runtime_error(std::string("connect failed: ") + std::strerror(error));
    }
    return fd;
}

std::string read_to_end(int fd, std::chrono::milliseconds limit) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return out;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return out;
        }
    }
}

std::string exchange(const std::string& socket_path, std::string_view bytes,
                     std::optional<uid_t> as_uid, bool shut) {
    const int fd = connect_to(socket_path, as_uid);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the server may refuse before taking everything
        sent += static_cast<std::size_t>(n);
    }
    if (shut) shutdown(fd, SHUT_WR);
    std::string answer = read_to_end(fd);
    close(fd);
    return answer;
}

std::optional<uid_t> uid_from_client_name(int fd) {
    sockaddr_un address{};
    socklen_t length = sizeof address;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return std::nullopt;
    const std::size_t name_length = length - offsetof(sockaddr_un, sun_path);
    const std::string_view name(address.sun_path, name_length);
    if (name.size() < NAME_PREFIX.size() + 1 || name[0] != '\0' ||
        name.substr(1, NAME_PREFIX.size()) != NAME_PREFIX) {
        return Tvwrapd::peer_credentials(fd);
    }
    const std::string_view rest = name.substr(1 + NAME_PREFIX.size());
    return static_cast<uid_t>(std::stoul(std::string(rest.substr(0, rest.find('/')))));
}

Tvwrapd::ServerConfig ServerThread::test_config() {
    Tvwrapd::ServerConfig config;
    config.peer_uid = uid_from_client_name;
    return config;
}

ServerThread::ServerThread(Tvwrapd::ServerConfig config)
    : listener_(Tvwrapd::Listener::open()),
      server_(listener_.fd(), std::move(config)),
      thread_([this] { server_.run(); }) {}

ServerThread::~ServerThread() {
    stop();
}

void ServerThread::stop() {
    if (!thread_.joinable()) return;
    server_.stop();
    thread_.join();
}

}  // namespace DaemonTest
