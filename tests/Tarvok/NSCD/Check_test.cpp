#include "Tarvok/NSCD/Check.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

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
