#include "support/SandboxRoot.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "Tarvok/SysRoot.hpp"

namespace TestSupport {

SandboxRoot::SandboxRoot() {
    char tmpl[] = "/tmp/tarvok-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    // mkdtemp gives 0700; programs run as other accounts must reach the root too.
    if (chmod(dir_.c_str(), 0755) != 0) {
        remove_tree(dir_);
        throw std::runtime_error("chmod " + dir_ + ": " + std::strerror(errno));
    }
    setenv("TARVOK_SANDBOX_ROOT", dir_.c_str(), 1);
    Tarvok::SysRoot::reset();
}

SandboxRoot::~SandboxRoot() {
    remove_tree(dir_);
    unsetenv("TARVOK_SANDBOX_ROOT");
    Tarvok::SysRoot::reset();
}

void SandboxRoot::write(std::string_view absolute, std::string_view content, mode_t mode) const {
    const std::string full = path(absolute);
    make_dirs(full.substr(0, full.rfind('/')));
    write_file(full, content, mode);
}

void SandboxRoot::mkdirs(std::string_view absolute, mode_t mode) const {
    make_dirs(path(absolute), mode);
}

void make_dirs(const std::string& path, mode_t mode) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (!partial.empty() && mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) {
            throw std::runtime_error("mkdir " + partial + ": " + std::strerror(errno));
        }
    }
}

void write_file(const std::string& path, std::string_view content, mode_t mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    chmod(path.c_str(), mode);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::set<std::string> entries(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.insert(name);
        }
        closedir(d);
    }
    return names;
}

void remove_tree(const std::string& path) {
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int flag, struct FTW*) {
            if (flag == FTW_DP) {
                chmod(p, 0700);
                rmdir(p);
            } else {
                unlink(p);
            }
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
}

RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              std::string_view input, const std::string& arg0, std::optional<RunAs> as) {
    // A child that exits before reading all its input must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC)) {
        throw std::runtime_error("pipe failed");
    }
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        signal(SIGPIPE, SIG_DFL);
        if (as && (setgroups(0, nullptr) != 0 || setresgid(as->gid, as->gid, as->gid) != 0 ||
                   setresuid(as->uid, as->uid, as->uid) != 0)) {
            const char message[] = "cannot switch to the requested account\n";
            (void)!write(2, message, sizeof message - 1);
            _exit(127);
        }
        std::vector<char*> args;
        args.push_back(const_cast<char*>(arg0.empty() ? argv[0].c_str() : arg0.c_str()));
        for (size_t i = 1; i < argv.size(); ++i) args.push_back(const_cast<char*>(argv[i].c_str()));
        args.push_back(nullptr);
        std::vector<char*> envp;
        for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        execve(argv[0].c_str(), args.data(), envp.data());
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
        if (out_pipe[0] >= 0) { pfds[n] = {out_pipe[0], POLLIN, 0}; out_idx = n++; }
        if (err_pipe[0] >= 0) { pfds[n] = {err_pipe[0], POLLIN, 0}; err_idx = n++; }
        if (in_fd >= 0) { pfds[n] = {in_fd, POLLOUT, 0}; in_idx = n++; }
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
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return result;
}

std::string built(std::string_view relative) {
    return std::string(TARVOK_BUILD_DIR) + "/" + std::string(relative);
}

}  // namespace TestSupport
