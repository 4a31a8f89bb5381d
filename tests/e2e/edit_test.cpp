// crontab -e end to end: the sandbox front end run as a restricted account against the sandbox
// daemon, with stand-in editors (shell scripts in the sandbox's /usr/bin that note what they
// were given) and, in a real terminal, a real editor.
#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <thread>

#include "Operations.hpp"
#include "daemon/support/DaemonProcess.hpp"
#include "support/HostingRoot.hpp"

namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using TestSupport::RunResult;
using Args = std::vector<std::string>;

constexpr uid_t kJail = TestSupport::JAIL_UID;
constexpr std::string_view kInstalled = TestSupport::FRONTEND;
constexpr std::string_view kSpool = "/var/spool/cron/crontabs/jail";

constexpr std::string_view kOld = "0 1 * * * old\n";
constexpr std::string_view kRefused = "61 * * * * date\n";
constexpr std::string_view kGood = "0 2 * * * good\n";

std::size_t occurrences(const std::string& text, std::string_view what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

class EditRun : public ::testing::Test {
  protected:
    void SetUp() override {
        root.place_jail_home_inside_root();
        root.mkdirs("/tmp");
        ASSERT_EQ(chmod(root.path("/tmp").c_str(), 01777), 0);
        root.mkdirs("/home");
        root.mkdirs("/home/jail", 0700);
        ASSERT_EQ(chown(root.path("/home/jail").c_str(), kJail, kJail), 0);
        root.mkdirs("/state");
        ASSERT_EQ(chmod(root.path("/state").c_str(), 0777), 0);
        daemon = std::make_unique<DaemonTest::DaemonProcess>(root);
        ASSERT_TRUE(daemon->wait_until_serving()) << daemon->log();
    }
    void TearDown() override {
        if (daemon) {
            EXPECT_EQ(daemon->stop(), 0) << daemon->log();
        }
    }

    RunResult edit(std::string_view input = {}, Args env = {"EDITOR=editor"}) const {
        return root.run_as(kJail, kInstalled, {"-e"}, input, std::move(env));
    }

    void seed(std::string_view text) const {
        root.write(kSpool, text, 0600);
        // The daemon serves jail only a crontab that is jail's own.
        if (chown(root.path(kSpool).c_str(), kJail, kJail) != 0) ADD_FAILURE() << "chown";
    }
    std::string stored() const {
        return exists(root.path(kSpool)) ? TestSupport::read_file(root.path(kSpool)) : "";
    }
    std::size_t saves() const { return occurrences(daemon->log(), "function=save"); }

    // A stand-in editor at /usr/bin/`name`: pass N (counted across runs until forget_passes())
    // notes its argument count, its file's path, mode and content in /state, then runs
    // passes[N-1] with the file as "$1".
    void editor(const Args& passes, std::string_view name = "editor") const {
        std::string script = "#!/bin/sh\nstate='" + root.path("/state") +
                             "'\n"
                             "n=$(( $(cat \"$state/count\" 2>/dev/null || echo 0) + 1 ))\n"
                             "echo $n >\"$state/count\"\n"
                             "echo $# >\"$state/args.$n\"\n"
                             "printf %s \"$1\" >\"$state/path.$n\"\n"
                             "stat -c %a \"$1\" >\"$state/mode.$n\"\n"
                             "cat \"$1\" >\"$state/seen.$n\"\n"
                             "case $n in\n";
        for (std::size_t i = 0; i < passes.size(); ++i) {
            script += std::to_string(i + 1) + ") " + passes[i] + " ;;\n";
        }
        script += "esac\n";
        root.write("/usr/bin/" + std::string(name), script, 0755);
    }
    std::string noted(std::string_view what, int pass) const {
        const std::string path =
            root.path("/state/") + std::string(what) + "." + std::to_string(pass);
        return exists(path) ? TestSupport::read_file(path) : "<none>";
    }
    int passes() const {
        const std::string path = root.path("/state/count");
        return exists(path) ? std::stoi(TestSupport::read_file(path)) : 0;
    }
    void forget_passes() const {
        for (const std::string& name : TestSupport::entries(root.path("/state"))) {
            unlink((root.path("/state/") + name).c_str());
        }
    }
    std::set<std::string> temp_files() const { return TestSupport::entries(root.path("/tmp")); }

    TestSupport::HostingRoot root;
    std::unique_ptr<DaemonTest::DaemonProcess> daemon;
};

const std::string kAppendGood = R"(printf '0 2 * * * good\n' >>"$1")";
const std::string kWriteRefused = R"(printf '61 * * * * date\n' >"$1")";
const std::string kWriteGood = R"(printf '0 2 * * * good\n' >"$1")";

TEST_F(EditRun, AChangedTextIsInstalledFromAPrivateFileThatIsGoneAfterwards) {
    seed(kOld);
    editor({kAppendGood});
    const RunResult r = edit();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(stored(), std::string(kOld) + std::string(kGood));
    EXPECT_EQ(saves(), 1u);

    EXPECT_EQ(passes(), 1);
    EXPECT_EQ(noted("args", 1), "1\n");
    EXPECT_EQ(noted("seen", 1), kOld);
    EXPECT_EQ(noted("mode", 1), "600\n");
    EXPECT_THAT(noted("path", 1), StartsWith(root.path("/tmp/")));
    EXPECT_FALSE(exists(noted("path", 1)));
    EXPECT_EQ(temp_files(), std::set<std::string>{});
}

TEST_F(EditRun, AChangeThatKeepsTheLengthIsInstalled) {
    seed("0 1 * * * job\n");
    editor({R"(printf '0 2 * * * job\n' >"$1")"});
    const RunResult r = edit();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_THAT(r.out, Not(HasSubstr("no changes")));
    EXPECT_EQ(stored(), "0 2 * * * job\n");
}

TEST_F(EditRun, AnUnchangedTextSendsNoInstallRequest) {
    seed(kOld);
    editor({":"});
    const RunResult r = edit();
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.out, StartsWith("crontab: "));
    EXPECT_THAT(r.out, HasSubstr("no changes"));
    EXPECT_EQ(saves(), 0u) << daemon->log();
    EXPECT_EQ(stored(), kOld);
    EXPECT_EQ(temp_files(), std::set<std::string>{});

    // Without a crontab the editor starts on an empty file; leaving it empty changes nothing.
    ASSERT_EQ(unlink(root.path(kSpool).c_str()), 0);
    forget_passes();
    EXPECT_EQ(edit().status, 0);
    EXPECT_EQ(noted("seen", 1), "");
    EXPECT_EQ(saves(), 0u);
}

