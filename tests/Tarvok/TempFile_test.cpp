#include "Tarvok/TempFile.hpp"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include "Tarvok/Debug.hpp"
#include "Tarvok/Destruct.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/Exception.hpp"
#include "Tarvok/Process.hpp"
#include "Tarvok/Rand/FakeKernel.hpp"
#include "support/ChildProcess.hpp"
#include "support/SandboxRoot.hpp"

namespace {

using Tarvok::TempFile;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
}

std::string cwd() {
    char buf[PATH_MAX];
    return getcwd(buf, sizeof buf) ? buf : "";
}

std::string real(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? buf : "";
}

class TempFileTest : public ::testing::Test {
  protected:
    TempFileTest() {
        root_.mkdirs("/tmp");
        tmp_ = root_.path("/tmp");
    }
    ~TempFileTest() override {
        umask(saved_umask_);
        if (chdir(saved_cwd_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << saved_cwd_;
        Tarvok::Debug::level = 0;
        Tarvok::homedir.reset();
    }

    TestSupport::SandboxRoot root_;
    std::string tmp_;
    mode_t saved_umask_ = [] {
        const mode_t m = umask(022);
        umask(m);
        return m;
    }();
    std::string saved_cwd_ = cwd();
};

TEST_F(TempFileTest, EntriesArePrivateWhateverTheUmaskAndNamedByProcessCallerAndTrailer) {
    for (mode_t mask : {mode_t{077}, mode_t{022}, mode_t{0}}) {
        umask(mask);
        TempFile temp;
        std::optional<Tarvok::Rand::TmpEntry> file = temp.file();
        ASSERT_TRUE(file);
        EXPECT_EQ(mode_of(file->name), S_IFREG | 0600);
        EXPECT_EQ(fcntl(file->handle.get(), F_GETFL) & O_ACCMODE, O_WRONLY);
        std::optional<std::string> dir = temp.dir();
        ASSERT_TRUE(dir);
        EXPECT_EQ(mode_of(*dir), S_IFDIR | 0700);
        const mode_t now = umask(0);
        umask(now);
        EXPECT_EQ(now, mask);

        // /tmp/PID.CALLER--.RANDOM8.tmp, in the system /tmp of the root.
        const std::string head = tmp_ + "/" + std::to_string(getpid()) + ".";
        ASSERT_TRUE(file->name.starts_with(head)) << file->name;
        ASSERT_TRUE(file->name.ends_with(".tmp")) << file->name;
        const std::string middle = file->name.substr(head.size());
        const std::size_t marker = middle.find("--.");
        ASSERT_NE(marker, std::string::npos) << middle;
        EXPECT_EQ(middle.size(), marker + 3 + 8 + 4) << middle;
        EXPECT_EQ(
            middle.substr(0, marker).find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"),
            std::string::npos)
            << middle;
    }
}

TEST_F(TempFileTest, AnUnknownOptionRefusesTheWholeRecord) {
    CaptureStderr();
    TempFile temp({{"bogus", "1"}, {"prefix", "mine"}});
    const std::string warnings = GetCapturedStderr();
    EXPECT_NE(warnings.find("bogus"), std::string::npos) << warnings;
    EXPECT_TRUE(temp.opts().empty());
    EXPECT_EQ(temp.file()->name.find("mine"), std::string::npos);

    EXPECT_TRUE(temp.set_opts({{"prefix", "mine"}, {"suffix", "cron"}}));
    const std::string name = temp.file()->name;
    EXPECT_NE(name.find("--mine."), std::string::npos) << name;
    EXPECT_TRUE(name.ends_with(".cron")) << name;
    // A call's own true values win; its false ones leave the object's.
    EXPECT_NE(temp.file({{"prefix", "call"}})->name.find("--call."), std::string::npos);
    EXPECT_NE(temp.file({{"prefix", ""}, {"nonsense", "x"}})->name.find("--mine."),
              std::string::npos);
}

TEST_F(TempFileTest, TheDebugOptionSwitchesTheProcessWideLevel) {
    TempFile loud({{"debug", "1"}});
    EXPECT_EQ(Tarvok::Debug::level, 1);
    CaptureStderr();
    loud.file();
    loud.cleanup();
    const std::string lines = GetCapturedStderr();
    EXPECT_NE(lines.find("- file " + tmp_), std::string::npos) << lines;
    EXPECT_TRUE(loud.set_opts({{"debug", "0"}}));
    EXPECT_EQ(Tarvok::Debug::level, 0);
    TempFile quiet({{"debug", "1"}});
    TempFile again;
    EXPECT_EQ(Tarvok::Debug::level, 0);
}

TEST_F(TempFileTest, RefusedPrefixesCreateNothingAndRaiseNothing) {
    TempFile temp;
    for (const char* prefix : {"a/b", "a b", "semi;colon", "caf\xc3\xa9", "../up"}) {
        CaptureStderr();
        EXPECT_FALSE(temp.file({{"prefix", prefix}})) << prefix;
        EXPECT_FALSE(temp.dir({{"prefix", prefix}})) << prefix;
        EXPECT_FALSE(GetCapturedStderr().empty()) << prefix;
    }
    EXPECT_TRUE(TestSupport::entries(tmp_).empty());
    EXPECT_TRUE(temp.needunlink_list().empty());
    EXPECT_TRUE(temp.file({{"prefix", "ok-name_1.2"}}));
}

TEST_F(TempFileTest, ALongCallerNameContributesItsLast40Characters) {
    char* const saved = program_invocation_name;
    std::string program = "/opt/" + std::string(20, 'a') + "/" + std::string(19, 'b') + "-tool";
    ASSERT_EQ(program.size(), 50u);
    program_invocation_name = program.data();
    TempFile temp;
    const std::string name = temp.file()->name;
    program_invocation_name = saved;

    const std::string expected = std::string(15, 'A') + "_" + std::string(19, 'B') + "_TOOL--.";
    ASSERT_EQ(expected.size(), 40u + 3u);
    EXPECT_TRUE(name.starts_with(tmp_ + "/" + std::to_string(getpid()) + "." + expected)) << name;
}

TEST_F(TempFileTest, SuffixesGoLastAndSpecialCharactersInThemAreTakenLiterally) {
    TempFile temp;
    EXPECT_TRUE(temp.file({{"suffix", ".conf"}})->name.ends_with(".conf"));
    const std::string odd = temp.file({{"suffix", "c++.(x)*"}})->name;
    EXPECT_TRUE(odd.ends_with(".c++.(x)*")) << odd;
    EXPECT_TRUE(exists(odd));
    const std::string dir = *temp.dir({{"suffix", "d"}});
    EXPECT_TRUE(dir.ends_with(".d"));
    EXPECT_EQ(mode_of(dir), S_IFDIR | 0700);
}

TEST_F(TempFileTest, EntriesAreMadeUnderTheirFinalNameAndNeverReplaceAnother) {
    TestSupport::FakeKernel fake;
    TestSupport::FakeKernel::stream = [](std::size_t n) {
        return static_cast<unsigned char>(n % 63);
    };
    // Trailers come out as 01234567, 89abcdef, ghijklmn, ...
    TempFile temp;
    const std::string probe = temp.file()->name;
    const std::string base = probe.substr(0, probe.size() - std::string("01234567.tmp").size());
    ASSERT_EQ(probe, base + "01234567.tmp");
    TestSupport::write_file(base + "89abcdef.tmp", "theirs");

    std::optional<Tarvok::Rand::TmpEntry> file = temp.file();
    ASSERT_TRUE(file);
    EXPECT_EQ(file->name, base + "ghijklmn.tmp");
    EXPECT_EQ(TestSupport::read_file(base + "89abcdef.tmp"), "theirs");
    EXPECT_FALSE(exists(base + "tmp.ghijklmn")) << "no entry under an intermediate name";

    // A suffix that cannot go last stays before the trailer, with a note.
    CaptureStderr();
    const std::string long_suffix(250, 's');
    std::optional<Tarvok::Rand::TmpEntry> odd = temp.file({{"suffix", long_suffix}});
    const std::string note = GetCapturedStderr();
    ASSERT_TRUE(odd);
    EXPECT_NE(note.find(odd->name), std::string::npos) << note;
    EXPECT_EQ(odd->name.substr(odd->name.rfind('/') + 1).size(), 255u);
    EXPECT_TRUE(exists(odd->name));
}

TEST_F(TempFileTest, ReadWriteFilesCanBeReadBackThroughTheirHandle) {
    TempFile temp;
    std::optional<Tarvok::Rand::TmpEntry> file = temp.file_readwrite();
    ASSERT_TRUE(file);
    EXPECT_EQ(fcntl(file->handle.get(), F_GETFL) & O_ACCMODE, O_RDWR);
    ASSERT_EQ(write(file->handle.get(), "text", 4), 4);
    char back[4];
    ASSERT_EQ(pread(file->handle.get(), back, 4, 0), 4);
    EXPECT_EQ(std::string(back, 4), "text");
    EXPECT_EQ(temp.needunlink_list(), std::vector<std::string>{file->name});

    CaptureStderr();
    EXPECT_THROW(temp.filename_only(), Tarvok::Error);
    GetCapturedStderr();
}

TEST_F(TempFileTest, CleanupRemovesNewestFirstAndOnlyOnce) {
    auto temp = std::make_unique<TempFile>();
    std::optional<Tarvok::Rand::TmpEntry> inner = temp->file_in_dir({{"suffix", "in"}});
    ASSERT_TRUE(inner);
    const std::vector<std::string> registered = temp->needunlink_list();
    ASSERT_EQ(registered.size(), 2u);
    const std::string dir = registered[0];
    EXPECT_EQ(registered[1], inner->name);
    EXPECT_EQ(inner->name.substr(0, dir.size() + 1), dir + "/");
    EXPECT_EQ(mode_of(dir), S_IFDIR | 0700);

    Tarvok::Debug::level = 1;
    CaptureStderr();
    temp.reset();
    const std::string lines = GetCapturedStderr();
    const std::size_t file_line = lines.find("- file " + inner->name);
    const std::size_t dir_line = lines.find("- directory " + dir);
    ASSERT_NE(file_line, std::string::npos) << lines;
    ASSERT_NE(dir_line, std::string::npos) << lines;
    EXPECT_LT(file_line, dir_line);
    EXPECT_FALSE(exists(dir));

    // After an explicit cleanup the destructor has nothing left to do.
    TempFile again;
    const std::string name = again.file()->name;
    again.cleanup();
    TestSupport::write_file(name, "someone else's, later");
    again.cleanup();
    EXPECT_TRUE(exists(name));
}

TEST_F(TempFileTest, AKeptEntryOutlivesItsObjectWhileTheOthersGo) {
    std::string kept;
    std::string other;
    {
        TempFile temp;
        kept = temp.file()->name;
        other = temp.file()->name;
        EXPECT_TRUE(temp.keep(kept));
        EXPECT_FALSE(temp.keep(kept));
        EXPECT_FALSE(temp.keep(tmp_ + "/never-registered"));
        EXPECT_EQ(temp.needunlink_list(), std::vector<std::string>{other});
    }
    EXPECT_TRUE(exists(kept));
    EXPECT_FALSE(exists(other));
    unlink(kept.c_str());
}

TEST_F(TempFileTest, AMissingDirectoryIsMadeOnlyWhenAskedAndRemovedAgain) {
    const std::string deep = tmp_ + "/new/deeper";
    {
        TempFile temp;
        CaptureStderr();
        EXPECT_THROW(temp.file({{"path", deep}}), Tarvok::Exception::TempCreateFailed);
        EXPECT_NE(GetCapturedStderr().find(deep), std::string::npos);
        EXPECT_FALSE(exists(tmp_ + "/new"));

        CaptureStderr();
        std::optional<Tarvok::Rand::TmpEntry> file =
            temp.file({{"path", deep}, {"create_path", "1"}});
        GetCapturedStderr();
        ASSERT_TRUE(file);
        EXPECT_TRUE(file->name.starts_with(deep + "/"));
        EXPECT_EQ(temp.needunlink_list(),
                  (std::vector<std::string>{tmp_ + "/new", deep, file->name}));
    }
    EXPECT_FALSE(exists(tmp_ + "/new"));
}

TEST_F(TempFileTest, AForkedChildRemovesNothingOfItsParent) {
    auto temp = std::make_unique<TempFile>();
    const std::string parents = temp->file()->name;
    const std::string parents_dir = *temp->dir();

    const TestSupport::RunResult child = TestSupport::run_forked([&] {
        // The child's own entries are its own to remove.
        const std::string childs = temp->file()->name;
        if (temp->needunlink_list() != std::vector<std::string>{childs}) return 1;
        temp->cleanup();
        if (exists(childs)) return 2;
        temp->file();
        temp.reset();
        return 0;
    });
    EXPECT_EQ(child.status, 0) << child.err;
    EXPECT_TRUE(exists(parents));
    EXPECT_TRUE(exists(parents_dir));
    EXPECT_EQ(TestSupport::entries(tmp_).size(), 2u) << "the child removed what it made";

    temp.reset();
    EXPECT_FALSE(exists(parents));
    EXPECT_FALSE(exists(parents_dir));
}

TEST_F(TempFileTest, AWorkingDirectoryIsLeftForItsParentBeforeItIsRemoved) {
    TempFile temp;
    const std::string dir = *temp.dir();
    TestSupport::write_file(dir + "/left-inside", "x");
    ASSERT_EQ(chdir(dir.c_str()), 0);
    CaptureStderr();
    temp.cleanup();
    GetCapturedStderr();
    EXPECT_FALSE(exists(dir));
    EXPECT_EQ(cwd(), real(tmp_));
}

TEST_F(TempFileTest, OnlyPathsWithADirectoryPartAreRemovedAndLinksAreNotFollowed) {
    ASSERT_EQ(chdir(tmp_.c_str()), 0);
    TestSupport::write_file(tmp_ + "/bare", "stays");
    const std::string victim = root_.dir() + "/victim";
    TestSupport::make_dirs(victim);
    TestSupport::write_file(victim + "/precious", "stays too");
    const std::string link = tmp_ + "/link";
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);

    TempFile temp;
    temp.needunlink("bare");
    temp.needunlink("/dev/null");
    temp.needunlink(link);
    CaptureStderr();
    temp.cleanup();
    const std::string warnings = GetCapturedStderr();
    EXPECT_NE(warnings.find("bare"), std::string::npos) << warnings;
    EXPECT_TRUE(exists(tmp_ + "/bare"));
    EXPECT_TRUE(exists("/dev/null"));
    EXPECT_FALSE(exists(link));
    EXPECT_EQ(TestSupport::read_file(victim + "/precious"), "stays too");
}

TEST_F(TempFileTest, DestructionDuringTheRunRemovesButTheFinalTeardownDoesNot) {
    // A real program (no test harness): one object unwound by an exit request, one that lives
    // in static storage until the process ends.
    const TestSupport::RunResult ended = TestSupport::run_forked([]() -> int {
        Tarvok::Destruct::set_test_harness_loaded(false);
        static TempFile survivor;
        const std::string kept = survivor.file()->name + "\n";
        const int code = Tarvok::Process::run([&] {
            TempFile during_run;
            const std::string gone = during_run.file()->name + "\n";
            (void)!write(STDOUT_FILENO, gone.data(), gone.size());
            Tarvok::Process::exit(3);
            return 0;
        });
        (void)!write(STDOUT_FILENO, kept.data(), kept.size());
        std::exit(code);
    });
    const std::string& text = ended.out;
    EXPECT_EQ(ended.status, 3);
    const std::size_t cut = text.find('\n');
    ASSERT_NE(cut, std::string::npos) << text;
    const std::string gone = text.substr(0, cut);
    const std::string kept = text.substr(cut + 1, text.size() - cut - 2);
    EXPECT_FALSE(exists(gone)) << gone;
    EXPECT_TRUE(exists(kept)) << kept;
}

TEST_F(TempFileTest, SafeEntriesGoToThePrivateDirectoryOfTheHome) {
    const std::string home = root_.dir() + "/home/alice";
    TestSupport::make_dirs(home);
    Tarvok::homedir = home;
    umask(022);
    std::optional<Tarvok::Rand::TmpEntry> file = TempFile::get_safe_tmpfile();
    ASSERT_TRUE(file);
    EXPECT_EQ(mode_of(home + "/tmp"), S_IFDIR | 0755);
    EXPECT_TRUE(file->name.starts_with(home + "/tmp/pen_safe_crontab.temp.")) << file->name;
    EXPECT_EQ(mode_of(file->name), S_IFREG | 0600);
    std::optional<std::string> dir = TempFile::get_safe_tmpdir();
    ASSERT_TRUE(dir);
    EXPECT_EQ(mode_of(*dir), S_IFDIR | 0700);

    // No home directory to put the private directory in.
    Tarvok::homedir = root_.dir() + "/home/nobody";
    CaptureStderr();
    EXPECT_FALSE(TempFile::get_safe_tmpfile());
    EXPECT_NE(GetCapturedStderr().find("/home/nobody"), std::string::npos);
}

}  // namespace
