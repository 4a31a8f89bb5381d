#include "support/ChildProcess.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <stdexcept>

namespace TestSupport {
namespace {

// Forks; the child gets `input` on descriptor 0 and pipes on 1 and 2, then runs `in_child`, which
// must not return. The parent feeds the input, gathers both outputs and waits.
RunResult _run_child(const std::function<void()>& in_child, std::string_view input) {
    // A child that exits before reading all its input must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC)) {
        throw std::runtime_error("pipe failed");
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        signal(SIGPIPE, SIG_DFL);
        in_child();
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    RunResult result;
    size_t written = 0;
    int in_fd = in_pipe[1];
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    } else {
        fcntl(in_fd, F_SETFL, O_NONBLOCK);
    }
    int fds_open = 2;
    char buf[65536];
    while (fds_open > 0 || in_fd >= 0) {
        pollfd pfds[3];
        int n = 0;
        int out_idx = -1, err_idx = -1, in_idx = -1;
        if (out_pipe[0] >= 0) {
            pfds[n] = {out_pipe[0], POLLIN, 0};
            out_idx = n++;
        }
        if (err_pipe[0] >= 0) {
            pfds[n] = {err_pipe[0], POLLIN, 0};
            err_idx = n++;
        }
        if (in_fd >= 0) {
            pfds[n] = {in_fd, POLLOUT, 0};
            in_idx = n++;
        }
        if (poll(pfds, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        auto drain = [&](int idx, int& fd, std::string& sink) {
            if (idx < 0 || !(pfds[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
            ssize_t r = read(fd, buf, sizeof buf);
            if (r > 0) {
                sink.append(buf, static_cast<size_t>(r));
            } else if (r == 0 || errno != EINTR) {
                close(fd);
                fd = -1;
                --fds_open;
            }
        };
        drain(out_idx, out_pipe[0], result.out);
        drain(err_idx, err_pipe[0], result.err);
        if (in_idx >= 0 && (pfds[in_idx].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t w = write(in_fd, input.data() + written, input.size() - written);
            if (w > 0) written += static_cast<size_t>(w);
            if (w < 0 && errno != EINTR && errno != EAGAIN) written = input.size();
            if (written >= input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
    }
    while (waitpid(pid, &result.wait_status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(result.wait_status) ? WEXITSTATUS(result.wait_status)
                                                  : 128 + WTERMSIG(result.wait_status);
    return result;
}

}  // namespace

RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              std::string_view input, const std::string& arg0, std::optional<RunAs> as) {
    std::vector<char*> args;
    args.push_back(const_cast<char*>(arg0.empty() ? argv[0].c_str() : arg0.c_str()));
    for (size_t i = 1; i < argv.size(); ++i) args.push_back(const_cast<char*>(argv[i].c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    return _run_child(
        [&] {
            if (as && (setgroups(0, nullptr) != 0 || setresgid(as->gid, as->gid, as->gid) != 0 ||
                       setresuid(as->uid, as->uid, as->uid) != 0)) {
                const char message[] = "cannot switch to the requested account\n";
                (void)!write(2, message, sizeof message - 1);
                _exit(127);
            }
            execve(argv[0].c_str(), args.data(), envp.data());
        },
        input);
}

RunResult run_forked(const std::function<int()>& body) {
    return _run_child([&] { _exit(body()); }, {});
}

}  // namespace TestSupport
