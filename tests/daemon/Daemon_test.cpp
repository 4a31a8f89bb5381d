// The tvwrapd program itself: start-up on the fixed path or a handed-over socket, clean shutdown,
// and its few options.
#include "Daemon.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <set>
#include <thread>

#include "Spool.hpp"
#include "Tarvok/Wire.hpp"
#include "daemon/support/DaemonClient.hpp"
#include "daemon/support/DaemonProcess.hpp"
#include "support/SandboxRoot.hpp"

using DaemonTest::DaemonProcess;
using DaemonTest::request;

namespace {

const std::string EMPTY_FETCH = R"({"status":1,"statusmsg":"OK","data":{"crontab":"","denied":0}})";
const std::string INSTALLED = R"({"status":1,"statusmsg":"OK","data":{"status":1,"statusmsg":""}})";
constexpr std::string_view SOCKET = Tarvok::Wire::TVWRAPD_SOCKET_PATH;

/// A listening (or, with `listening` false, bound and abandoned) UNIX socket at `path`.
int bound_socket(const std::string& path, bool listening) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "bind " << path << ": " << std::strerror(errno);
    }
    if (listening) listen(fd, 8);
    return fd;
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

class DaemonRun : public testing::Test {
  protected:
    void SetUp() override {
        root_.write("/etc/passwd",
                    "root:x:0:0:root:/root:/bin/bash\n"
                    "tester:x:" +
                        std::to_string(geteuid()) + ":0::/tmp:/bin/penshell\n");
    }
    std::string socket_path() const { return root_.path(SOCKET); }
    TestSupport::SandboxRoot root_;
};

}  // namespace

