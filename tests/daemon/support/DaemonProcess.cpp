#include "daemon/support/DaemonProcess.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace DaemonTest {
namespace {

int exit_status(int wait_status) {
    return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
}

}  // namespace

DaemonProcess::DaemonProcess(const TestSupport::SandboxRoot& root, std::vector<std::string> args,
                             int handed_socket, bool journal) {
    static std::atomic<int> counter{0};
    log_path_ = root.dir() + "/tvwrapd-" + std::to_string(counter++) + ".log";
    const std::string program = TestSupport::built("sandbox/bin/tvwrapd");
    std::vector<std::string> env = {"TARVOK_SANDBOX_ROOT=" + root.dir(), "PATH=/usr/bin:/bin"};
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ != 0) return;

    const int log = open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int null = open("/dev/null", O_RDWR);
    if (log < 0 || null < 0) _exit(126);
    dup2(null, 0);
    dup2(null, 1);
    dup2(log, 2);
    struct stat st {};
    if (journal && fstat(2, &st) == 0) {
        env.push_back("JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" +
                      std::to_string(st.st_ino));
    }
    if (handed_socket >= 0) {
        if (handed_socket == 3) {
            fcntl(3, F_SETFD, 0);
        } else {
            dup2(handed_socket, 3);
        }
        env.push_back("LISTEN_FDS=1");
        env.push_back("LISTEN_PID=" + std::to_string(getpid()));
    }
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
}

DaemonProcess::~DaemonProcess() {
    if (pid_ > 0 && status_ < 0) {
        if (stop() < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
}

bool DaemonProcess::wait_until_serving(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (log().find("tvwrapd serving") != std::string::npos) return true;
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == pid_) {
            status_ = exit_status(raw);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

int DaemonProcess::wait(std::chrono::milliseconds limit) {
    if (status_ >= 0) return status_;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == pid_) return status_ = exit_status(raw);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

int DaemonProcess::stop() {
    if (status_ >= 0) return status_;
    kill(pid_, SIGTERM);
    return wait();
}

std::string DaemonProcess::log() const {
    try {
        return TestSupport::read_file(log_path_);
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace DaemonTest
