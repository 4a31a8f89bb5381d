// Tvwrapd::Server: serves many callers at once; no caller can hold up another.
//
// One event-loop thread owns every connection: it accepts, tells who is calling from the
// connection itself, reads each request up to the end-of-request marker (or refuses it: too
// large, cut short, not complete in time) and writes out whatever answer could not be sent at once.
// Two fixed pools of worker threads turn complete requests into answers: a small one, sized to the
// CPUs, for fetches, and a larger one for installs, which wait for the disk to flush. So a slow
// disk never stops the loop from taking in requests nor holds up fetches, and a silent client
// costs only a descriptor and its buffer until its time runs out. A worker that got a whole
// answer out closes that connection itself; only the rest of a large answer goes back to the loop.
// Connections are bounded in total and per account; a caller over a bound gets an error answer at
// once.
//
//     Tvwrapd::Listener listener = Tvwrapd::Listener::open();
//     Tvwrapd::Server server(listener.fd());
//     server.run();  // until stop(), which a signal handler may call
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Protocol.hpp"
#include "Service.hpp"

namespace Tvwrapd {

/// The uid on the other end of a connection, from the kernel (SO_PEERCRED).
std::optional<uid_t> peer_credentials(int fd);

struct ServerConfig {
    /// Everything a connection may take, from accept to the last byte of its answer.
    std::chrono::milliseconds time_limit = std::chrono::seconds(10);
    /// The longest request text, marker not counted.
    std::size_t max_request = Protocol::MAX_REQUEST_LENGTH;
    std::size_t max_connections = 1024;
    std::size_t max_connections_per_account = 64;
    /// Workers for requests that only read (fetches, refusals); 0: one per CPU, at least 2.
    unsigned quick_workers = 0;
    /// Workers for installs, which wait for the disk to flush.
    unsigned disk_workers = 8;
    /// Who is calling. Tests substitute their own; the daemon asks the kernel.
    std::function<std::optional<uid_t>(int fd)> peer_uid = peer_credentials;
    /// The answer to a complete request (marker removed) from a uid. Must not throw.
    std::function<std::string(uid_t, std::string_view)> answer = Service::answer;
    /// The answer to a connection whose request could not be taken in, giving the reason.
    std::function<std::string(uid_t, std::string_view)> refuse = Service::refuse;
};

class Server {
  public:
    Server(int listen_fd, ServerConfig config = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    /// Serves until stop(); then finishes the requests already taken in and returns.
    void run();
    /// Asks run() to return. Safe from a signal handler and from any thread.
    void stop() noexcept;

  private:
    struct Loop;
    std::unique_ptr<Loop> loop_;
};

}  // namespace Tvwrapd
