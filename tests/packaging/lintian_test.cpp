// Debian's lintian judges the package as built: no error and no warning, save those that come
// from living below /usr/local (the fixed paths of the hosting platform), which the package's
// overrides file names with the reason.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <sstream>

#include "support/MachineClone.hpp"
#include "support/SandboxRoot.hpp"

namespace {

using ::testing::HasSubstr;
using TestSupport::RunResult;

constexpr const char* kLintian = "/usr/bin/lintian";

TEST(Lintian, FindsNoErrorOrWarningBeyondTheOverriddenUsrLocalOnes) {
    if (TARVOK_SANITIZED) GTEST_SKIP() << "an instrumented build is not the package released";
    ASSERT_EQ(access(kLintian, X_OK), 0) << kLintian << " is missing (scripts/deps.sh)";
    TestSupport::SandboxRoot dir;
    const std::string deb = TestSupport::our_package(dir.path("/deb"));
    ASSERT_FALSE(deb.empty());
    const RunResult lintian = TestSupport::run(
        {kLintian, "--fail-on", "error,warning", "--display-info", "--tag-display-limit", "0", deb},
        {"PATH=/usr/bin:/bin", "LC_ALL=C.UTF-8", "HOME=" + dir.dir()});
    EXPECT_EQ(lintian.status, 0) << lintian.out << lintian.err;
    std::istringstream lines(lintian.out);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_FALSE(line.starts_with("E: ") || line.starts_with("W: ")) << line;
    }

    // Overridden is only what the platform's paths bring, and the front end's static PIE, which
    // lintian takes for a shared library.
    const std::set<std::string> allowed{"dir-in-usr-local", "file-in-usr-local",
                                        "file-in-unusual-dir",
                                        "shared-library-lacks-prerequisites"};
    std::istringstream overrides(
        TestSupport::read_file(TARVOK_SOURCE_DIR "/packaging/debian/lintian-overrides"));
    for (std::string line; std::getline(overrides, line);) {
        if (line.empty() || line.starts_with("#")) continue;
        const std::string tag =
            line.substr(line.find(": ") + 2, line.find(" [") - line.find(": ") - 2);
        EXPECT_TRUE(allowed.count(tag)) << line;
        EXPECT_THAT(line, HasSubstr(" [usr/local/tarvok/")) << line;
    }
}

}  // namespace
