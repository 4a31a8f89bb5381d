#include "Tarvok/Process.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>

#include "Tarvok/Error.hpp"
#include "Tarvok/Exception.hpp"
#include "support/ChildProcess.hpp"

namespace {

using TestSupport::RunResult;

// Runs `body` through Process::run in a forked child, as main would.
RunResult run_in_child(const std::function<int()>& body) {
    return TestSupport::run_forked([&] { return Tarvok::Process::run(body); });
}

// Destructors that run while a failure unwinds may change errno on the way.
struct ClobbersErrno {
    ~ClobbersErrno() { errno = EBADF; }
};

int child_wait_status(int exit_code) {
    return TestSupport::run_forked([=] { return exit_code; }).wait_status;
}

}  // namespace

TEST(UncaughtFailure, FamilyFailureEndsWithItsTextAndTheErrnoItWasRaisedWith) {
    const RunResult ended = run_in_child([]() -> int {
        ClobbersErrno on_the_way;
        errno = EEXIST;
        throw Tarvok::Exception::create<Tarvok::Exception::TempCreateFailed>(
            {{"path", "/tmp/x.abc"}, {"error", EEXIST}});
    });
    EXPECT_EQ(ended.err, "Could not create a temporary file at '/tmp/x.abc': File exists\n");
    EXPECT_EQ(ended.status, EEXIST);
}

TEST(UncaughtFailure, PlainErrorsKeepTheirErrnoOthersUseErrnoAtTheCatch) {
    RunResult ended = run_in_child([]() -> int {
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
    RunResult ended = run_in_child([]() -> int {
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
    const RunResult ended = run_in_child([] {
        return Tarvok::Process::report_uncaught("Could not run '/usr/bin/crontab'", ENOENT);
    });
    EXPECT_EQ(ended.err, "Could not run '/usr/bin/crontab'\n");
    EXPECT_EQ(ended.status, ENOENT);
}

TEST(ExitRequest, UnwindsTheStackAndEndsSilentlyWithItsStatus) {
    const RunResult ended = run_in_child([]() -> int {
        struct Owner {
            ~Owner() { std::fputs("removed\n", stderr); }
        } owner;
        Tarvok::Process::exit(4);
    });
    EXPECT_EQ(ended.err, "removed\n");
    EXPECT_EQ(ended.status, 4);
}
