// Tvwrapd::Listener: the socket the daemon listens on.
//
// Either the one systemd handed over (socket activation: LISTEN_PID names this process and
// LISTEN_FDS counts the sockets from descriptor 3 on; the unit owns the path), or one bound anew at
// the fixed path TVWRAPD_SOCKET_PATH. In the second case the directory is created when missing, a
// stale socket left by a dead daemon is replaced, and a live daemon is never displaced: a lock file
// beside the socket is held for the daemon's life, and a socket that still answers is left alone.
// Either way the daemon does not start where another account could have put a socket or a lock
// of its own (Tarvok::SafePath): a directory up to / that is not root's alone, a lock file that
// is not root's.
// The socket is connectable by every account (0666): who calls is told by the connection, not by
// file permissions. Destroying the listener removes the socket it created, and only that one.
#pragma once

#include <sys/types.h>

#include <string>

#include "Tarvok/UniqueFd.hpp"

namespace Tvwrapd {

class Listener {
  public:
    /// systemd's socket when this process was handed one, else the fixed path bound anew.
    /// Throws Tarvok::Error saying why neither works.
    static Listener open();

    Listener(Listener&&) noexcept = default;
    Listener& operator=(Listener&&) = delete;
    ~Listener();

    /// The listening socket (non-blocking, close-on-exec).
    int fd() const { return socket_.get(); }
    /// True when the socket came from systemd.
    bool handed_over() const { return path_.empty(); }
    /// Where the socket was bound; empty for a handed-over socket.
    const std::string& path() const { return path_; }

  private:
    Listener() = default;
    static Listener _bind_fixed_path();

    Tarvok::UniqueFd socket_;
    Tarvok::UniqueFd lock_;
    std::string path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

}  // namespace Tvwrapd
