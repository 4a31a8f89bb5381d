#include "Access.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/SandboxRoot.hpp"

using Tvwrapd::Access::may_use_cron;

TEST(Access, EveryoneMayWithoutEitherList) {
    TestSupport::SandboxRoot root;
    EXPECT_TRUE(may_use_cron("alice", 1001));
    EXPECT_TRUE(may_use_cron("root", 0));
}

TEST(Access, AllowListAdmitsOnlyItsAccountsAndOverridesTheDenyList) {
    TestSupport::SandboxRoot root;
    root.write("/etc/cron.allow", "# who may\n  bob  \ncarol\r\n");
    root.write("/etc/cron.deny", "bob\n");
    EXPECT_TRUE(may_use_cron("bob", 1002));
    EXPECT_TRUE(may_use_cron("carol", 1003));
    EXPECT_FALSE(may_use_cron("alice", 1001));
    EXPECT_FALSE(may_use_cron("bo", 1004));
    EXPECT_FALSE(may_use_cron("# who may", 1005));
    EXPECT_TRUE(may_use_cron("root", 0));
}

TEST(Access, EmptyAllowListAdmitsOnlyRoot) {
    TestSupport::SandboxRoot root;
    root.write("/etc/cron.allow", "");
    EXPECT_FALSE(may_use_cron("alice", 1001));
    EXPECT_TRUE(may_use_cron("root", 0));
}

TEST(Access, DenyListRefusesItsAccounts) {
    TestSupport::SandboxRoot root;
    root.write("/etc/cron.deny", "alice\nroot\n");
    EXPECT_FALSE(may_use_cron("alice", 1001));
    EXPECT_TRUE(may_use_cron("bob", 1002));
    // root is never refused, listed or not.
    EXPECT_TRUE(may_use_cron("root", 0));
}

TEST(Access, UnreadableListCountsAgainstTheAccount) {
    TestSupport::SandboxRoot root;
    // A directory in the list's place cannot be read as a list.
    root.mkdirs("/etc/cron.allow");
    EXPECT_FALSE(may_use_cron("alice", 1001));
    TestSupport::SandboxRoot other;
    other.mkdirs("/etc/cron.deny");
    EXPECT_FALSE(may_use_cron("alice", 1001));
}
