#include "Tarvok/FindBin.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/SandboxRoot.hpp"

namespace {

using ::testing::HasSubstr;
using namespace Tarvok::FindBin;

class FindBin : public ::testing::Test {
  protected:
    void SetUp() override { reset_bin_cache(); }
    void TearDown() override { reset_bin_cache(); }

    void executable(std::string_view path) const { root.write(path, "#!/bin/sh\n", 0755); }

    TestSupport::SandboxRoot root;
};

TEST_F(FindBin, DefaultDirectoriesAreSearchedInTheirOrder) {
    EXPECT_EQ(default_path(), (std::vector<std::string>{"/usr/bin", "/usr/local/bin", "/bin",
                                                        "/sbin", "/usr/sbin", "/usr/local/sbin"}));
    executable("/sbin/nano");
    executable("/usr/local/bin/nano");
    executable("/usr/local/sbin/nano");
    EXPECT_EQ(findbin("nano"), root.path("/usr/local/bin/nano"));
}

TEST_F(FindBin, EmptyNameFindsNothing) {
    executable("/usr/bin/vi");
    EXPECT_EQ(findbin(""), std::nullopt);
    EXPECT_TRUE(bin_cache().empty());
}

TEST_F(FindBin, NonExecutableFileIsReportedOnceAndTheSearchGoesOn) {
    root.write("/usr/bin/vi", "#!/bin/sh\n", 0644);
    executable("/bin/vi");
    ::testing::internal::CaptureStderr();
    const auto found = findbin("vi");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(found, root.path("/bin/vi"));
    EXPECT_THAT(err, HasSubstr("'" + root.path("/usr/bin/vi") + "'"));
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
}

TEST_F(FindBin, FailedExistenceTestIsReportedWithItsReason) {
    root.write("/usr/bin/tool", "not a directory");
    executable("/bin/tool/x");
    ::testing::internal::CaptureStderr();
    const auto found = findbin("tool/x");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(found, root.path("/bin/tool/x"));
    EXPECT_THAT(err, HasSubstr(root.path("/usr/bin/tool/x") + "': Not a directory"));
}

TEST_F(FindBin, DirectoryOfTheNameIsNoExecutable) {
    root.mkdirs("/usr/bin/emacs");
    executable("/usr/sbin/emacs");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(findbin("emacs"), root.path("/usr/sbin/emacs"));
    ::testing::internal::GetCapturedStderr();
}

TEST_F(FindBin, AbsoluteOrArgumentCarryingNamesAreNotFoundAsSuch) {
    executable("/usr/bin/vim");
    EXPECT_EQ(findbin(root.path("/usr/bin/vim")), std::nullopt);
    EXPECT_EQ(findbin("vim -u NONE"), std::nullopt);
}

TEST_F(FindBin, SuccessIsCachedForTheProcessUnlessNocacheIsAsked) {
    executable("/usr/bin/vim");
    const std::string path = root.path("/usr/bin/vim");
    ASSERT_EQ(findbin("vim"), path);
    ASSERT_EQ(unlink(path.c_str()), 0);

    EXPECT_EQ(findbin("vim"), path);
    EXPECT_EQ(findbin("vim", {.nocache = true}), std::nullopt);
    EXPECT_EQ(bin_cache().at("vim"), path);
}

TEST_F(FindBin, NocacheLookupLeavesTheCacheAloneAndFailuresAreNotCached) {
    EXPECT_EQ(findbin("joe"), std::nullopt);
    executable("/usr/bin/joe");
    EXPECT_EQ(findbin("joe", {.nocache = true}), root.path("/usr/bin/joe"));
    EXPECT_TRUE(bin_cache().empty());
    EXPECT_EQ(findbin("joe"), root.path("/usr/bin/joe"));
}

TEST_F(FindBin, GivenDirectoriesReplaceTheDefaultList) {
    executable("/usr/bin/ed");
    executable("/opt/b/ed");
    root.write("/opt/a", "a file, not a directory");
    const std::vector<std::string> dirs{"/opt/a", "/opt/missing", "/opt/b"};
    EXPECT_EQ(get_path({.path = dirs}), dirs);
    EXPECT_EQ(findbin("ed", Options{.path = std::vector<std::string>{"/opt/missing"}}),
              std::nullopt);
    EXPECT_EQ(findbin("ed", {.path = dirs}), root.path("/opt/b/ed"));

    EXPECT_EQ(get_path(), default_path());
    EXPECT_EQ(get_path({.path = std::vector<std::string>{}}), default_path());
    EXPECT_EQ(get_path({.nocache = true}), default_path());
}

}  // namespace
