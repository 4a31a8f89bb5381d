#include "Tarvok/NSCD/Check.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include "../PwCache/PwCacheFixture.hpp"

namespace Check = Tarvok::NSCD::Check;

using NscdCheck = TestSupport::PwCacheTest;

TEST_F(NscdCheck, AnswerIsRememberedForTenMinutes) {
    std::time_t now = 5000;
    Check::set_clock([&now] { return now; });
    EXPECT_EQ(Check::nscd_is_running(), 0);

    auto nscd = start_nscd();
    now += Check::CACHE_TTL - 1;
    EXPECT_EQ(Check::nscd_is_running(), 0) << "probed again before the answer expired";
    now += 1;
    EXPECT_EQ(Check::nscd_is_running(), 1);

    // The daemon goes away: still "running" until the answer is 600 seconds old.
    nscd.reset();
    unlink(root_.path("/var/run/nscd/socket").c_str());
    now += Check::CACHE_TTL - 1;
    EXPECT_EQ(Check::nscd_is_running(), 1);
    now += 1;
    EXPECT_EQ(Check::nscd_is_running(), 0);
}

TEST_F(NscdCheck, ProbeLeavesErrnoAlone) {
    errno = EPERM;
    EXPECT_EQ(Check::nscd_is_running(), 0);
    EXPECT_EQ(errno, EPERM);
}

TEST_F(NscdCheck, HungNscdCountsAsAbsentWithinTheProbeLimit) {
    // A listener that never accepts: once its queue is full, a connect would wait for room.
    auto nscd = start_nscd();
    ASSERT_EQ(listen(nscd.get(), 0), 0);
    const std::string path = root_.path("/var/run/nscd/socket");
    std::vector<Tarvok::UniqueFd> queued;
    for (int i = 0; i < 64; ++i) {
        Tarvok::UniqueFd fd(socket(PF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_un address{};
        address.sun_family = PF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) break;
        queued.push_back(std::move(fd));
    }
    // In a child, so that a probe that hangs fails the test instead of stopping the suite.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(Check::nscd_is_running() == 0 ? 0 : 1);
    int status = -1;
    for (int waited = 0; waited < 300 && waitpid(child, &status, WNOHANG) == 0; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (status == -1) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        FAIL() << "the probe of a hung nscd did not return within 3 seconds";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
