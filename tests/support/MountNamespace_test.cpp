// The tests that mount say what they need when the machine does not give it, rather than a bare
// "Invalid argument".
#include "support/MountNamespace.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/ChildProcess.hpp"
#include "support/SandboxRoot.hpp"

namespace {

using ::testing::HasSubstr;

TEST(MountNamespace, SaysWhatIsMissingInAChrootAndWithoutTheCapability) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to chroot and to give up root";
    TestSupport::SandboxRoot jail;
    const auto in_chroot = TestSupport::run_forked([&] {
        if (chroot(jail.dir().c_str()) != 0 || chdir("/") != 0) return 99;
        const std::string problem = TestSupport::enter_private_mount_namespace();
        return write(2, problem.data(), problem.size()) >= 0 ? 0 : 1;
    });
    EXPECT_THAT(in_chroot.err, HasSubstr("'/' is not a mount point here"));
    EXPECT_THAT(in_chroot.err, HasSubstr("mount --bind"));

    const auto unprivileged = TestSupport::run_forked([] {
        if (setresuid(65534, 65534, 65534) != 0) return 99;
        const std::string problem = TestSupport::enter_private_mount_namespace();
        return write(2, problem.data(), problem.size()) >= 0 ? 0 : 1;
    });
    EXPECT_THAT(unprivileged.err,
                HasSubstr("needs CAP_SYS_ADMIN, which uid 0 alone does not give"));
}

}  // namespace
