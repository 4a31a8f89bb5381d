#include "Tarvok/SafeDir/MK.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "Tarvok/Exception.hpp"
#include "Tarvok/SafeDir/MK/detail.hpp"
#include "support/SandboxRoot.hpp"
#include "support/TruthTable.hpp"

namespace {

using Tarvok::SafeDir::MK::safemkdir;
using Tarvok::SafeDir::MK::safemkdir_or_die;
using Tarvok::SafeDir::MK::detail::clean_path;
using Tarvok::SafeDir::MK::detail::CleanStatus;

// ---- cleaning, without the disk ------------------------------------------------------------

// What clean_path gives: the status, and with CleanStatus::Path the clean path.
std::pair<CleanStatus, std::string> cleaned(std::string_view input) {
    const auto c = clean_path(input);
    return {c.status, c.status == CleanStatus::Path ? c.path : ""};
}

TEST(SafeDirClean, FollowsThePathTable) {
    using namespace std::string_literals;
    using enum CleanStatus;
    TestSupport::expect_table<std::string, std::pair<CleanStatus, std::string>>(
        {
            // Repeated and trailing separators collapse.
            {"a//b///c", {Path, "a/b/c"}},
            {"a/b/", {Path, "a/b"}},
            {"//a//b//", {Path, "/a/b"}},
            {"/", {Path, "/"}},
            {"///", {Path, "/"}},
            // Self entries are dropped wherever they stand.
            {"./a", {Path, "a"}},
            {".//a", {Path, "a"}},
            {"a/./b/.", {Path, "a/b"}},
            {"/./a/.", {Path, "/a"}},
            {"/.", {Path, "/"}},
            {".", {SelfEntry, ""}},
            {"./", {SelfEntry, ""}},
            {".//", {SelfEntry, ""}},
            {"./././", {SelfEntry, ""}},
            // Parent parts cancel only what the path added...
            {"first/second/../third", {Path, "first/third"}},
            {"a/../b", {Path, "b"}},
            {"a/b/c/../../d", {Path, "a/d"}},
            {"x/y/x/../..", {Path, "x"}},
            {"/a/b/..", {Path, "/a"}},
            {"/a/..", {Path, "/"}},
            {"a/..", {Empty, ""}},
            {"./a/b/../..", {Empty, ""}},
            {"", {Empty, ""}},
            // ... and never climb above the start.
            {"..", {Climbs, ""}},
            {"../", {Climbs, ""}},
            {"../a", {Climbs, ""}},
            {"./..", {Climbs, ""}},
            {"a/../..", {Climbs, ""}},
            {"a/../../b", {Climbs, ""}},
            {"a/b/../../..", {Climbs, ""}},
            {"/..", {Climbs, ""}},
            {"/../etc", {Climbs, ""}},
            {"/a/../../etc", {Climbs, ""}},
            {"a//..//..//b", {Climbs, ""}},
            {"./a/./../../..", {Climbs, ""}},
            // Parts made only of dots are refused...
            {"...", {DotsOnly, ""}},
            {"a/.../b", {DotsOnly, ""}},
            {"/a/....", {DotsOnly, ""}},
            {"a/../...", {DotsOnly, ""}},
            {"..../a", {DotsOnly, ""}},
            {".../..", {DotsOnly, ""}},
            {"./...", {DotsOnly, ""}},
            // ... while dots beside other characters make an ordinary name.
            {"..a/a../.a/a.b", {Path, "..a/a../.a/a.b"}},
            {"a/..b/../c", {Path, "a/c"}},
            {"0", {Path, "0"}},
            {"0/a/..", {Path, "0"}},
            // NUL bytes are refused.
            {"a\0/../../etc"s, {NulByte, ""}},
            {"\0"s, {NulByte, ""}},
        },
        cleaned);
    EXPECT_EQ(clean_path("first/../../x").first_part, "first");
}

TEST(SafeDirClean, HasDotDotMatchesParentPartsOnly) {
    using Tarvok::SafeDir::MK::_has_dot_dot;
    for (const char* yes : {"..", "../a", "a/..", "a/../b", "/..", "/a/../b"}) {
        EXPECT_TRUE(_has_dot_dot(yes)) << yes;
    }
    for (const char* no : {"", ".", "ab", ".a", "a.", "..a", "a..", "...", "a/..b", "b../a", "/"}) {
        EXPECT_FALSE(_has_dot_dot(no)) << no;
    }
    EXPECT_TRUE(clean_path("a/../b").had_dot_dot);
    EXPECT_FALSE(clean_path("a/./b").had_dot_dot);
}

// ---- creating directories ------------------------------------------------------------------

mode_t mode_of(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return static_cast<mode_t>(-1);
    return st.st_mode & 07777;
}

bool is_dir(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

std::string repeat_parts(const std::string& part, int count) {
    std::string path;
    for (int i = 0; i < count; ++i) path += (i ? "/" : "") + part;
    return path;
}

// Runs each test inside a fresh directory, so relative paths land there, under a known umask.
class SafeMkdir : public ::testing::Test {
  protected:
    void SetUp() override {
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        old_cwd_ = cwd;
        ASSERT_EQ(chdir(root_.dir().c_str()), 0);
        old_umask_ = umask(022);
    }
    void TearDown() override {
        umask(old_umask_);
        ASSERT_EQ(chdir(old_cwd_.c_str()), 0);
    }
    std::string here(const std::string& relative) const { return root_.dir() + "/" + relative; }

    TestSupport::SandboxRoot root_;
    std::string old_cwd_;
    mode_t old_umask_ = 022;
};

TEST_F(SafeMkdir, CreatesEveryMissingLevelOutermostFirst) {
    std::vector<std::string> created;
    EXPECT_EQ(safemkdir("one//two///three", std::nullopt, &created), 3);
    EXPECT_EQ(created, (std::vector<std::string>{"one", "one/two", "one/two/three"}));
    EXPECT_TRUE(is_dir(here("one/two/three")));
    EXPECT_EQ(mode_of(here("one/two")), 0755u);

    // Only the missing levels are made and listed; the list is appended to.
    EXPECT_EQ(safemkdir("./one/two/four/five/", 0700, &created), 2);
    EXPECT_EQ(created.back(), "one/two/four/five");
    EXPECT_EQ(created.size(), 5u);
    EXPECT_EQ(mode_of(here("one/two/four")), 0700u);
}

TEST_F(SafeMkdir, AbsolutePathsListAbsoluteNames) {
    std::vector<std::string> created;
    EXPECT_EQ(safemkdir(root_.dir() + "//abs/./x", std::nullopt, &created), 2);
    EXPECT_EQ(created, (std::vector<std::string>{here("abs"), here("abs/x")}));
}

TEST_F(SafeMkdir, ParentPartsCancelBeforeAnythingIsCreated) {
    std::vector<std::string> created;
    EXPECT_EQ(safemkdir("first/second/../third", std::nullopt, &created), 2);
    EXPECT_EQ(created, (std::vector<std::string>{"first", "first/third"}));
    EXPECT_FALSE(exists(here("first/second")));
}

TEST_F(SafeMkdir, PathsClimbingAboveTheStartCreateNothing) {
    TestSupport::make_dirs(here("inner"));
    ASSERT_EQ(chdir("inner"), 0);
    std::vector<std::string> created;
    errno = 0;
    EXPECT_EQ(safemkdir("a/../../escaped", std::nullopt, &created), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(safemkdir("../escaped", std::nullopt, &created), 0);
    EXPECT_TRUE(created.empty());
    EXPECT_FALSE(exists(here("escaped")));
    EXPECT_FALSE(exists(here("inner/a")));

    // A path that cancels itself entirely names nothing to create.
    EXPECT_EQ(safemkdir("a/..", std::nullopt, &created), std::nullopt);
    EXPECT_FALSE(exists(here("inner/a")));
}

TEST_F(SafeMkdir, DotsOnlyAndNulPartsCreateNothing) {
    using namespace std::string_literals;
    EXPECT_EQ(safemkdir("..."), 0);
    EXPECT_EQ(safemkdir("good/.../bad"), 0);
    EXPECT_EQ(safemkdir("nul\0/x"s), 0);
    EXPECT_FALSE(exists(here("...")));
    EXPECT_FALSE(exists(here("good")));
    EXPECT_FALSE(exists(here("nul")));
}

TEST_F(SafeMkdir, DepthIsLimitedToOneHundredParts) {
    std::vector<std::string> created;
    EXPECT_EQ(safemkdir(repeat_parts("d", 101), std::nullopt, &created), 0);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_FALSE(exists(here("d")));

    // The absolute path's leading "/" is a part of its own: 100 names make 101 parts.
    const int root_names = 2;  // /tmp/tarvok-test-XXXXXX
    ASSERT_EQ(std::count(root_.dir().begin(), root_.dir().end(), '/'), root_names);
    EXPECT_EQ(safemkdir(root_.dir() + "/" + repeat_parts("a", 100 - root_names)), 0);
    EXPECT_FALSE(exists(here("a")));

    EXPECT_EQ(safemkdir(root_.dir() + "/" + repeat_parts("a", 99 - root_names)), 99 - root_names);
    EXPECT_EQ(safemkdir(repeat_parts("d", 100), std::nullopt, &created), 100);
    EXPECT_EQ(created.size(), 100u);
    // An existing directory is found before its depth is counted.
    EXPECT_EQ(safemkdir(repeat_parts("d", 100) + "/.."), 1);
}

TEST_F(SafeMkdir, SomethingOtherThanADirectoryInTheWayIsNotADirectory) {
    TestSupport::write_file(here("file"), "x");
    errno = 0;
    EXPECT_EQ(safemkdir("file"), 0);
    EXPECT_EQ(errno, ENOTDIR);

    std::vector<std::string> created;
    errno = 0;
    EXPECT_EQ(safemkdir("file/below", std::nullopt, &created), 0);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_TRUE(created.empty());

    ASSERT_EQ(symlink("file", here("link-to-file").c_str()), 0);
    EXPECT_EQ(safemkdir("link-to-file/below"), 0);
    EXPECT_EQ(errno, ENOTDIR);
}

TEST_F(SafeMkdir, SymbolicLinksToDirectoriesAreUsedButNeverChanged) {
    TestSupport::make_dirs(here("target"), 0750);
    ASSERT_EQ(chmod(here("target").c_str(), 0750), 0);
    ASSERT_EQ(symlink("target", here("link").c_str()), 0);
    // The link names an existing directory: success, and its target keeps its mode.
    EXPECT_EQ(safemkdir("link", 0700), 1);
    EXPECT_EQ(mode_of(here("target")), 0750u);
    // Levels below a link are made in its target, as any path lookup would.
    EXPECT_EQ(safemkdir("link/inside"), 1);
    EXPECT_TRUE(is_dir(here("target/inside")));

    ASSERT_EQ(symlink("nowhere", here("dangling").c_str()), 0);
    EXPECT_EQ(safemkdir("dangling"), std::nullopt);
    EXPECT_FALSE(exists(here("nowhere")));
}

TEST_F(SafeMkdir, ModesOfExistingDirectoriesFollowTheNotation) {
    TestSupport::make_dirs(here("m"));
    struct Case {
        Tarvok::SafeDir::MK::Mode mode;
        mode_t expected;
    };
    const std::vector<Case> cases = {
        {std::string("0700"), 0700},
        {std::string("00750"), 0750},
        {std::string("0711"), 0711},
        {std::string("07"), 0755},
        {std::string("0789"), 0755},
        {std::string("0o700"), 0755},
        {std::string("448"), 0700},
        {std::string("rwx"), 0755},
        {std::string("-1"), 0755},
        {std::string("010000"), 0755},
        {std::string("99999999999999999999"), 0755},
        {0750LL, 0750},
        {-5LL, 0755},
        {070000LL, 0755},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(chmod(here("m").c_str(), 0500), 0);
        EXPECT_EQ(safemkdir("m", c.mode), 1);
        EXPECT_EQ(mode_of(here("m")), c.expected) << "case expecting " << std::oct << c.expected;
    }
    // An empty mode text means no mode at all: the directory is left as it is.
    ASSERT_EQ(chmod(here("m").c_str(), 0500), 0);
    EXPECT_EQ(safemkdir("m", std::string()), 1);
    EXPECT_EQ(mode_of(here("m")), 0500u);
}

TEST_F(SafeMkdir, NewDirectoriesGetTheModeUnderTheUmask) {
    umask(077);
    EXPECT_EQ(safemkdir("private/dir"), 2);
    EXPECT_EQ(mode_of(here("private")), 0700u);
    umask(0);
    EXPECT_EQ(safemkdir("shared", "0775"), 1);
    EXPECT_EQ(mode_of(here("shared")), 0775u);
}

TEST_F(SafeMkdir, TheStartItselfIsChangedOnlyWhenAModeIsGiven) {
    ASSERT_EQ(chmod(root_.dir().c_str(), 0750), 0);
    EXPECT_EQ(safemkdir("."), 1);
    EXPECT_EQ(mode_of(root_.dir()), 0750u);
    EXPECT_EQ(safemkdir(".//", 0711), 1);
    EXPECT_EQ(mode_of(root_.dir()), 0711u);
    ASSERT_EQ(chmod(root_.dir().c_str(), 0700), 0);
}

TEST_F(SafeMkdir, AFailedMkdirGivesNothingAndKeepsWhatWasMade) {
    std::vector<std::string> created;
    const std::string too_long(NAME_MAX + 1, 'n');
    EXPECT_EQ(safemkdir("kept/" + too_long, std::nullopt, &created), std::nullopt);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(created, std::vector<std::string>{"kept"});
    EXPECT_TRUE(is_dir(here("kept")));
}

TEST_F(SafeMkdir, OrDieFillsTheListOrRaisesDirCreateFailed) {
    std::vector<std::string> created;
    EXPECT_EQ(safemkdir_or_die("x//y", std::nullopt, &created), 2);
    EXPECT_EQ(created, (std::vector<std::string>{"x", "x/y"}));
    EXPECT_EQ(safemkdir_or_die("x/y"), 1);

    TestSupport::write_file(here("plain"), "");
    try {
        safemkdir_or_die("plain/sub", std::nullopt, &created);
        FAIL() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_TRUE(Tarvok::Exception::is_a(e, "DirCreateFailed"));
        const auto& failure = dynamic_cast<const Tarvok::Exception::Base&>(e);
        EXPECT_EQ(std::get<std::string>(*failure.get("path")), "plain/sub");
        EXPECT_EQ(std::get<long long>(*failure.get("error")), ENOTDIR);
    }
    EXPECT_THROW(safemkdir_or_die("../up"), Tarvok::Exception::DirCreateFailed);
    EXPECT_EQ(created.size(), 2u);
}

}  // namespace
