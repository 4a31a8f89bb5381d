#include "Tarvok/SysRoot.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/SandboxRoot.hpp"

TEST(SysRoot, FixedPathsLieBelowTheSandboxRoot) {
    TestSupport::SandboxRoot root;
    EXPECT_FALSE(Tarvok::SysRoot::init());
    EXPECT_EQ(Tarvok::SysRoot::path("/etc/passwd"), root.dir() + "/etc/passwd");
    EXPECT_EQ(Tarvok::SysRoot::path("/proc/self/status"), "/proc/self/status");
    EXPECT_EQ(Tarvok::SysRoot::path("/dev/urandom"), "/dev/urandom");
}

TEST(SysRoot, UnusableRootsAreRefusedAndReachNothing) {
    for (const char* value : {"", "relative/dir", "/no/such/dir", "/etc/hostname"}) {
        setenv("TARVOK_SANDBOX_ROOT", value, 1);
        Tarvok::SysRoot::reset();
        EXPECT_TRUE(Tarvok::SysRoot::init()) << value;
        EXPECT_TRUE(Tarvok::SysRoot::path("/etc/passwd").starts_with("/dev/null/")) << value;
    }
    unsetenv("TARVOK_SANDBOX_ROOT");
    Tarvok::SysRoot::reset();
    EXPECT_TRUE(Tarvok::SysRoot::init());
}
