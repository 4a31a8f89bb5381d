// The sandbox build of tvwrapd as a child process of a test: started in a sandbox root, stopped
// with SIGTERM and waited for by the test (or, at the latest, by the destructor).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/SandboxRoot.hpp"

namespace DaemonTest {

class DaemonProcess {
  public:
    /// Starts sandbox/bin/tvwrapd with `args` in `root`. With `handed_socket` >= 0, that socket is
    /// passed as descriptor 3 the way systemd does (LISTEN_FDS=1, LISTEN_PID the child). With
    /// `journal`, its standard error is announced as the journal (JOURNAL_STREAM), as systemd does.
    explicit DaemonProcess(const TestSupport::SandboxRoot& root, std::vector<std::string> args = {},
                           int handed_socket = -1, bool journal = false);
    ~DaemonProcess();
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    /// Waits until the daemon says it serves; false when it exited or took too long.
    bool wait_until_serving(std::chrono::milliseconds limit = std::chrono::seconds(10));
    /// Sends SIGTERM and returns the exit status (128 + signal when killed).
    int stop();
    /// Waits for the daemon to end by itself; its exit status, or -1 after `limit`.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(10));
    /// Everything the daemon wrote to standard error so far.
    std::string log() const;

  private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string log_path_;
};

}  // namespace DaemonTest
