#include "Tarvok/SafeDir/RM.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Tarvok/Process.hpp"
#include "support/SandboxRoot.hpp"

namespace {

using Tarvok::SafeDir::RM::safermdir;

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

class SafeRmdir : public ::testing::Test {
  protected:
    std::string at(const std::string& relative) const { return root_.dir() + "/" + relative; }
    TestSupport::SandboxRoot root_;
};

TEST_F(SafeRmdir, RemovesEmptyAndFlatDirectories) {
    TestSupport::make_dirs(at("empty"));
    EXPECT_TRUE(safermdir(at("empty")));
    EXPECT_FALSE(exists(at("empty")));

    TestSupport::make_dirs(at("flat"));
    TestSupport::write_file(at("flat/a"), "a");
    TestSupport::write_file(at("flat/.hidden"), "b", 0);
    EXPECT_TRUE(safermdir(at("flat")));
    EXPECT_FALSE(exists(at("flat")));
}

TEST_F(SafeRmdir, RemovesATreeWithoutFollowingLinksOutOfIt) {
    TestSupport::make_dirs(at("outside/dir"));
    TestSupport::write_file(at("outside/file"), "keep me");
    TestSupport::write_file(at("outside/dir/inner"), "keep me too");

    TestSupport::make_dirs(at("tree/sub/deeper"));
    TestSupport::write_file(at("tree/top"), "1");
    TestSupport::write_file(at("tree/sub/mid"), "2");
    TestSupport::write_file(at("tree/sub/deeper/low"), "3");
    ASSERT_EQ(symlink(at("outside/file").c_str(), at("tree/link-to-file").c_str()), 0);
    ASSERT_EQ(symlink(at("outside/dir").c_str(), at("tree/sub/link-to-dir").c_str()), 0);
    ASSERT_EQ(symlink("../../outside", at("tree/sub/deeper/relative-link").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", at("tree/dangling").c_str()), 0);

    Tarvok::Process::set_child_status(3 << 8);
    EXPECT_TRUE(safermdir(at("tree")));
    EXPECT_FALSE(exists(at("tree")));
    EXPECT_EQ(Tarvok::Process::child_status(), 0);
    EXPECT_EQ(TestSupport::read_file(at("outside/file")), "keep me");
    EXPECT_EQ(TestSupport::read_file(at("outside/dir/inner")), "keep me too");
}

TEST_F(SafeRmdir, RemovesDeepTrees) {
    std::string path = at("deep");
    for (int i = 0; i < 200; ++i) path += "/d";
    TestSupport::make_dirs(path);
    TestSupport::write_file(path + "/leaf", "x");
    EXPECT_TRUE(safermdir(at("deep")));
    EXPECT_FALSE(exists(at("deep")));
}

TEST_F(SafeRmdir, LeavesAnythingButARealDirectoryAlone) {
    TestSupport::write_file(at("file"), "x");
    EXPECT_FALSE(safermdir(at("file")));
    EXPECT_TRUE(exists(at("file")));

    EXPECT_FALSE(safermdir(at("missing")));

    TestSupport::make_dirs(at("target"));
    TestSupport::write_file(at("target/precious"), "x");
    ASSERT_EQ(symlink(at("target").c_str(), at("link").c_str()), 0);
    EXPECT_FALSE(safermdir(at("link")));
    EXPECT_FALSE(safermdir(at("link") + "/"));
    EXPECT_TRUE(exists(at("link")));
    EXPECT_TRUE(exists(at("target/precious")));
}

}  // namespace
