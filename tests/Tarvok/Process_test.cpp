#include "Tarvok/Process.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "Tarvok/Error.hpp"
#include "Tarvok/Exception.hpp"

namespace {

struct Ended {
    int status = -1;
    std::string err;
};

// Runs `body` through Process::run in a forked child, as main would, with standard error caught.
Ended run_in_child(const std::function<int()>& body) {
    int err_pipe[2];
    if (pipe(err_pipe) != 0) throw std::runtime_error("pipe");
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err_pipe[1], STDERR_FILENO);
        close(err_pipe[0]);
        close(err_pipe[1]);
        _exit(Tarvok::Process::run(body));
    }
    close(err_pipe[1]);
    Ended ended;
    char buffer[4096];
    ssize_t n;
    while ((n = read(err_pipe[0], buffer, sizeof buffer)) > 0) ended.err.append(buffer, n);
    close(err_pipe[0]);
    int wait_status = 0;
    waitpid(pid, &wait_status, 0);
    ended.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    return ended;
}

// Destructors that run while a failure unwinds may change errno on the way.
struct ClobbersErrno {
    ~ClobbersErrno() { errno = EBADF; }
};

int child_wait_status(int exit_code) {
    const pid_t pid = fork();
    if (pid == 0) _exit(exit_code);
    int wait_status = 0;
    waitpid(pid, &wait_status, 0);
    return wait_status;
}

}  // namespace

TEST(UncaughtFailure, FamilyFailureEndsWithItsTextAndTheErrnoItWasRaisedWith) {
    const Ended ended = run_in_child([]() -> int {
        ClobbersErrno on_the_way;
        errno = EEXIST;
        throw Tarvok::Exception::create<Tarvok::Exception::TempCreateFailed>(
            {{"path", "/tmp/x.abc"}, {"error", EEXIST}});
    });
    EXPECT_EQ(ended.err, "Could not create a temporary file at '/tmp/x.abc': File exists\n");
    EXPECT_EQ(ended.status, EEXIST);
}

TEST(UncaughtFailure, PlainErrorsKeepTheirErrnoOthersUseErrnoAtTheCatch) {
    Ended ended = run_in_child([]() -> int {
        ClobbersErrno on_the_way;
        errno = ENOENT;
        throw Tarvok::Error("Could not read '/f'");
    });
    EXPECT_EQ(ended.err, "Could not read '/f'\n");
    EXPECT_EQ(ended.status, ENOENT);

    ended = run_in_child([]() -> int {
        errno = EIO;
        throw std::runtime_error("line end given once\n");
    });
    EXPECT_EQ(ended.err, "line end given once\n");
    EXPECT_EQ(ended.status, EIO);

    // A family failure raised with no errno pending falls back to errno at the catch.
    ended = run_in_child([]() -> int {
        ClobbersErrno on_the_way;
        errno = 0;
        throw Tarvok::Exception::create<Tarvok::Exception::BadArgument>("bad");
    });
    EXPECT_EQ(ended.status, EBADF);
}

TEST(UncaughtFailure, WithoutErrnoTheLastChildStatusDecidesElse255) {
    Ended ended = run_in_child([]() -> int {
        Tarvok::Process::set_child_status(child_wait_status(7));
        errno = 0;
        throw std::runtime_error("editor failed");
    });
    EXPECT_EQ(ended.status, 7);

    ended = run_in_child([]() -> int {
        errno = 0;
        throw 42;
    });
    EXPECT_EQ(ended.err, "Unknown failure\n");
    EXPECT_EQ(ended.status, 255);

    // A child killed by a signal has no exit code in its wait status.
    ended = run_in_child([]() -> int {
        Tarvok::Process::set_child_status(SIGKILL);
        errno = 0;
        throw std::runtime_error("killed");
    });
    EXPECT_EQ(ended.status, 255);
}

TEST(UncaughtFailure, FailedProcessReplacementFollowsTheSameRule) {
    const Ended ended = run_in_child([] {
        return Tarvok::Process::report_uncaught("Could not run '/usr/bin/crontab'", ENOENT);
    });
    EXPECT_EQ(ended.err, "Could not run '/usr/bin/crontab'\n");
    EXPECT_EQ(ended.status, ENOENT);
}

TEST(ExitRequest, UnwindsTheStackAndEndsSilentlyWithItsStatus) {
    const Ended ended = run_in_child([]() -> int {
        struct Owner {
            ~Owner() { std::fputs("removed\n", stderr); }
        } owner;
        Tarvok::Process::exit(4);
    });
    EXPECT_EQ(ended.err, "removed\n");
    EXPECT_EQ(ended.status, 4);
}
