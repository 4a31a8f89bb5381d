// A stand-in for tvwrapd inside the test process: a listening socket at the daemon's path in the
// current sandbox root, served by a thread that runs a scripted handler for each connection.
// The handler sees the connected socket; the helpers below read a request to its end and answer.
// Everything the daemon receives is recorded. Destroying the object stops the thread, closes
// the socket and removes its file.
//
//     TestSupport::SandboxRoot root;
//     auto daemon = TestSupport::FakeDaemon::answering(R"({"status":1,"data":{}})");
//     auto result = Tarvok::Wrap::send_tvwrapd_request({...});
//     EXPECT_EQ(daemon->requests().at(0), expected_request_bytes);
#pragma once

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Tarvok/UniqueFd.hpp"

namespace TestSupport {

class FakeDaemon {
  public:
    using Handler = std::function<void(FakeDaemon&, int connection)>;

    /// Listens at the daemon path of the current sandbox root; `backlog` as for listen(). With
    /// `account`, the socket is as that account would have made it: the file is its, and so is
    /// the listener the kernel names to a client (SO_PEERCRED).
    explicit FakeDaemon(Handler handler, int backlog = 16,
                        std::optional<uid_t> account = std::nullopt);
    /// Listens without ever accepting (a daemon that stopped serving).
    static std::unique_ptr<FakeDaemon> never_accepting();
    ~FakeDaemon();
    FakeDaemon(const FakeDaemon&) = delete;
    FakeDaemon& operator=(const FakeDaemon&) = delete;

    /// Reads the whole request, then writes `answer` and closes.
    static std::unique_ptr<FakeDaemon> answering(std::string answer,
                                                 std::optional<uid_t> account = std::nullopt);
    /// Closes each connection at once, reading nothing.
    static std::unique_ptr<FakeDaemon> closing_at_once();
    /// Writes `answer` and closes without reading anything.
    static std::unique_ptr<FakeDaemon> answering_unread(std::string answer);
    /// Reads the request, then keeps the connection open without a word until destroyed.
    static std::unique_ptr<FakeDaemon> silent();

    // Helpers for handlers.
    /// Reads until the client shuts down its sending direction; records and returns the bytes.
    std::string read_request(int connection);
    /// Writes all of `text` (never raising SIGPIPE).
    static void send_all(int connection, std::string_view text);
    /// Blocks until the daemon is being destroyed.
    void wait_until_stopped();

    /// The requests read so far, in order.
    std::vector<std::string> requests() const;
    /// How many connections were accepted.
    int connections() const { return connections_; }
    const std::string& socket_path() const { return path_; }

  private:
    void serve();

    std::string path_;
    Tarvok::UniqueFd listener_;
    Tarvok::UniqueFd stop_read_, stop_write_;
    Handler handler_;
    bool accepting_ = true;
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::atomic<int> connections_{0};
    std::thread thread_;
};

}  // namespace TestSupport
