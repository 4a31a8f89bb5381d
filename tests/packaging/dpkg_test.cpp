// Against Debian's own dpkg and cron package, in a throwaway root: a copy-on-write clone of this
// machine (TestSupport::MachineClone), where dpkg, cron's maintainer scripts and the relinking
// tool act as on a server while this machine's /usr/bin/crontab and dpkg database stay
// untouched. Needs root and Debian's cron package file (fetched once into the build directory
// with apt-get download).
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "Tarvok/Socket/UNIX/Micro.hpp"
#include "Tarvok/UniqueFd.hpp"
#include "support/MachineClone.hpp"
#include "support/MountNamespace.hpp"
#include "support/SandboxRoot.hpp"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using TestSupport::RunResult;
using Args = std::vector<std::string>;
using Tarvok::Socket::UNIX::Micro::unix_address;

const std::string kPath(TestSupport::ROOT_PATH);
const std::string kOurLinkText = "../.." TARVOK_FRONTEND_INSTALLED;

struct Node {
    ino_t inode = 0;
    mode_t mode = 0;
    std::string link_text;
};

// Another daemon (the hosting platform's) listening on a socket path.
struct PlatformDaemon {
    explicit PlatformDaemon(const std::string& path) : address(unix_address(path)) {
        TestSupport::make_dirs(path.substr(0, path.rfind('/')));
        EXPECT_EQ(bind(socket.get(), address.get(), address.length), 0) << strerror(errno);
        EXPECT_EQ(listen(socket.get(), 8), 0);
    }
    bool answers() const {
        const Tarvok::UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        return connect(probe.get(), address.get(), address.length) == 0;
    }
    Tarvok::UniqueFd socket{::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
    Tarvok::Socket::UNIX::Micro::Address address;
};

class DpkgRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(geteuid(), 0u) << "dpkg in a throwaway root needs root";
        deb_ = TestSupport::debian_package("cron");
        ASSERT_FALSE(deb_.empty()) << "no cron package file in " TARVOK_BUILD_DIR "/debs";
        // Every mount below lives and dies with this process's own mount namespace.
        ASSERT_EQ(TestSupport::enter_private_mount_namespace(), "");
        clone_ = std::make_unique<TestSupport::MachineClone>();
        ASSERT_EQ(clone_->problem(), "");
        root_ = clone_->root();
        ASSERT_TRUE(S_ISREG(node("/usr/bin/crontab").mode))
            << "Debian's cron must be installed on this machine (scripts/deps.sh)";
    }

    void TearDown() override {
        if (daemon_ > 0) {
            kill(daemon_, SIGKILL);
            waitpid(daemon_, nullptr, 0);
        }
        clone_.reset();
    }

    RunResult in_root(const std::string& command) const { return clone_->in_root(command); }

    // This build packaged as scripts/package.sh packages it.
    std::string our_deb() const { return TestSupport::our_package(clone_->scratch() + "/deb"); }

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

    std::unique_ptr<TestSupport::MachineClone> clone_;
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
// program and no relink behind, and the system's directories where they were; purging then
// leaves only the crontabs, and the socket of a daemon of the platform's that serves the path.
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
    for (const char* kept : {"/usr/local/sbin", "/usr/local/share/man"}) {
        EXPECT_TRUE(S_ISDIR(node(kept).mode)) << kept << " belongs to the system";
    }
    EXPECT_EQ(node("/usr/local/sbin/tvwrapd").mode, 0u);

    const PlatformDaemon platform(at("/usr/local/tarvok/var/tvwrapd.sock"));
    const RunResult purged = dpkg({"-P", "pen-safe-crontab"});
    ASSERT_EQ(purged.status, 0) << purged.out << purged.err;
    for (const char* gone : {"/var/spool/cron/tvwrapd-backup", "/usr/local/tarvok/var/tvwrapd.lock",
                             "/usr/local/tarvok/bin"}) {
        EXPECT_EQ(node(gone).mode, 0u) << gone << " is left after purge";
    }
    EXPECT_TRUE(platform.answers()) << "purging cut the platform's daemon off";
    EXPECT_EQ(TestSupport::read_file(at("/var/spool/cron/crontabs/trial")), "@daily x\n");
}

// An upgrade over a daemon started by hand: it cannot be restarted as it was started, so the
// administrator is told which process still runs the replaced program. A daemon killed outright
// leaves its socket and lock, which a purge then removes, since nobody serves them.
TEST_F(DpkgRoot, AnUpgradeNamesTheHandStartedDaemonThatRunsTheReplacedProgram) {
    const std::string deb = our_deb();
    ASSERT_FALSE(deb.empty());
    ASSERT_EQ(dpkg({"-i", deb}).status, 0);
    start_daemon_by_hand();

    const std::string newer = TestSupport::package_as_version(deb, "99.0-1", clone_->scratch());
    const RunResult upgraded = dpkg({"-i", newer});
    ASSERT_EQ(upgraded.status, 0) << upgraded.out << upgraded.err;
    EXPECT_THAT(upgraded.out + upgraded.err,
                HasSubstr("tvwrapd (process " + std::to_string(daemon_) +
                          ") still runs the replaced program; restart it"));

    kill(daemon_, SIGKILL);
    ASSERT_TRUE(daemon_ended());
    ASSERT_TRUE(S_ISSOCK(node("/usr/local/tarvok/var/tvwrapd.sock").mode));
    const RunResult purged = dpkg({"-P", "pen-safe-crontab"});
    ASSERT_EQ(purged.status, 0) << purged.out << purged.err;
    for (const char* gone : {"/usr/local/tarvok/var/tvwrapd.sock",
                             "/usr/local/tarvok/var/tvwrapd.lock", "/usr/local/tarvok"}) {
        EXPECT_EQ(node(gone).mode, 0u) << gone << " is left after purge";
    }
}

}  // namespace
