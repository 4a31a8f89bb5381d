// Raw-socket clients for the daemon's tests, and an in-process server that tests start and stop.
//
// A test client may pose as any uid: it binds its socket to an abstract name that carries the uid,
// and the server under test is given uid_from_client_name() as its peer lookup. Everything else
// (framing, answers, the spool) is the daemon's real code.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "Listener.hpp"
#include "Server.hpp"

namespace DaemonTest {

/// A compact request as the front end sends it, marker included. `data` is raw JSON.
std::string request(std::string_view function, std::string_view data = "null");
/// A save request for `crontab`, marker included.
std::string save_request(std::string_view crontab);
/// Escapes `text` as a JSON string (quotes included).
std::string json_string(std::string_view text);

/// Connects to `socket_path` (posing as `as_uid` when given), writes `bytes`, shuts down the
/// sending direction when `shut` is set, and returns everything read until the server closes.
std::string exchange(const std::string& socket_path, std::string_view bytes,
                     std::optional<uid_t> as_uid = std::nullopt, bool shut = true);

/// A connected client socket posing as `as_uid` (when given); the caller owns the descriptor.
int connect_to(const std::string& socket_path, std::optional<uid_t> as_uid = std::nullopt);
/// Reads until the server closes (at most `limit`); the text read so far.
std::string read_to_end(int fd, std::chrono::milliseconds limit = std::chrono::seconds(30));

/// The peer lookup for servers under test: the uid a test client put in its name.
std::optional<uid_t> uid_from_client_name(int fd);

/// The daemon's server on a thread, listening at the fixed path inside the current sandbox root.
class ServerThread {
  public:
    explicit ServerThread(Tvwrapd::ServerConfig config = test_config());
    ~ServerThread();
    ServerThread(const ServerThread&) = delete;
    ServerThread& operator=(const ServerThread&) = delete;

    const std::string& path() const { return listener_.path(); }
    std::string exchange(std::string_view bytes, std::optional<uid_t> as_uid = std::nullopt) const {
        return DaemonTest::exchange(path(), bytes, as_uid);
    }
    /// Stops the server and waits for it (also done by the destructor).
    void stop();

    /// The daemon's configuration with the test peer lookup.
    static Tvwrapd::ServerConfig test_config();

  private:
    Tvwrapd::Listener listener_;
    Tvwrapd::Server server_;
    std::thread thread_;
};

}  // namespace DaemonTest
