#include "Tarvok/PenSafe.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/SandboxRoot.hpp"

namespace {

using Tarvok::PenSafe::get_system_binary;

constexpr std::string_view kWrapper = "/usr/local/tarvok/bin/pen_safe_crontab";

class GetSystemBinary : public ::testing::Test {
  protected:
    void SetUp() override { root.mkdirs("/usr/bin"); }

    void executable(std::string_view path) const { root.write(path, "#!/bin/sh\n", 0755); }

    // /usr/bin/crontab as a link to `target` (a system path below the root).
    void link_crontab_to(std::string_view target) const {
        ASSERT_EQ(symlink(root.path(target).c_str(), root.path("/usr/bin/crontab").c_str()), 0);
    }

    TestSupport::SandboxRoot root;
};

TEST_F(GetSystemBinary, OrdinaryExecutableIsReturnedEvenWithRelinkedCopies) {
    executable("/usr/bin/crontab");
    executable("/usr/bin/crontab.penorig.7");
    EXPECT_EQ(get_system_binary("crontab"), root.path("/usr/bin/crontab"));
}

TEST_F(GetSystemBinary, LinkToSomethingElseThanAWrapperIsReturnedAsTheLink) {
    executable("/usr/lib/cron/crontab-real");
    executable("/usr/bin/crontab.penorig.7");
    link_crontab_to("/usr/lib/cron/crontab-real");
    EXPECT_EQ(get_system_binary("crontab"), root.path("/usr/bin/crontab"));
}

TEST_F(GetSystemBinary, WrapperLinkLeadsToTheHighestNumberedRelinkedBinary) {
    executable(kWrapper);
    link_crontab_to(kWrapper);
    executable("/usr/bin/crontab.penorig.20");
    executable("/usr/bin/crontab.penorig.100");
    executable("/usr/bin/crontab.penorig.099");
    executable("/usr/bin/crontab.penorig.0099");  // longer as text, smaller as a number
    executable("/usr/bin/crontab.other.500");
    EXPECT_EQ(get_system_binary("crontab"), root.path("/usr/bin/crontab.penorig.100"));
}

TEST_F(GetSystemBinary, RelinkNumbersWiderThanSixtyFourBitsCompareByValue) {
    executable(kWrapper);
    link_crontab_to(kWrapper);
    executable("/usr/bin/crontab.penorig.0");
    executable("/usr/bin/crontab.penorig.123456789012345678901234567890");
    executable("/usr/bin/crontab.penorig.99999999999999999999");
    EXPECT_EQ(get_system_binary("crontab"),
              root.path("/usr/bin/crontab.penorig.123456789012345678901234567890"));
}

TEST_F(GetSystemBinary, WrapperLinkWithoutAUsableRelinkedBinaryFindsNothing) {
    executable(kWrapper);
    link_crontab_to(kWrapper);
    EXPECT_EQ(get_system_binary("crontab"), std::nullopt);

    root.write("/usr/bin/crontab.penorig.5", "#!/bin/sh\n", 0644);
    EXPECT_EQ(get_system_binary("crontab"), std::nullopt);
}

TEST_F(GetSystemBinary, NonExecutableLinkTargetFindsNothing) {
    root.write(kWrapper, "#!/bin/sh\n", 0644);
    link_crontab_to(kWrapper);
    executable("/usr/bin/crontab.penorig.5");
    EXPECT_EQ(get_system_binary("crontab"), std::nullopt);
}

TEST_F(GetSystemBinary, MissingNonExecutableOrDirectorySystemPathFindsNothing) {
    EXPECT_EQ(get_system_binary("crontab"), std::nullopt);
    root.write("/usr/bin/crontab", "#!/bin/sh\n", 0644);
    EXPECT_EQ(get_system_binary("crontab"), std::nullopt);
    root.mkdirs("/usr/bin/atq");
    EXPECT_EQ(get_system_binary("atq"), std::nullopt);
    EXPECT_EQ(get_system_binary(""), std::nullopt);
}

TEST_F(GetSystemBinary, TheTailIsAnyTextOnOneLineEndingInTheNumber) {
    executable(kWrapper);
    link_crontab_to(kWrapper);
    executable("/usr/bin/crontab.penorig-v9.a1b7");            // the number is the trailing run: 7
    executable("/usr/bin/old-crontab.penorig.6");              // found anywhere in the name: 6
    executable("/usr/bin/crontab.penorig.900\n");              // no number at the very end
    executable("/usr/bin/crontab.penorig\n.800");              // the tail crosses a line end
    executable("/usr/bin/crontab.penorig\ncrontab.penorig5");  // a later place that qualifies
    EXPECT_EQ(get_system_binary("crontab"), root.path("/usr/bin/crontab.penorig-v9.a1b7"));
    executable("/usr/bin/crontab.penorig.penorig.8");
    EXPECT_EQ(get_system_binary("crontab"), root.path("/usr/bin/crontab.penorig.penorig.8"));
}

// The command name is a name, not a pattern: its characters stand for themselves, so no name can
// lead to another command's relinked binary.
TEST_F(GetSystemBinary, PatternCharactersInTheNameStandForThemselves) {
    executable(kWrapper);
    ASSERT_EQ(symlink(root.path(kWrapper).c_str(), root.path("/usr/bin/c(").c_str()), 0);
    executable("/usr/bin/c(.penorig.1");
    EXPECT_EQ(get_system_binary("c("), root.path("/usr/bin/c(.penorig.1"));

    ASSERT_EQ(symlink(root.path(kWrapper).c_str(), root.path("/usr/bin/cr.n").c_str()), 0);
    executable("/usr/bin/cron.penorig.9");
    EXPECT_EQ(get_system_binary("cr.n"), std::nullopt);
    ASSERT_EQ(symlink(root.path(kWrapper).c_str(), root.path("/usr/bin/c.*").c_str()), 0);
    EXPECT_EQ(get_system_binary("c.*"), std::nullopt);
}

}  // namespace
