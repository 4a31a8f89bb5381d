#include "Filesystem.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "Tarvok/Error.hpp"
#include "support/SandboxRoot.hpp"

namespace Filesystem = Tvwrapd::Filesystem;

// The parents a socket or a crontab needs are made reachable whatever the umask; the last part
// of the path, and parents that were already there, are left alone.
TEST(DaemonFilesystem, MakeParentsCreatesReachableParentsOnly) {
    TestSupport::SandboxRoot root;
    ASSERT_EQ(mkdir(root.path("/kept").c_str(), 0700), 0);
    const mode_t previous = umask(077);
    Filesystem::make_parents(root.path("/kept/a/b/leaf"));
    umask(previous);

    struct stat st {};
    ASSERT_EQ(stat(root.path("/kept").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    for (const char* made : {"/kept/a", "/kept/a/b"}) {
        ASSERT_EQ(stat(root.path(made).c_str(), &st), 0) << made;
        EXPECT_EQ(st.st_mode & 07777, 0755u) << made;
    }
    EXPECT_NE(stat(root.path("/kept/a/b/leaf").c_str(), &st), 0);

    // Something other than a directory in the way is named with the system's reason.
    root.write("/file", "x");
    try {
        Filesystem::make_parents(root.path("/file/sub/leaf"));
        FAIL() << "no error raised";
    } catch (const Tarvok::Error& failure) {
        EXPECT_EQ(
            std::string(failure.what()),
            "Cannot create directory '" + root.path("/file/sub") + "': " + std::strerror(ENOTDIR));
    }
}