TEST_F(DaemonRun, ServesTheCallingAccountAndShutsDownCleanly) {
    DaemonProcess daemon(root_);
    ASSERT_TRUE(daemon.wait_until_serving()) << daemon.log();
    struct stat st {};
    ASSERT_EQ(lstat(socket_path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0666u);

    EXPECT_EQ(DaemonTest::exchange(socket_path(), request("fetch")), EMPTY_FETCH);
    EXPECT_EQ(DaemonTest::exchange(socket_path(), DaemonTest::save_request("@daily x\n")),
              INSTALLED);
    const std::string account = geteuid() == 0 ? "root" : "tester";
    EXPECT_EQ(TestSupport::read_file(root_.path("/var/spool/cron/crontabs/") + account),
              "@daily x\n");

    EXPECT_EQ(daemon.stop(), 0);
    EXPECT_FALSE(exists(socket_path()));
    const std::string log = daemon.log();
    const std::string who = "uid=" + std::to_string(geteuid()) + " account=" + account;
    EXPECT_NE(log.find(who + " function=fetch outcome=sent 0 bytes"), std::string::npos) << log;
    EXPECT_NE(log.find(who + " function=save outcome=installed 9 bytes"), std::string::npos) << log;
    EXPECT_NE(log.find("tvwrapd stopped"), std::string::npos) << log;
}

// Leftovers in the names of this daemon and of the one before go; the crontab of an account whose
// name merely looks like one stays, and so does the file of a restore under way (it holds the
// account's lock).
TEST_F(DaemonRun, TemporaryFilesOfAKilledDaemonAreRemovedAtStartUp) {
    const std::string spool = "/var/spool/cron/crontabs/";
    const std::string backups = "/var/spool/cron/tvwrapd-backup/";
    for (const std::string& file :
         {spool + "alice", spool + ".alice.tvwrapd-new", spool + ".bob.tvwrapd-new",
          spool + ".bob.tvwrapd-new.4242", spool + "web.tvwrapd-new",
          spool + ".carol.tvwrapd-new.77", backups + "alice", backups + ".alice.tvwrapd-new",
          backups + ".carol.tvwrapd-new.77"}) {
        root_.write(file, "@daily x\n", 0600);
    }
    const Tvwrapd::Spool::AccountLock restoring("carol");
    DaemonProcess daemon(root_);
    ASSERT_TRUE(daemon.wait_until_serving()) << daemon.log();
    EXPECT_EQ(TestSupport::entries(root_.path(spool)),
              (std::set<std::string>{"alice", "web.tvwrapd-new", ".carol.tvwrapd-new.77"}));
    EXPECT_EQ(TestSupport::entries(root_.path(backups)),
              (std::set<std::string>{"alice", ".lock", ".carol.tvwrapd-new.77"}));
    EXPECT_NE(daemon.log().find("removed 4 temporary file(s)"), std::string::npos) << daemon.log();
    EXPECT_EQ(daemon.stop(), 0);
}

TEST_F(DaemonRun, StaleSocketIsReplaced) {
    root_.mkdirs("/usr/local/tarvok/var");
    close(bound_socket(socket_path(), false));
    ASSERT_TRUE(exists(socket_path()));
    DaemonProcess daemon(root_);
    ASSERT_TRUE(daemon.wait_until_serving()) << daemon.log();
    EXPECT_EQ(DaemonTest::exchange(socket_path(), request("fetch")), EMPTY_FETCH);
    EXPECT_NE(daemon.log().find("removed stale socket"), std::string::npos);
}

TEST_F(DaemonRun, LiveDaemonIsNeverDisplaced) {
    DaemonProcess first(root_);
    ASSERT_TRUE(first.wait_until_serving()) << first.log();
    DaemonProcess second(root_);
    EXPECT_EQ(second.wait(), 1);
    EXPECT_NE(second.log().find("Another tvwrapd is running"), std::string::npos) << second.log();
    EXPECT_EQ(DaemonTest::exchange(socket_path(), request("fetch")), EMPTY_FETCH);
    EXPECT_EQ(first.stop(), 0);
}

TEST_F(DaemonRun, ForeignListenerAtThePathIsLeftAlone) {
    root_.mkdirs("/usr/local/tarvok/var");
    const int foreign = bound_socket(socket_path(), true);
    DaemonProcess daemon(root_);
    EXPECT_EQ(daemon.wait(), 1);
    EXPECT_NE(daemon.log().find("Another daemon answers"), std::string::npos) << daemon.log();
    EXPECT_TRUE(exists(socket_path()));
    close(foreign);
}

TEST_F(DaemonRun, NonSocketAtThePathIsLeftAlone) {
    root_.write(SOCKET, "not a socket\n");
    DaemonProcess daemon(root_);
    EXPECT_EQ(daemon.wait(), 1);
    EXPECT_NE(daemon.log().find("exists and is not a socket"), std::string::npos) << daemon.log();
    EXPECT_EQ(TestSupport::read_file(socket_path()), "not a socket\n");
}

TEST_F(DaemonRun, SocketHandedOverBySystemdIsUsedAndLeftInPlace) {
    root_.mkdirs("/run/systemd");
    const std::string unit_path = root_.path("/run/systemd/tvwrapd.sock");
    const int handed = bound_socket(unit_path, true);
    {
        DaemonProcess daemon(root_, {}, handed);
        close(handed);
        ASSERT_TRUE(daemon.wait_until_serving()) << daemon.log();
        EXPECT_NE(daemon.log().find("handed over by systemd"), std::string::npos);
        EXPECT_EQ(DaemonTest::exchange(unit_path, request("fetch")), EMPTY_FETCH);
        EXPECT_FALSE(exists(socket_path()));
        EXPECT_EQ(daemon.stop(), 0);
    }
    EXPECT_TRUE(exists(unit_path));
}

TEST_F(DaemonRun, HandedOverDescriptorMustBeAListeningSocket) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    DaemonProcess daemon(root_, {}, pipe_fds[0]);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    EXPECT_EQ(daemon.wait(), 1);
    EXPECT_NE(daemon.log().find("not a listening UNIX stream socket"), std::string::npos)
        << daemon.log();
}

