#include "Tarvok/Rand.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "Tarvok/Exception.hpp"
#include "Tarvok/Rand/FakeKernel.hpp"
#include "support/SandboxRoot.hpp"

namespace {

namespace Rand = Tarvok::Rand;
using Fake = TestSupport::FakeKernel;

mode_t mode_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
}

mode_t current_umask() {
    const mode_t m = umask(0);
    umask(m);
    return m;
}

std::string last_component(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

class RandNames : public ::testing::Test {
  protected:
    void TearDown() override { umask(saved_umask_); }
    std::string in_root(const std::string& name) const { return root_.dir() + "/" + name; }

    TestSupport::SandboxRoot root_;
    mode_t saved_umask_ = current_umask();
};

TEST_F(RandNames, EntriesGetExactlyTheirModeWhateverTheUmaskAndTheUmaskIsKept) {
    for (mode_t mask : {mode_t{077}, mode_t{022}, mode_t{0}}) {
        umask(mask);
        Rand::TmpEntry file = Rand::get_tmp_file_by_name(in_root("f"));
        ASSERT_TRUE(file.handle) << file.name;
        EXPECT_EQ(mode_of(file.name), S_IFREG | 0600);
        EXPECT_EQ(fcntl(file.handle.get(), F_GETFL) & O_ACCMODE, O_WRONLY);
        EXPECT_EQ(fcntl(file.handle.get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

        const std::string dir = Rand::get_tmp_dir_by_name(in_root("d"));
        EXPECT_EQ(mode_of(dir), S_IFDIR | 0700);
        EXPECT_EQ(current_umask(), mask);
    }
}

TEST_F(RandNames, NamesAreTemplateSuffixAndAnEightCharacterTrailer) {
    const std::string plain = Rand::get_tmp_file_by_name(in_root("edit"), "cron").name;
    ASSERT_EQ(plain.size(), in_root("edit.cron.").size() + 8);
    EXPECT_TRUE(plain.starts_with(in_root("edit.cron."))) << plain;
    EXPECT_EQ(plain.substr(plain.size() - 8).find_first_not_of(Rand::Get::DEFAULT_CHARACTERS),
              std::string::npos);

    EXPECT_TRUE(
        Rand::get_tmp_file_by_name(in_root("x"), ".dotted").name.starts_with(in_root("x.dotted.")));
    EXPECT_TRUE(Rand::get_tmp_file_by_name(in_root("y")).name.starts_with(in_root("y.tvtmp.")));

    // Repeated separators collapse; a long last component is cut from the front.
    const std::string doubled = root_.dir() + "//sub///";
    TestSupport::make_dirs(root_.dir() + "/sub");
    EXPECT_TRUE(
        Rand::get_tmp_dir_by_name(doubled + "t", "s").starts_with(root_.dir() + "/sub/t.s."));

    const std::string long_name =
        Rand::get_tmp_file_by_name(in_root(std::string(300, 'L')), "end").name;
    const std::string component = last_component(long_name);
    EXPECT_EQ(component.size(), 255u);
    EXPECT_TRUE(component.starts_with(std::string(242, 'L') + ".end.")) << component;
}

TEST_F(RandNames, TheSuffixCanGoLastWithinTheSameLengthLimit) {
    std::optional<Rand::TmpEntry> last = Rand::get_tmp_file_by_name_suffix_last(in_root("e"), "c");
    ASSERT_TRUE(last);
    ASSERT_TRUE(last->handle);
    EXPECT_TRUE(last->name.starts_with(in_root("e.")) && last->name.ends_with(".c")) << last->name;
    EXPECT_EQ(last->name.size(), in_root("e.").size() + 8 + 2);

    const std::string cut =
        Rand::get_tmp_file_by_name_suffix_last(in_root(std::string(300, 'L')), "end")->name;
    EXPECT_EQ(last_component(cut),
              std::string(242, 'L') + "." + cut.substr(cut.size() - 12, 8) + ".end");
    EXPECT_EQ(
        mode_of(Rand::get_tmp_file_by_name_suffix_last(in_root("d"), "", Rand::TYPE_DIR)->name),
        S_IFDIR | 0700);
    EXPECT_FALSE(Rand::get_tmp_file_by_name_suffix_last(in_root("x"), std::string(246, 's')));
    EXPECT_FALSE(Rand::get_tmp_file_by_name_suffix_last(in_root("x"), "a/b"));
}

TEST_F(RandNames, WhatAlreadyLiesAtANameIsNeverOpenedOrFollowed) {
    Fake fake;
    Fake::stream = [](std::size_t n) { return static_cast<unsigned char>(n % 63); };
    // The fake makes the trailers predictable: 01234567, then 89abcdef, then ghijklmn.
    const std::string target = in_root("victim");
    TestSupport::write_file(target, "precious");
    ASSERT_EQ(symlink(target.c_str(), in_root("t.s.01234567").c_str()), 0);
    TestSupport::write_file(in_root("t.s.89abcdef"), "planted");

    Rand::TmpEntry entry = Rand::get_tmp_file_by_name(in_root("t"), "s");
    EXPECT_EQ(entry.name, in_root("t.s.ghijklmn"));
    ASSERT_EQ(write(entry.handle.get(), "mine", 4), 4);
    EXPECT_EQ(TestSupport::read_file(target), "precious");
    EXPECT_EQ(TestSupport::read_file(in_root("t.s.89abcdef")), "planted");
    EXPECT_EQ(TestSupport::read_file(entry.name), "mine");

    // Only looking for a free name creates nothing.
    const Rand::TmpEntry free_name =
        Rand::get_tmp_file_by_name(in_root("t"), "s", Rand::TYPE_FILE, Rand::SKIP_OPEN);
    EXPECT_EQ(free_name.name, in_root("t.s.opqrstuv"));
    EXPECT_FALSE(free_name.handle);
    EXPECT_NE(access(free_name.name.c_str(), F_OK), 0);
}

TEST_F(RandNames, FortyNineFailedNamesRaiseWithTheLastNameAndItsError) {
    Fake fake;
    // Trailer k starts at character 8k mod 63: every one of the first 63 names differs, and the
    // 49th (k = 48) is "6789abcd".
    Fake::stream = [](std::size_t n) { return static_cast<unsigned char>(n % 63); };
    umask(027);
    errno = 0;
    try {
        Rand::get_tmp_file_by_name(in_root("missing/t"), "s");
        FAIL() << "no exception";
    } catch (const Tarvok::Exception::TempCreateFailed& e) {
        EXPECT_EQ(errno, ENOENT);
        EXPECT_EQ(std::get<std::string>(*e.get("path")), in_root("missing/t.s.6789abcd"));
        EXPECT_EQ(std::get<long long>(*e.get("error")), ENOENT);
        EXPECT_TRUE(Tarvok::Exception::is_a(e, "Tarvok::Exception::TempCreateFailed"));
        EXPECT_FALSE(Tarvok::Exception::is_a(e, "Tarvok::Exception::DirCreateFailed"));
    }
    EXPECT_EQ(Fake::position, 3200u) << "one pool fill";
    EXPECT_EQ(Rand::getranddata(1), "e") << "exactly 49 trailers were drawn";
    EXPECT_EQ(current_umask(), mode_t{027});

    EXPECT_THROW(Rand::get_tmp_dir_by_name(in_root("missing/d")),
                 Tarvok::Exception::TempCreateFailed);
}

TEST_F(RandNames, DefaultTemplateLivesUnderTheSystemTmp) {
    root_.mkdirs("/tmp");
    Rand::TmpEntry file = Rand::gettmpfile();
    EXPECT_TRUE(file.name.starts_with(root_.path("/tmp/tarvok.tmp.tvtmp."))) << file.name;
    EXPECT_TRUE(Rand::gettmpdir().starts_with(root_.path("/tmp/tarvok.tmp.tvtmp.")));
    EXPECT_THROW(Rand::get_tmp_file_by_name(in_root("z"), "", 7), Tarvok::Exception::BadArgument);
}

TEST(RandApi, RandomDataRecordsAndTheRegistry) {
    EXPECT_EQ(Rand::api2_getranddata({}).at("random_data").size(), 16u);
    EXPECT_EQ(Rand::api2_getranddata({{"length", "0"}}).at("random_data").size(), 16u);
    EXPECT_EQ(Rand::api2_getranddata({{"length", "5"}}).at("random_data").size(), 5u);
    EXPECT_THROW(Rand::api2_getranddata({{"length", "5a"}}), Tarvok::Exception::BadArgument);
    ASSERT_TRUE(Rand::api2("getranddata"));
    EXPECT_EQ(Rand::api2("getranddata")->at("function"), "api2_getranddata");
    EXPECT_FALSE(Rand::api2("unlink"));
}

}  // namespace