TEST_F(EditRun, EditingDownToNothingInstallsTheEmptyCrontab) {
    seed(kOld);
    editor({R"(: >"$1")"});
    const RunResult r = edit();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(saves(), 1u);
    EXPECT_FALSE(exists(root.path(kSpool)));
}

TEST_F(EditRun, ARefusedTextThenYesReopensTheSameFileHoldingIt) {
    seed(kOld);
    editor({kWriteRefused, kWriteGood});
    const RunResult r = edit("y\n");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(passes(), 2);
    EXPECT_EQ(noted("path", 2), noted("path", 1));
    EXPECT_EQ(noted("seen", 2), kRefused);
    EXPECT_EQ(noted("mode", 2), "600\n");
    EXPECT_EQ(stored(), kGood);
    EXPECT_EQ(saves(), 2u);
    // The daemon's reason, then the question, asked once.
    EXPECT_THAT(r.out, HasSubstr("line 1"));
    EXPECT_EQ(occurrences(r.out, "[y/n]"), 1u) << r.out;
    EXPECT_THAT(r.out, Not(HasSubstr("left in")));
    EXPECT_EQ(temp_files(), std::set<std::string>{});
}

TEST_F(EditRun, RetryAnswersDecideWhetherToEditAgain) {
    struct Case {
        std::string input;
        int passes;
        std::size_t questions;
        bool installed;
    };
    const std::vector<Case> cases{
        {"yes\n", 2, 1, true}, {"maybe\n", 2, 1, true}, {"ok\ny\n", 2, 2, true},
        {"n\n", 1, 1, false},  {"No\n", 1, 1, false},   {"any\n", 1, 1, false},
        {"", 1, 1, false},     {"ok\n", 1, 2, false},   {"ok\nN\n", 1, 2, false},
    };
    editor({kWriteRefused, kWriteGood});
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.input));
        seed(kOld);
        forget_passes();
        const RunResult r = edit(c.input);
        // An edit that was not installed is no success.
        EXPECT_EQ(r.status, c.installed ? 0 : 1) << r.out << r.err;
        EXPECT_EQ(passes(), c.passes);
        EXPECT_EQ(occurrences(r.out, "[y/n]"), c.questions) << r.out;
        EXPECT_EQ(occurrences(r.out, "y or n"), c.questions - 1) << r.out;
        EXPECT_EQ(stored(), c.installed ? kGood : kOld);

        const std::string file = noted("path", 1);
        if (c.installed) {
            EXPECT_FALSE(exists(file));
        } else {
            // The refused text is kept for the user, where the editor had it.
            EXPECT_THAT(r.out, EndsWith("crontab: your edits are left in " + file + "\n"));
            ASSERT_TRUE(exists(file));
            EXPECT_EQ(TestSupport::read_file(file), kRefused);
            ASSERT_EQ(unlink(file.c_str()), 0);
        }
        EXPECT_EQ(temp_files(), std::set<std::string>{});
    }
}