// Where another account could have written, it could bind the socket or hold the lock first:
// the daemon does not start there, and says what to fix.
TEST_F(DaemonRun, DoesNotStartWhereAnotherAccountCouldHaveWritten) {
    const std::string dir = root_.path("/usr/local/tarvok/var");
    const std::string lock = dir + "/tvwrapd.lock";
    const std::string handed_dir = root_.path("/run/systemd");
    struct Case {
        const char* what;
        std::function<void()> prepare;
        std::string says;
        int handed = -1;
    };
    root_.mkdirs("/usr/local/tarvok/var");
    root_.mkdirs("/run/systemd");
    const std::vector<Case> cases{
        {"socket directory anyone can write", [&] { chmod(dir.c_str(), 01777); },
         "Refusing to start: '" + dir + "' can be written by its group or by others (mode " +
             "1777), so another account could stand in for tvwrapd or lock it out; every " +
             "directory up to / must belong to root and be writable by root only (chown root '" +
             dir + "'; chmod go-w '" + dir + "')"},
        {"lock file of another account",
         [&] {
             TestSupport::write_file(lock, "", 0600);
             EXPECT_EQ(chown(lock.c_str(), 4002, 4002), 0);
         },
         "'" + lock + "' belongs to uid 4002, not to root, so another account could stand in " +
             "for tvwrapd or lock it out; remove it (rm '" + lock + "') and start tvwrapd again"},
        {"lock file its group may write", [&] { TestSupport::write_file(lock, "", 0660); },
         "'" + lock + "' can be written by its group or by others (mode 0660)"},
        {"handed-over socket in a directory anyone can write",
         [&] { chmod(handed_dir.c_str(), 0777); },
         "'" + handed_dir + "' can be written by its group or by others (mode 0777)",
         bound_socket(handed_dir + "/tvwrapd.sock", true)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.prepare();
        DaemonProcess daemon(root_, {}, c.handed);
        EXPECT_EQ(daemon.wait(), 1);
        EXPECT_NE(daemon.log().find(c.says), std::string::npos) << daemon.log();
        EXPECT_FALSE(exists(socket_path()));
        if (c.handed >= 0) close(c.handed);
        chmod(dir.c_str(), 0755);
        unlink(lock.c_str());
    }
    // Under systemd the reason is an error in the journal, where `journalctl -p err` finds it.
    cases.front().prepare();
    DaemonProcess journaled(root_, {}, -1, true);
    EXPECT_EQ(journaled.wait(), 1);
    EXPECT_EQ(journaled.log().rfind("<3>tvwrapd: Refusing to start: ", 0), 0u) << journaled.log();
    chmod(dir.c_str(), 0755);
    DaemonProcess daemon(root_);
    EXPECT_TRUE(daemon.wait_until_serving()) << daemon.log();
}

TEST(DaemonCommandLine, OptionsAreFewAndBadOnesAreRefused) {
    TestSupport::SandboxRoot root;
    const std::string program = TestSupport::built("sandbox/bin/tvwrapd");
    const std::vector<std::string> env = {"TARVOK_SANDBOX_ROOT=" + root.dir()};

    auto help = TestSupport::run({program, "--help"}, env);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, Tvwrapd::Daemon::USAGE);

    auto version = TestSupport::run({program, "--version"}, env);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "tvwrapd " TARVOK_VERSION "\n");

    auto bad = TestSupport::run({program, "--socket=/tmp/elsewhere"}, env);
    EXPECT_EQ(bad.status, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_NE(bad.err.find("unknown argument '--socket=/tmp/elsewhere'"), std::string::npos);

    auto no_root = TestSupport::run({program}, {});
    EXPECT_EQ(no_root.status, 2);
    EXPECT_NE(no_root.err.find("TARVOK_SANDBOX_ROOT"), std::string::npos);
}

