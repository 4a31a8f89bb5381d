// Tvwrapd::Server: serves many callers at once; no caller can hold up another.
//
// One event-loop thread accepts, tells who is calling from the connection itself, reads each
// request up to the end-of-request marker (or refuses it: too large, cut short, not complete in
// time, over a bound) and writes out whatever answer could not be sent at once. It answers short
// fetches and bad requests itself, since waking a worker costs a fetch more than serving it: up to
// a budget of answer bytes between two waits for events, and not again for a while to an account
// that got a large answer from it. Two pools of worker threads turn the other requests into
// answers: a small one, sized to the CPUs, parses long requests and those the loop leaves and
// answers all but installs; installs, which wait for the disk to flush, go on to a larger one.
// Each pool serves the accounts in turn (Tvwrapd::Turns), one request of an account at a time, and
// the turn lasts until the answer is out: an account that floods the daemon, or leaves its answers
// unread, waits behind itself only, and never has two large answers made or held for it at once.
//
// A connection's descriptor has one owner at a time: the loop while reading or writing, the
// worker holding its request while that is served. A worker that got the whole answer out closes
// the connection; the rest of an answer goes back to the loop, and so does all of a large one,
// which the loop first lets in under the memory bounds.
//
// Connections and the memory their requests and answers hold are bounded per account and in
// total; part of the connections is kept for accounts that have none open. A caller over a bound
// gets an error answer, and the daemon reads on (discarding) until the caller has sent everything,
// so that the answer is not lost to a reset. An answer that would pass a bound is not sent: the
// caller is told the service is busy instead.
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
    /// How long a caller has, from accept, to send its whole request.
    std::chrono::milliseconds time_limit = std::chrono::seconds(10);
    /// How long an answer being written may wait for the caller to take more of it.
    std::chrono::milliseconds write_idle_limit = std::chrono::seconds(10);
    /// How long a refused caller's remaining input is read and dropped before the close.
    std::chrono::milliseconds drain_limit = std::chrono::seconds(2);
    /// The longest request text, marker not counted.
    std::size_t max_request = Protocol::MAX_REQUEST_LENGTH;
    std::size_t max_connections = 1024;
    std::size_t max_connections_per_account = 64;
    /// Connections out of max_connections that only an account with none open may take;
    /// max_connections / 8 when not set.
    std::optional<std::size_t> reserved_connections;
    /// Refused connections read to their end at once, on top of max_connections.
    std::size_t max_draining = 128;
    /// Bytes that requests and answers of one account may hold; 4 requests' worth when 0.
    std::size_t max_memory_per_account = 0;
    /// Bytes that requests and answers may hold in total.
    std::size_t max_memory = 64 * 1024 * 1024;
    /// Workers that answer what the loop leaves them; 0: one per CPU, at least 2.
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
