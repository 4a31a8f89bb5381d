// Against Debian's own dpkg and cron package, in a throwaway root: a copy-on-write clone of this
// machine (an overlay over / on a tmpfs, in a private mount namespace of this test process), where
// dpkg, cron's maintainer scripts and the relinking tool act as on a server while this machine's
// /usr/bin/crontab and dpkg database stay untouched. Needs root and Debian's cron package file
// (fetched once into the build directory with apt-get download).
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/SandboxRoot.hpp"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using TestSupport::RunResult;
using Args = std::vector<std::string>;

const std::string kPath = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
const std::string kOurLinkText = "../.." TARVOK_FRONTEND_INSTALLED;

// Root's PATH on Debian, which an administrator's shell starts with.
const std::string kRootPath = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// Debian's cron package, as apt has it; fetched on first use.
std::string cron_deb() {
    const std::string dir = TARVOK_BUILD_DIR "/debs";
    TestSupport::make_dirs(dir);
    auto find = [&]() -> std::string {
        for (const auto& name : TestSupport::entries(dir)) {
            if (name.starts_with("cron_") && name.ends_with(".deb")) return dir + "/" + name;
        }
        return "";
    };
    if (find().empty()) {
        const RunResult r = TestSupport::run(
            {"/bin/sh", "-c", "cd \"$1\" && apt-get download -q cron", "sh", dir}, {kPath});
        EXPECT_EQ(r.status, 0) << "apt-get download cron (apt-get update first?): " << r.out
                               << r.err;
    }
    return find();
}

struct Node {
    ino_t inode = 0;
    mode_t mode = 0;
    std::string link_text;
};

class DpkgRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(geteuid(), 0u) << "dpkg in a throwaway root needs root";
        deb_ = cron_deb();
        ASSERT_FALSE(deb_.empty()) << "no cron package file in " TARVOK_BUILD_DIR "/debs";
        // Every mount below lives and dies with this process's own mount namespace.
        ASSERT_EQ(unshare(CLONE_NEWNS), 0) << strerror(errno);
        ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        const std::string base = scratch_.dir();
        ASSERT_EQ(mount("tmpfs", base.c_str(), "tmpfs", 0, "mode=0755"), 0) << strerror(errno);
        mounted_ = true;
        for (const char* dir : {"/upper", "/work", "/root"}) TestSupport::make_dirs(base + dir);
        root_ = base + "/root";
        const std::string layers =
            "lowerdir=/,upperdir=" + base + "/upper,workdir=" + base + "/work";
        ASSERT_EQ(mount("overlay", root_.c_str(), "overlay", 0, layers.c_str()), 0)
            << strerror(errno);
        ASSERT_EQ(mount("/dev", (root_ + "/dev").c_str(), nullptr, MS_BIND | MS_REC, nullptr), 0);
        ASSERT_EQ(mount("proc", (root_ + "/proc").c_str(), "proc", 0, nullptr), 0);
        // No service starts in the clone, and man-db does not rebuild its index after each step.
        TestSupport::write_file(at("/usr/sbin/policy-rc.d"), "#!/bin/sh\nexit 101\n", 0755);
        unlink(at("/var/lib/man-db/auto-update").c_str());
        ASSERT_TRUE(S_ISREG(node("/usr/bin/crontab").mode))
            << "Debian's cron must be installed on this machine (scripts/deps.sh)";
    }

    void TearDown() override {
        if (daemon_ > 0) {
            kill(daemon_, SIGKILL);
            waitpid(daemon_, nullptr, 0);
        }
        if (mounted_) umount2(scratch_.dir().c_str(), MNT_DETACH);
    }

    // Runs a shell command inside the clone, as an administrator logged in as root would.
    RunResult in_root(const std::string& command) const {
        return TestSupport::run({"/usr/sbin/chroot", root_, "/bin/sh", "-c", command},
                                {kRootPath, "HOME=/root", "LC_ALL=C"});
    }

    // This build packaged as scripts/package.sh packages it.
    std::string our_deb() const {
        const std::string out = scratch_.dir() + "/deb";
        const RunResult r = TestSupport::run({"/usr/bin/cpack", "-G", "DEB", "--config",
                                              TARVOK_BUILD_DIR "/CPackConfig.cmake", "-B", out},
                                             {kPath});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        for (const auto& name : TestSupport::entries(out)) {
            if (name.ends_with(".deb")) return out + "/" + name;
        }
        return "";
    }

    // Starts the installed daemon by hand in the clone, as an administrator without systemd does.
    void start_daemon_by_hand() {
        daemon_ = fork();
        if (daemon_ == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 1);
            dup2(null, 2);
            if (chroot(root_.c_str()) != 0 || chdir("/") != 0) _exit(127);
            execl(TARVOK_DAEMON_INSTALLED, "tvwrapd", nullptr);
            _exit(127);
        }
        for (int i = 0; i < 200 && !S_ISSOCK(node("/usr/local/tarvok/var/tvwrapd.sock").mode);
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_TRUE(S_ISSOCK(node("/usr/local/tarvok/var/tvwrapd.sock").mode));
    }

    // Whether the hand-started daemon has ended, waiting a little for it.
    bool daemon_ended() {
        for (int i = 0; i < 100; ++i) {
            if (waitpid(daemon_, nullptr, WNOHANG) == daemon_) {
                daemon_ = 0;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::string at(std::string_view absolute) const { return root_ + std::string(absolute); }

    Node node(std::string_view absolute) const {
        struct stat st {};
        if (lstat(at(absolute).c_str(), &st) != 0) return {};
        Node n{st.st_ino, st.st_mode, {}};
        if (S_ISLNK(st.st_mode)) n.link_text = fs::read_symlink(at(absolute)).string();
        return n;
    }

    RunResult dpkg(const Args& args) const {
        Args argv{"/usr/bin/dpkg", "--root=" + root_};
        argv.insert(argv.end(), args.begin(), args.end());
        return TestSupport::run(argv, {kPath, "DEBIAN_FRONTEND=noninteractive"});
    }

    RunResult relink(const Args& args) const {
        Args argv{"/bin/bash", TestSupport::built("scripts/pen-safe-relink"), "--root", root_};
        argv.insert(argv.end(), args.begin(), args.end());
        return TestSupport::run(argv, {kPath});
    }

    std::string diversion() const {
        return TestSupport::run(
                   {"/usr/bin/dpkg-divert", "--root", root_, "--list", "/usr/bin/crontab"}, {kPath})
            .out;
    }

    // The crontab program in Debian's package file.
    std::string packaged_crontab() const {
        const RunResult r = TestSupport::run(
            {"/bin/sh", "-c", "dpkg-deb --fsys-tarfile \"$1\" | tar -xOf - ./usr/bin/crontab", "sh",
             deb_},
            {kPath});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }

    void install_frontend() const {
        TestSupport::make_dirs(at("/usr/local/tarvok/bin"));
        TestSupport::write_file(at(TARVOK_FRONTEND_INSTALLED),
                                TestSupport::read_file(TestSupport::built("bin/pen_safe_crontab")),
                                0755);
    }

    // The renamed copies of the system crontab.
    std::vector<std::string> copies() const {
        std::vector<std::string> names;
        for (const auto& name : TestSupport::entries(at("/usr/bin"))) {
            if (name.starts_with("crontab.")) names.push_back(name);
        }
        return names;
    }

    TestSupport::SandboxRoot scratch_;
    bool mounted_ = false;
    pid_t daemon_ = 0;
    std::string root_;
    std::string deb_;
};

TEST_F(DpkgRoot, RelinkSurvivesAReinstallOfCronAndRevertRemovesTheDiversion) {
    install_frontend();
    const RunResult relinked = relink({});
    ASSERT_EQ(relinked.status, 0) << relinked.out << relinked.err;
    ASSERT_EQ(copies().size(), 1u);
    const std::string copy = "/usr/bin/" + copies().front();
    EXPECT_THAT(diversion(), HasSubstr("local diversion of /usr/bin/crontab to " + copy));
    const Node before = node(copy);

    const RunResult reinstalled = dpkg({"-i", deb_});
    ASSERT_EQ(reinstalled.status, 0) << reinstalled.out << reinstalled.err;
    EXPECT_EQ(node("/usr/bin/crontab").link_text, kOurLinkText) << "the front end stays in place";
    EXPECT_EQ(copies().size(), 1u);
    EXPECT_NE(node(copy).inode, before.inode) << "dpkg wrote the new binary behind the link";
    EXPECT_EQ(TestSupport::read_file(at(copy)), packaged_crontab());
    EXPECT_EQ(node(copy).mode & 07777, 02755u);
    EXPECT_EQ(relink({"--status"}).status, 0);

    const RunResult reverted = relink({"--revert"});
    ASSERT_EQ(reverted.status, 0) << reverted.out << reverted.err;
    EXPECT_TRUE(S_ISREG(node("/usr/bin/crontab").mode));
    EXPECT_EQ(TestSupport::read_file(at("/usr/bin/crontab")), packaged_crontab());
    EXPECT_EQ(diversion(), "");
    EXPECT_EQ(copies(), Args{});
}

// An older version of the tool renamed the binary without a diversion: a reinstall of cron put its
// crontab back over the link. --status says so, and a plain run repairs it for good.
TEST_F(DpkgRoot, APlainRunRepairsARelinkACronReinstallUndid) {
    install_frontend();
    ASSERT_EQ(link(at("/usr/bin/crontab").c_str(), at("/usr/bin/crontab.penorig.5").c_str()), 0);
    unlink(at("/usr/bin/crontab").c_str());
    ASSERT_EQ(symlink(kOurLinkText.c_str(), at("/usr/bin/crontab").c_str()), 0);
    ASSERT_EQ(dpkg({"-i", deb_}).status, 0);
    ASSERT_TRUE(S_ISREG(node("/usr/bin/crontab").mode)) << "cron put its crontab back";

    const RunResult status = relink({"--status"});
    EXPECT_EQ(status.status, 1);
    EXPECT_THAT(status.out, HasSubstr("repair: run 'pen-safe-relink'"));
    const RunResult repaired = relink({});
    ASSERT_EQ(repaired.status, 0) << repaired.out << repaired.err;
    ASSERT_EQ(dpkg({"-i", deb_}).status, 0);
    EXPECT_EQ(node("/usr/bin/crontab").link_text, kOurLinkText);
    EXPECT_EQ(copies(), Args{"crontab.penorig.5"});
    EXPECT_EQ(TestSupport::read_file(at("/usr/bin/crontab.penorig.5")), packaged_crontab());
    EXPECT_EQ(relink({"--status"}).status, 0);
}

// The package as an administrator meets it: commands on root's PATH and manual pages by name, a
// relink through dpkg's diversion, and a removal that leaves no daemon running from a deleted
// program and no relink behind; purging then leaves only the crontabs.
TEST_F(DpkgRoot, PackageInstallsWhereTypedAndRemovesAllItStarted) {
    const std::string deb = our_deb();
    ASSERT_FALSE(deb.empty());
    const RunResult installed = dpkg({"-i", deb});
    ASSERT_EQ(installed.status, 0) << installed.out << installed.err;

    const RunResult typed = in_root("command -v tvwrapd && command -v pen-safe-relink");
    EXPECT_EQ(typed.out, "/usr/local/sbin/tvwrapd\n/usr/local/sbin/pen-safe-relink\n") << typed.err;
    const RunResult manuals = in_root("man -w pen_safe_crontab tvwrapd pen-safe-relink");
    EXPECT_EQ(manuals.status, 0) << manuals.err;
    for (const char* page :
         {"/man1/pen_safe_crontab.1\n", "/man8/tvwrapd.8\n", "/man8/pen-safe-relink.8\n"}) {
        EXPECT_THAT(manuals.out, HasSubstr(page));
    }

    const RunResult relinked = in_root("pen-safe-relink");
    ASSERT_EQ(relinked.status, 0) << relinked.out << relinked.err;
    EXPECT_THAT(diversion(), HasSubstr("local diversion of /usr/bin/crontab"));

    start_daemon_by_hand();
    TestSupport::write_file(at("/var/spool/cron/crontabs/trial"), "@daily x\n", 0600);
    TestSupport::make_dirs(at("/var/spool/cron/tvwrapd-backup"), 0700);
    TestSupport::write_file(at("/var/spool/cron/tvwrapd-backup/trial"), "@hourly x\n", 0600);

    const RunResult removed = dpkg({"-r", "pen-safe-crontab"});
    ASSERT_EQ(removed.status, 0) << removed.out << removed.err;
    EXPECT_TRUE(daemon_ended()) << "a daemon started by hand still runs the removed program";
    EXPECT_TRUE(S_ISREG(node("/usr/bin/crontab").mode)) << "the real crontab is back";
    EXPECT_EQ(diversion(), "");

    const RunResult purged = dpkg({"-P", "pen-safe-crontab"});
    ASSERT_EQ(purged.status, 0) << purged.out << purged.err;
    for (const char* gone : {"/var/spool/cron/tvwrapd-backup", "/usr/local/tarvok/var/tvwrapd.sock",
                             "/usr/local/tarvok/var/tvwrapd.lock", "/usr/local/tarvok/var",
                             "/usr/local/sbin/tvwrapd"}) {
        EXPECT_EQ(node(gone).mode, 0u) << gone << " is left after purge";
    }
    EXPECT_EQ(TestSupport::read_file(at("/var/spool/cron/crontabs/trial")), "@daily x\n");
}

}  // namespace
