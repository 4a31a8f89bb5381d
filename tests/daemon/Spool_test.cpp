#include "Spool.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <set>

#include "Tarvok/Error.hpp"
#include "support/FailingSync.hpp"
#include "support/SandboxRoot.hpp"

namespace Spool = Tvwrapd::Spool;

namespace {

constexpr uid_t ALICE = 1001;
constexpr uid_t BOB = 1002;

struct stat stat_of(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) ADD_FAILURE() << "no " << path;
    return st;
}

class SpoolTest : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "giving files to another account needs root";
        root_.write("/etc/group", "root:x:0:\ncrontab:x:107:\nusers:x:100:\n");
    }
    std::string crontab(const char* account) const {
        return root_.path("/var/spool/cron/crontabs/") + account;
    }
    std::string backup(const char* account) const {
        return root_.path("/var/spool/cron/tvwrapd-backup/") + account;
    }
    TestSupport::SandboxRoot root_;
};

}  // namespace

TEST_F(SpoolTest, InstalledCrontabHasDebiansModeOwnerAndExactBytes) {
    const std::string text = "* * * * * printf '\xff\xfe'\n";
    Spool::install("alice", ALICE, text);
    const auto st = stat_of(crontab("alice"));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, ALICE);
    EXPECT_EQ(st.st_gid, 107u);
    EXPECT_EQ(TestSupport::read_file(crontab("alice")), text);
    EXPECT_EQ(Spool::read("alice", ALICE), text);

    // The spool directory is created the way Debian has it.
    const auto dir = stat_of(root_.path("/var/spool/cron/crontabs"));
    EXPECT_EQ(dir.st_mode & 07777, 01730u);
    EXPECT_EQ(dir.st_gid, 107u);
}

TEST_F(SpoolTest, WithoutCrontabGroupTheGroupIsLeftAlone) {
    root_.write("/etc/group", "root:x:0:\n");
    Spool::install("alice", ALICE, "@daily x\n");
    EXPECT_EQ(stat_of(crontab("alice")).st_uid, ALICE);
    EXPECT_EQ(stat_of(crontab("alice")).st_gid, getegid());
}

TEST_F(SpoolTest, MissingCrontabReadsAsEmpty) {
    EXPECT_EQ(Spool::read("alice", ALICE), "");
    root_.mkdirs("/var/spool/cron/crontabs");
    EXPECT_EQ(Spool::read("alice", ALICE), "");
}

TEST_F(SpoolTest, ReplacingKeepsThePreviousVersionAsBackup) {
    Spool::install("alice", ALICE, "@daily first\n");
    EXPECT_FALSE(access(backup("alice").c_str(), F_OK) == 0);
    EXPECT_FALSE(Spool::read_backup("alice"));
    Spool::install("alice", ALICE, "@daily second\n");
    Spool::install("alice", ALICE, "@daily third\n");
    EXPECT_EQ(TestSupport::read_file(crontab("alice")), "@daily third\n");
    EXPECT_EQ(TestSupport::read_file(backup("alice")), "@daily second\n");
    EXPECT_EQ(Spool::read_backup("alice"), "@daily second\n");
    const auto st = stat_of(backup("alice"));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(stat_of(root_.path("/var/spool/cron/tvwrapd-backup")).st_mode & 07777, 0700u);
}

TEST_F(SpoolTest, EmptyTextRemovesTheCrontabAndKeepsItAsBackup) {
    Spool::install("alice", ALICE, "@daily x\n");
    Spool::install("alice", ALICE, "");
    EXPECT_NE(access(crontab("alice").c_str(), F_OK), 0);
    EXPECT_EQ(TestSupport::read_file(backup("alice")), "@daily x\n");
    EXPECT_EQ(Spool::read("alice", ALICE), "");
    // Removing what is not there is no failure.
    EXPECT_NO_THROW(Spool::install("alice", ALICE, ""));
}