TEST_F(EditRun, AnEditedTextOverTheCapIsNotSentAndIsLeftInItsFile) {
    const std::size_t size = PenSafeCrontab::MAX_CRONTAB_LENGTH + 1;
    seed(kOld);
    editor({"head -c " + std::to_string(size) + R"( /dev/zero | tr '\0' '#' >"$1")"});
    const RunResult r = edit();
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(saves(), 0u);
    EXPECT_EQ(stored(), kOld);
    const std::string file = noted("path", 1);
    EXPECT_THAT(r.out, StartsWith("crontab: crontab too large (more than " +
                                  std::to_string(size - 1) + " bytes).\n"));
    EXPECT_THAT(r.out, EndsWith("crontab: your edits are left in " + file + "\n"));
    ASSERT_TRUE(exists(file));
    EXPECT_EQ(TestSupport::read_file(file).size(), size);
    unlink(file.c_str());
}

TEST_F(EditRun, OnlyARegularFileIsReadBackAndAnythingElseIsLeftAsItIs) {
    // Were the FIFO opened, the run would wait for a writer for ever: the guard ends it instead.
    const std::string guard = "(sleep 10; kill -TERM $PPID) </dev/null >/dev/null 2>&1 & ";
    const std::string good = root.path("/state/good");
    const std::vector<std::pair<std::string, std::string>> leaves{
        {R"(rm "$1"; mkfifo "$1")", "a FIFO"},
        {R"(rm "$1"; mkdir "$1"; printf '0 2 * * * good\n' >"$1/crontab")", "a directory"},
        {R"(rm "$1"; printf '0 2 * * * good\n' >)" + good + R"(; ln -s )" + good + R"( "$1")",
         "a symbolic link"},
    };
    for (const auto& [pass, kind] : leaves) {
        SCOPED_TRACE(kind);
        seed(kOld);
        forget_passes();
        editor({guard + pass});
        const RunResult r = edit();
        const std::string file = noted("path", 1);
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_EQ(r.out, "crontab: the editor left " + kind + " at '" + file +
                             "', not a regular file; nothing was installed, and it is left "
                             "where it is.\n");
        EXPECT_EQ(saves(), 0u);
        EXPECT_EQ(stored(), kOld);
        EXPECT_TRUE(exists(file));
        TestSupport::remove_tree(file);
    }
}

TEST_F(EditRun, QuittingTheReopenedFileUnchangedSendsTheRefusedTextAgain) {
    seed(kOld);
    editor({kWriteRefused, ":"});
    const RunResult r = edit("y\nn\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(passes(), 2);
    EXPECT_EQ(occurrences(daemon->log(), "function=save outcome=refused"), 2u) << daemon->log();
    EXPECT_THAT(r.out, Not(HasSubstr("no changes")));
    EXPECT_EQ(stored(), kOld);
    unlink(noted("path", 1).c_str());
}

TEST_F(EditRun, AFailingEditorEndsTheRunWithNothingInstalled) {
    // How it ended, where no OS error says it (never a "Success" left over from errno 0).
    const std::vector<std::pair<std::string, std::string>> editors{
        {"#!/bin/sh\nprintf 'x\\n' >>\"$1\"\nexit 3\n", "exited with status 3"},
        {"#!/bin/sh\nprintf 'x\\n' >>\"$1\"\nkill -KILL $$\n", "killed by signal 9"},
        {"#!/nonexistent/interpreter\n", std::strerror(ENOENT)},
    };
    seed(kOld);
    for (const auto& [script, how] : editors) {
        SCOPED_TRACE(how);
        root.write("/usr/bin/editor", script, 0755);
        const RunResult r = edit();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "crontab: the editor failed: " + root.path("/usr/bin/editor") + ": " +
                             how + "\n");
        EXPECT_EQ(saves(), 0u);
        EXPECT_EQ(stored(), kOld);
        EXPECT_EQ(temp_files(), std::set<std::string>{});
    }
}