// An administrator's undo of `crontab -r`: the backup generation goes back through the checks and
// the storage of a save by the account; whatever stops it is said, and the stored crontab stays.
TEST(DaemonRestore, PutsTheBackupGenerationBackAsASaveWould) {
    TestSupport::SandboxRoot root;
    const std::string program = TestSupport::built("sandbox/bin/tvwrapd");
    const std::vector<std::string> env = {"TARVOK_SANDBOX_ROOT=" + root.dir()};
    // Not root, which may always use cron; the test's own uid when it cannot give files away.
    const std::string uid = geteuid() == 0 ? "4005" : std::to_string(geteuid());
    std::string passwd;
    for (const char* name : {"tester", "broken", "nobackup", "denied"}) {
        passwd += std::string(name) + ":x:" + uid + ":0::/tmp:/bin/penshell\n";
    }
    root.write("/etc/passwd", passwd);
    root.write("/etc/cron.deny", "denied\n");
    const std::string backups = "/var/spool/cron/tvwrapd-backup/";
    const std::string spool = "/var/spool/cron/crontabs/";
    root.write(backups + "tester", "@hourly x", 0600);
    root.write(backups + "broken", "61 * * * * job\n", 0600);
    root.write(spool + "broken", "@daily now\n", 0600);
    root.write(backups + "denied", "@daily x\n", 0600);

    const auto restored = TestSupport::run({program, "--restore", "tester"}, env);
    EXPECT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(restored.out, "tvwrapd: restored the crontab of 'tester' from its backup\n");
    EXPECT_EQ(TestSupport::read_file(root.path(spool + "tester")), "@hourly x\n");

    const std::vector<std::pair<std::string, std::string>> refusals{
        {"broken", "line 1"},
        {"nobackup", "no backup"},
        {"denied", "not allowed"},
        {"ghost", "no account 'ghost'"},
    };
    for (const auto& [account, why] : refusals) {
        const auto r = TestSupport::run({program, "--restore", account}, env);
        EXPECT_EQ(r.status, 1) << account;
        EXPECT_NE(r.err.find("cannot restore the crontab of '" + account + "': "),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
    }
    EXPECT_EQ(TestSupport::read_file(root.path(spool + "broken")), "@daily now\n");
    EXPECT_EQ(TestSupport::entries(root.path(spool)), (std::set<std::string>{"broken", "tester"}));

    EXPECT_EQ(TestSupport::run({program, "--restore"}, env).status, 2);
    EXPECT_EQ(TestSupport::run({program, "--restore", "tester", "extra"}, env).status, 2);
}

// A restore beside the running daemon takes turns with the account's saves: each one happens
// whole, in some order, and none mistakes the other's temporary file for a leftover.
TEST_F(DaemonRun, RestoresRacingSavesOfTheSameAccountAllSucceed) {
    DaemonProcess daemon(root_);
    ASSERT_TRUE(daemon.wait_until_serving()) << daemon.log();
    const std::string account = geteuid() == 0 ? "root" : "tester";
    const auto save = [&](int number) {
        return DaemonTest::exchange(socket_path(),
                                    DaemonTest::save_request("@daily " + std::to_string(number) +
                                                             "\n")) == INSTALLED;
    };
    ASSERT_TRUE(save(0) && save(1));

    std::atomic<bool> saving{true};
    int failed_saves = 0;
    std::thread saver([&] {
        for (int i = 2; i < 100; ++i) failed_saves += !save(i);
        saving = false;
    });
    const std::string program = TestSupport::built("sandbox/bin/tvwrapd");
    int restores = 0;
    int failed_restores = 0;
    std::string first_failure;
    while (saving || restores == 0) {
        const auto r = TestSupport::run({program, "--restore", account},
                                        {"TARVOK_SANDBOX_ROOT=" + root_.dir()});
        ++restores;
        if (r.status != 0 && failed_restores++ == 0) first_failure = r.err;
    }
    saver.join();
    EXPECT_EQ(failed_saves, 0);
    EXPECT_EQ(failed_restores, 0) << "of " << restores << ", first: " << first_failure;
    EXPECT_EQ(TestSupport::entries(root_.path("/var/spool/cron/crontabs")),
              std::set<std::string>{account});
    EXPECT_EQ(TestSupport::entries(root_.path("/var/spool/cron/tvwrapd-backup")),
              (std::set<std::string>{account, ".lock"}));
    EXPECT_EQ(daemon.stop(), 0);
}