TEST_F(SpoolTest, FullDiskKeepsTheCrontabItsBackupAndNoTemporaryFile) {
    Spool::install("alice", ALICE, "@daily a\n");
    Spool::install("alice", ALICE, "@daily b\n");
    // Files may not grow past 4 KiB: writing the new text fails as on a full disk.
    signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_THROW(Spool::install("alice", ALICE, "@daily c " + std::string(8192, 'c') + "\n"),
                 Tarvok::Error);
    setrlimit(RLIMIT_FSIZE, &saved);

    EXPECT_EQ(TestSupport::read_file(crontab("alice")), "@daily b\n");
    EXPECT_EQ(TestSupport::read_file(backup("alice")), "@daily a\n");
    EXPECT_EQ(TestSupport::entries(root_.path("/var/spool/cron/crontabs")),
              std::set<std::string>{"alice"});
    EXPECT_EQ(TestSupport::entries(root_.path("/var/spool/cron/tvwrapd-backup")),
              (std::set<std::string>{".lock", "alice"}));
}

// A directory that cannot be flushed is a failed install: before anything moved (the directory
// was just created), the crontab is as it was; after, the failure says what is in place.
TEST_F(SpoolTest, UnflushedDirectoryFailsTheInstallAndSaysWhatIsInPlace) {
    {
        TestSupport::FailingSync broken("/var/spool/cron");
        try {
            Spool::install("alice", ALICE, "@daily a\n");
            ADD_FAILURE() << "installed without flushing the directory it created";
        } catch (const Spool::NotFlushed& failure) {
            ADD_FAILURE() << failure.what();
        } catch (const Tarvok::Error& failure) {
            EXPECT_NE(std::string(failure.what()).find("Cannot flush directory"), std::string::npos)
                << failure.what();
        }
        EXPECT_NE(access(crontab("alice").c_str(), F_OK), 0);
    }
    Spool::install("alice", ALICE, "@daily a\n");
    Spool::install("alice", ALICE, "@daily b\n");
    struct Case {
        const char* broken;
        std::string text;
        std::string in_place;
        std::string crontab;  // what stands afterwards ("" for none)
        std::string backup;
    };
    const Case cases[] = {
        {"/crontabs", "@daily c\n",
         "the new crontab is in place, but a crash of the system may undo the change", "@daily c\n",
         "@daily b\n"},
        {"/tvwrapd-backup", "@daily d\n",
         "the new crontab is in place, but a crash of the system may lose the backup of the "
         "previous one",
         "@daily d\n", "@daily c\n"},
        {"/crontabs", "", "the crontab is removed, but a crash of the system may undo the change",
         "", "@daily d\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.broken);
        TestSupport::FailingSync broken(root_.path("/var/spool/cron") + c.broken);
        try {
            Spool::install("alice", ALICE, c.text);
            ADD_FAILURE() << "reported as installed";
        } catch (const Spool::NotFlushed& failure) {
            EXPECT_EQ(failure.in_place(), c.in_place);
            EXPECT_EQ(std::string(failure.what()), "Cannot flush directory '" +
                                                       root_.path("/var/spool/cron") + c.broken +
                                                       "': Input/output error; " + c.in_place);
        }
        EXPECT_EQ(Spool::read("alice", ALICE), c.crontab);
        EXPECT_EQ(Spool::read_backup("alice"), c.backup);
    }
}

TEST_F(SpoolTest, FileThatIsNotTheAccountsAloneIsNeitherReadNorReplaced) {
    root_.write("/etc/shadow", "root:secret:1::::::\n", 0600);
    root_.mkdirs("/var/spool/cron/crontabs");
    const std::string place = crontab("alice");
    const auto plant = [&](uid_t owner, bool second_name) {
        root_.write("/var/spool/cron/crontabs/alice", "@daily planted\n", 0600);
        ASSERT_EQ(chown(place.c_str(), owner, owner), 0);
        if (second_name) {
            ASSERT_EQ(link(place.c_str(), root_.path("/var/spool/cron/x").c_str()), 0);
        }
    };
    const std::function<void()> plantings[] = {
        [&] { plant(BOB, false); },   // another account's file
        [&] { plant(ALICE, true); },  // alice's own, with a second name
        // a root-only file hard-linked in alice's place
        [&] { ASSERT_EQ(link(root_.path("/etc/shadow").c_str(), place.c_str()), 0); },
    };
    for (std::size_t i = 0; i < std::size(plantings); ++i) {
        SCOPED_TRACE(i);
        unlink(place.c_str());
        unlink(root_.path("/var/spool/cron/x").c_str());
        plantings[i]();
        const std::string before = TestSupport::read_file(place);
        EXPECT_THROW(Spool::read("alice", ALICE), Tarvok::Error);
        EXPECT_THROW(Spool::install("alice", ALICE, "@daily mine\n"), Tarvok::Error);
        EXPECT_THROW(Spool::install("alice", ALICE, ""), Tarvok::Error);
        EXPECT_EQ(TestSupport::read_file(place), before);
        EXPECT_NE(access(backup("alice").c_str(), F_OK), 0);
    }
    EXPECT_EQ(TestSupport::read_file(root_.path("/etc/shadow")), "root:secret:1::::::\n");
}

TEST_F(SpoolTest, NoTemporaryFileIsLeftBehind) {
    Spool::install("alice", ALICE, "@daily x\n");
    Spool::install("alice", ALICE, "@daily y\n");
    EXPECT_NE(access(root_.path("/var/spool/cron/crontabs/.alice.tvwrapd-new").c_str(), F_OK), 0);
    EXPECT_NE(access(root_.path("/var/spool/cron/tvwrapd-backup/.alice.tvwrapd-new").c_str(), F_OK),
              0);
}

TEST_F(SpoolTest, SymlinkInTheSpoolIsNeitherReadNorFollowed) {
    root_.write("/etc/shadow", "root:secret:1::::::\n", 0600);
    root_.mkdirs("/var/spool/cron/crontabs");
    ASSERT_EQ(symlink(root_.path("/etc/shadow").c_str(), crontab("alice").c_str()), 0);

    EXPECT_EQ(Spool::read("alice", ALICE), "");
    Spool::install("alice", ALICE, "@daily mine\n");

    // The link itself was replaced; its target is untouched and was not backed up.
    EXPECT_TRUE(S_ISREG(stat_of(crontab("alice")).st_mode));
    EXPECT_EQ(TestSupport::read_file(crontab("alice")), "@daily mine\n");
    EXPECT_EQ(TestSupport::read_file(root_.path("/etc/shadow")), "root:secret:1::::::\n");
    EXPECT_EQ(stat_of(root_.path("/etc/shadow")).st_uid, 0u);
    EXPECT_NE(access(backup("alice").c_str(), F_OK), 0);
}

TEST_F(SpoolTest, PlantedLinkAtTheTemporaryNameIsNotFollowed) {
    root_.write("/etc/victim", "keep\n");
    root_.mkdirs("/var/spool/cron/crontabs");
    const std::string temp = root_.path("/var/spool/cron/crontabs/.alice.tvwrapd-new");
    ASSERT_EQ(symlink(root_.path("/etc/victim").c_str(), temp.c_str()), 0);
    Spool::install("alice", ALICE, "@daily mine\n");
    EXPECT_EQ(TestSupport::read_file(root_.path("/etc/victim")), "keep\n");
    EXPECT_EQ(TestSupport::read_file(crontab("alice")), "@daily mine\n");
}

TEST_F(SpoolTest, SymlinkedSpoolDirectoryIsRefused) {
    root_.mkdirs("/elsewhere");
    root_.mkdirs("/var/spool/cron");
    ASSERT_EQ(
        symlink(root_.path("/elsewhere").c_str(), root_.path("/var/spool/cron/crontabs").c_str()),
        0);
    EXPECT_THROW(Spool::install("alice", ALICE, "@daily x\n"), Tarvok::Error);
    EXPECT_THROW(Spool::read("alice", ALICE), Tarvok::Error);
    EXPECT_NE(access(root_.path("/elsewhere/alice").c_str(), F_OK), 0);
}

TEST_F(SpoolTest, DirectoryInTheAccountsPlaceFailsAndStaysPut) {
    root_.mkdirs("/var/spool/cron/crontabs/alice");
    EXPECT_EQ(Spool::read("alice", ALICE), "");
    EXPECT_THROW(Spool::install("alice", ALICE, "@daily x\n"), Tarvok::Error);
    EXPECT_TRUE(S_ISDIR(stat_of(crontab("alice")).st_mode));
}

TEST(SpoolNames, OnlyPlainFileNamesCanHoldACrontab) {
    EXPECT_TRUE(Spool::usable_name("alice"));
    EXPECT_TRUE(Spool::usable_name("web-user_1"));
    EXPECT_FALSE(Spool::usable_name(""));
    EXPECT_FALSE(Spool::usable_name(".hidden"));
    EXPECT_FALSE(Spool::usable_name(".."));
    EXPECT_FALSE(Spool::usable_name("a/b"));
    EXPECT_FALSE(Spool::usable_name(std::string("a\0b", 3)));
}