TEST_F(EditRun, VisualWithAPathIsPassedOverForEditorOrAFallback) {
    seed(kOld);
    root.write("/usr/bin/visual-ed", "#!/bin/sh\ntouch '" + root.path("/state/visual") + "'\n",
               0755);
    editor({kAppendGood}, "my-ed");
    RunResult r = edit({}, {"VISUAL=" + root.path("/usr/bin/visual-ed"), "EDITOR=my-ed"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(passes(), 1);
    EXPECT_FALSE(exists(root.path("/state/visual")));
    // Said in one line: what was ignored, and what opened instead.
    EXPECT_THAT(r.err, StartsWith("crontab: ignoring VISUAL=" + root.path("/usr/bin/visual-ed")));
    EXPECT_THAT(r.err, EndsWith("opening " + root.path("/usr/bin/my-ed") + " instead\n"));
    EXPECT_EQ(occurrences(r.err, "\n"), 1u) << r.err;

    // Neither variable usable: the fallbacks, "vi" being the last of them.
    seed(kOld);
    forget_passes();
    editor({kAppendGood}, "vi");
    r = edit({}, {"VISUAL=/usr/bin/visual-ed", "EDITOR=my-ed --flag"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(passes(), 1);
    EXPECT_FALSE(exists(root.path("/state/visual")));

    ASSERT_EQ(unlink(root.path("/usr/bin/vi").c_str()), 0);
    r = edit({}, {});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.out, StartsWith("crontab: no editor found"));
    EXPECT_EQ(temp_files(), std::set<std::string>{});
}

TEST_F(EditRun, InterruptAndQuitWhileTheEditorRunsDoNotEndTheRun) {
    seed(kOld);
    editor({"kill -INT $PPID; kill -QUIT $PPID; sleep 0.2; " + kAppendGood});
    const RunResult r = edit();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(stored(), std::string(kOld) + std::string(kGood));
    EXPECT_EQ(temp_files(), std::set<std::string>{});
}

TEST_F(EditRun, TerminateOrHangUpWhileTheEditorRunsStopsTheEditAndLeavesNoFile) {
    // The signal reaches the editor too; whether it dies of it or ends well, nothing is installed.
    const std::string quiet = " >/dev/null 2>&1 </dev/null";
    const std::vector<std::pair<std::string, std::string>> editors{
        {kAppendGood + "; kill -TERM $PPID; exec sleep 5" + quiet, "15"},
        {"trap 'exit 0' HUP; " + kAppendGood + "; kill -HUP $PPID; sleep 5" + quiet + " & wait",
         "1"},
    };
    for (const auto& [pass, signal] : editors) {
        SCOPED_TRACE(signal);
        seed(kOld);
        forget_passes();
        editor({pass});
        const RunResult r = edit();
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_EQ(r.out, "crontab: stopped by signal " + signal +
                             " while editing; nothing was installed\n");
        EXPECT_EQ(saves(), 0u);
        EXPECT_EQ(stored(), kOld);
        EXPECT_EQ(temp_files(), std::set<std::string>{});
    }
}

TEST_F(EditRun, AClosedTmpGivesWayToThePrivateDirectoryOnce) {
    seed(kOld);
    editor({kAppendGood});
    ASSERT_EQ(chmod(root.path("/tmp").c_str(), 0755), 0);
    root.mkdirs("/home/jail/tmp", 0700);
    ASSERT_EQ(chown(root.path("/home/jail/tmp").c_str(), kJail, kJail), 0);
    RunResult r = edit();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_THAT(noted("path", 1), StartsWith(root.path("/home/jail/tmp/")));
    EXPECT_EQ(stored(), std::string(kOld) + std::string(kGood));
    EXPECT_EQ(TestSupport::entries(root.path("/home/jail/tmp")), std::set<std::string>{});

    // The private directory is never made here: its absence ends the run as a failure.
    ASSERT_EQ(rmdir(root.path("/home/jail/tmp").c_str()), 0);
    forget_passes();
    r = edit();
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, HasSubstr(root.path("/home/jail/tmp")));
    EXPECT_EQ(passes(), 0);
}

TEST_F(EditRun, ACrontabThatCannotBeWrittenWholeNeverReachesTheEditor) {
    std::string big;
    for (int i = 0; big.size() < 16384; ++i)
        big += "# line " + std::to_string(i) + " of a long crontab\n";
    seed(big);
    editor({R"(: >"$1")"});
    // A file size limit of 2 KiB stands in for a full disk.
    const RunResult r = TestSupport::run(
        {"/bin/sh", "-c", "ulimit -f 4; trap '' XFSZ; exec \"$0\" -e", root.path(kInstalled)},
        {"TARVOK_SANDBOX_ROOT=" + root.dir(), "PATH=/usr/bin:/bin", "EDITOR=editor"}, {}, {},
        TestSupport::RunAs{kJail, kJail});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr(std::strerror(EFBIG)));
    EXPECT_THAT(r.out, HasSubstr("nothing was changed"));
    EXPECT_EQ(passes(), 0);
    EXPECT_EQ(saves(), 0u);
    EXPECT_EQ(stored(), big);
    EXPECT_EQ(temp_files(), std::set<std::string>{});
}

// A real editor in a real terminal: vi typed at through tmux.
class RealEditorRun : public EditRun {
  protected:
    void TearDown() override {
        if (!socket_.empty()) tmux({"kill-server"});
        EditRun::TearDown();
    }
    RunResult tmux(Args args) const {
        args.insert(args.begin(), {"/usr/bin/tmux", "-L", socket_, "-f", "/dev/null"});
        return TestSupport::run(args, {"PATH=/usr/bin:/bin", "TMUX_TMPDIR=" + root.dir()});
    }
    std::string screen() const { return tmux({"capture-pane", "-p", "-t", "edit"}).out; }
    // Waits until `ready` holds, at most 10 s.
    template <class Ready>
    bool wait_for(Ready ready) const {
        for (int i = 0; i < 200; ++i) {
            if (ready()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    std::string socket_;
};

TEST_F(RealEditorRun, TypingAChangeInViAndSavingInstallsIt) {
    std::string vi;
    for (const char* candidate : {"/usr/bin/vim.tiny", "/usr/bin/vim.basic"}) {
        if (access(candidate, X_OK) == 0) {
            vi = candidate;
            break;
        }
    }
    // scripts/deps.sh installs both: missing, the test fails rather than pass unseen.
    ASSERT_EQ(access("/usr/bin/tmux", X_OK), 0) << "tmux is not installed (scripts/deps.sh)";
    ASSERT_FALSE(vi.empty()) << "no vim (vim.tiny or vim.basic) is installed (scripts/deps.sh)";

    seed(kOld);
    root.mkdirs("/usr/bin");
    ASSERT_EQ(symlink(vi.c_str(), root.path("/usr/bin/vi").c_str()), 0);
    const std::string status_file = root.path("/state/status");
    const std::string command =
        "setpriv --reuid=4001 --regid=4001 --clear-groups env -i TERM=screen HOME=" +
        root.path("/home/jail") + " TARVOK_SANDBOX_ROOT=" + root.dir() + " PATH=/usr/bin:/bin " +
        root.path(kInstalled) + " -e; echo $? >" + status_file + "; sleep 30";
    socket_ = "edit-test-" + std::to_string(getpid());
    ASSERT_EQ(tmux({"new-session", "-d", "-s", "edit", "-x", "100", "-y", "30", command}).status,
              0);

    // vi names the file on its last line once it has read it; the text itself may only be
    // drawn after the first key, so ask for a redraw before looking for it.
    ASSERT_TRUE(wait_for([&] { return screen().find(".tmp\"") != std::string::npos; })) << screen();
    tmux({"send-keys", "-t", "edit", "C-l"});
    ASSERT_TRUE(wait_for([&] { return screen().find("0 1 * * * old") != std::string::npos; }))
        << screen();
    tmux({"send-keys", "-t", "edit", "G", "o"});
    tmux({"send-keys", "-t", "edit", "-l", "*/5 * * * * typed"});
    tmux({"send-keys", "-t", "edit", "Escape"});
    tmux({"send-keys", "-t", "edit", "-l", ":wq"});
    tmux({"send-keys", "-t", "edit", "Enter"});

    ASSERT_TRUE(wait_for([&] {
        return exists(status_file) && TestSupport::read_file(status_file).ends_with("\n");
    })) << screen();
    EXPECT_EQ(TestSupport::read_file(status_file), "0\n") << screen();
    EXPECT_EQ(stored(), std::string(kOld) + "*/5 * * * * typed\n");
    EXPECT_EQ(temp_files(), std::set<std::string>{});
}

}  // namespace
