// The programs are built with the hardening Debian builds its packages with, as Debian's own
// hardening-check judges it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/SandboxRoot.hpp"

namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using TestSupport::RunResult;

constexpr const char* kCheck = "/usr/bin/hardening-check";
const std::vector<std::string> kEnv{"PATH=/usr/bin:/bin", "LANG=C"};

TEST(Hardening, BothProgramsPassHardeningCheck) {
    if (TARVOK_SANITIZED) GTEST_SKIP() << "instrumented builds bring their own checks instead";
    ASSERT_EQ(access(kCheck, X_OK), 0) << kCheck << " is missing (scripts/deps.sh: devscripts)";
    // Control flow protection is not among Debian 12's flags, and the libstdc++ archive linked
    // into both programs is built without it.
    const RunResult daemon =
        TestSupport::run({kCheck, "--nocfprotection", TestSupport::built("bin/tvwrapd")}, kEnv);
    EXPECT_EQ(daemon.status, 0) << daemon.out << daemon.err;
    EXPECT_THAT(daemon.out, HasSubstr("Stack clash protection: yes"));

    // The front end is a static PIE: hardening-check reads the stack protector and fortified
    // functions from calls into a shared C library, which it has none of; its own symbol table
    // shows them instead.
    const std::string frontend = TestSupport::built("bin/pen_safe_crontab");
    const RunResult front =
        TestSupport::run({kCheck, "--nocfprotection", "--nostackprotector", frontend}, kEnv);
    EXPECT_EQ(front.status, 0) << front.out << front.err;
    EXPECT_THAT(front.out, HasSubstr("Read-only relocations: yes"));
    EXPECT_THAT(front.out, HasSubstr("Immediate binding: yes"));
    const RunResult symbols = TestSupport::run({"/usr/bin/readelf", "-sW", frontend}, kEnv);
    EXPECT_THAT(symbols.out, HasSubstr(" __stack_chk_fail\n"));
    EXPECT_THAT(symbols.out, MatchesRegex("(.|\n)* __[a-z]+_chk\n(.|\n)*"));
    const RunResult header = TestSupport::run({"/usr/bin/readelf", "-hW", frontend}, kEnv);
    EXPECT_THAT(header.out, HasSubstr("DYN (")) << "position independent";
}

}  // namespace
