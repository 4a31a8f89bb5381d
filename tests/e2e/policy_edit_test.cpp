// A hosting customer meets the host's policy in crontab -e: the save is refused with the rule, the
// edits are kept and offered again, and the mended text is installed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon/support/DaemonProcess.hpp"
#include "support/HostingRoot.hpp"

using ::testing::HasSubstr;

TEST(PolicyEditRun, ARefusedEditIsOfferedAgainAndTheMendedOneInstalled) {
    TestSupport::HostingRoot root;
    root.place_jail_home_inside_root();
    root.mkdirs("/tmp");
    ASSERT_EQ(chmod(root.path("/tmp").c_str(), 01777), 0);
    root.mkdirs("/home/jail", 0700);
    ASSERT_EQ(chown(root.path("/home/jail").c_str(), TestSupport::JAIL_UID, 0), 0);
    root.write("/etc/tvwrapd/policy.conf", "min_interval = 15m\n");
    // The first pass writes a job every 5 minutes; the second finds it there and mends it.
    root.write("/usr/bin/editor",
               "#!/bin/sh\n"
               "if grep -q '^\\*/5 ' \"$1\"; then sed -i 's|^\\*/5 |*/15 |' \"$1\"; "
               "else printf '# mine\\n*/5 * * * * poll\\n' >\"$1\"; fi\n",
               0755);
    DaemonTest::DaemonProcess daemon(root);
    ASSERT_TRUE(daemon.wait_until_serving()) << daemon.log();

    const auto r =
        root.run_as(TestSupport::JAIL_UID, TestSupport::FRONTEND, {"-e"}, "y\n", {"EDITOR=editor"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("line 2: runs every 5 minutes; this server allows each job at "
                                 "most once every 15 minutes"));
    EXPECT_EQ(TestSupport::read_file(root.path("/var/spool/cron/crontabs/jail")),
              "# mine\n*/15 * * * * poll\n");
    EXPECT_EQ(daemon.stop(), 0);
}
