#include "Edit.hpp"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "Tarvok/FindBin.hpp"
#include "Tarvok/Process.hpp"
#include "support/SandboxRoot.hpp"
#include "support/StderrCapture.hpp"

namespace {

using namespace PenSafeCrontab;
using ::testing::HasSubstr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

TEST(RetryAnswer, AnNAnywhereStopsAYWithoutOneGoesOnAndTheRestIsUnclear) {
    for (const char* line : {"n\n", "N\n", "no\n", "any\n", "Nope", "yn\n", "yes, no\n"}) {
        EXPECT_EQ(retry_answer(line), RetryAnswer::no) << line;
    }
    for (const char* line : {"y\n", "Y", "yes\n", "maybe\n", "  y  \n"}) {
        EXPECT_EQ(retry_answer(line), RetryAnswer::yes) << line;
    }
    for (const char* line : {"ok\n", "\n", "", "1\n", "sure\n"}) {
        EXPECT_EQ(retry_answer(line), RetryAnswer::unclear) << line;
    }
}

class AskToRetry : public ::testing::Test {
  protected:
    // The answer to the question with `input` on a pipe, and what was printed meanwhile.
    bool ask(const std::string& input) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        in_ = Tarvok::UniqueFd(fds[0]);
        EXPECT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        close(fds[1]);
        CaptureStdout();
        const bool again = ask_to_retry(in_.get());
        printed = GetCapturedStdout();
        return again;
    }
    std::string rest() {
        std::string left;
        char buf[64];
        ssize_t n;
        while ((n = read(in_.get(), buf, sizeof buf)) > 0) left.append(buf, n);
        return left;
    }
    static std::size_t count(const std::string& text, std::string_view what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }

    std::string printed;
    Tarvok::UniqueFd in_;
};

TEST_F(AskToRetry, UnclearAnswersAreAskedAgainAndOnlyTheAnswerLineIsTaken) {
    EXPECT_TRUE(ask("ok\nmaybe\nfor the editor\n"));
    EXPECT_EQ(count(printed, "[y/n]"), 2u) << printed;
    EXPECT_EQ(count(printed, "y or n"), 1u) << printed;
    EXPECT_EQ(rest(), "for the editor\n");

    EXPECT_FALSE(ask("no\n"));
    EXPECT_EQ(count(printed, "[y/n]"), 1u) << printed;
}

TEST_F(AskToRetry, EndOfInputAnswersNoAndALastLineWithoutLineEndCounts) {
    EXPECT_FALSE(ask(""));
    EXPECT_EQ(count(printed, "[y/n]"), 1u) << printed;
    EXPECT_TRUE(printed.ends_with("\n")) << printed;

    EXPECT_FALSE(ask("ok\n\n"));
    EXPECT_EQ(count(printed, "[y/n]"), 3u) << printed;

    EXPECT_TRUE(ask("y"));
}

class WriteAndClose : public ::testing::Test {
  protected:
    TestSupport::SandboxRoot root;
};

TEST_F(WriteAndClose, WritesEveryByteOrSaysWhyNot) {
    std::string big(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    const std::string path = root.path("/file");
    Tarvok::UniqueFd out(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(out);
    EXPECT_EQ(write_and_close(std::move(out), big), 0);
    EXPECT_EQ(TestSupport::read_file(path), big);

    Tarvok::UniqueFd full(open("/dev/full", O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(full);
    EXPECT_EQ(write_and_close(std::move(full), "* * * * * date\n"), ENOSPC);

    // An empty crontab is nothing to write, but the handle is still closed and checked.
    Tarvok::UniqueFd empty(open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    EXPECT_EQ(write_and_close(std::move(empty), ""), 0);
    EXPECT_EQ(TestSupport::read_file(path), "");

    EXPECT_EQ(write_and_close(Tarvok::UniqueFd(), "x"), EBADF);
}

class EditorChoice : public ::testing::Test {
  protected:
    void SetUp() override {
        Tarvok::FindBin::reset_bin_cache();
        for (const char* name : {"VISUAL", "EDITOR"}) {
            if (const char* value = std::getenv(name)) saved_.emplace_back(name, value);
            unsetenv(name);
        }
    }
    void TearDown() override {
        unsetenv("VISUAL");
        unsetenv("EDITOR");
        for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
        Tarvok::FindBin::reset_bin_cache();
    }
    void executable(std::string_view path) const { root.write(path, "#!/bin/sh\n", 0755); }
    StatusText choose() {
        Tarvok::FindBin::reset_bin_cache();
        return _get_editor_bin();
    }

    TestSupport::SandboxRoot root;
    std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_F(EditorChoice, VisualThenEditorThenTheFallbacksInTheirOrder) {
    EXPECT_EQ(FALLBACK_EDITORS, (std::array<std::string_view, 4>{"editor", "nano", "vim", "vi"}));
    executable("/bin/vi");
    EXPECT_EQ(choose().text, root.path("/bin/vi"));
    executable("/usr/local/bin/vim");
    EXPECT_EQ(choose().text, root.path("/usr/local/bin/vim"));
    executable("/usr/sbin/nano");
    EXPECT_EQ(choose().text, root.path("/usr/sbin/nano"));
    executable("/usr/bin/editor");
    EXPECT_EQ(choose().text, root.path("/usr/bin/editor"));

    executable("/usr/bin/emacs");
    executable("/usr/bin/mcedit");
    setenv("EDITOR", "emacs", 1);
    EXPECT_EQ(choose().text, root.path("/usr/bin/emacs"));
    setenv("VISUAL", "mcedit", 1);
    EXPECT_TRUE(choose().status);
    EXPECT_EQ(choose().text, root.path("/usr/bin/mcedit"));
    setenv("VISUAL", "", 1);
    EXPECT_EQ(choose().text, root.path("/usr/bin/emacs"));
}

TEST_F(EditorChoice, PathsCommandLinesAndMissingNamesArePassedOver) {
    executable("/usr/bin/vi");
    executable("/usr/bin/emacs");
    executable("/home/jail/own-tool");
    root.mkdirs("/usr/bin/x");
    executable("/usr/bin/x/sub");
    const std::vector<std::string> passed_over{root.path("/usr/bin/emacs"),
                                               "/usr/bin/emacs",
                                               "../../home/jail/own-tool",
                                               "x/sub",
                                               "emacs -nw",
                                               "no-such-editor"};
    program().invocation_name = "crontab";
    for (const std::string& visual : passed_over) {
        setenv("VISUAL", visual.c_str(), 1);
        setenv("EDITOR", visual.c_str(), 1);
        TestSupport::StderrCapture err;
        EXPECT_EQ(choose().text, root.path("/usr/bin/vi")) << visual;
        // Only a path is named as ignored, once for each variable that holds it.
        const std::string line =
            ": an editor is named, not given as a path, and is looked up "
            "in the system directories; opening " +
            root.path("/usr/bin/vi") + " instead\n";
        EXPECT_EQ(err.text(), visual.find('/') == std::string::npos
                                  ? ""
                                  : "crontab: ignoring VISUAL=" + visual + line +
                                        "crontab: ignoring EDITOR=" + visual + line);
    }
}

TEST_F(EditorChoice, NoEditorAnywhereIsAFailureWithAHint) {
    setenv("EDITOR", "/usr/bin/emacs", 1);
    TestSupport::StderrCapture err;
    const StatusText none = choose();
    EXPECT_FALSE(none.status);
    EXPECT_THAT(none.text, HasSubstr("EDITOR"));
    EXPECT_EQ(none.text.find('\n'), std::string::npos);
    EXPECT_THAT(err.text(), HasSubstr("EDITOR=/usr/bin/emacs"));
    EXPECT_THAT(err.text(), ::testing::EndsWith("; no other editor was found\n"));
}

class RunEditor : public ::testing::Test {
  protected:
    void SetUp() override {
        struct sigaction handler {};
        handler.sa_handler = [](int) {};
        sigemptyset(&handler.sa_mask);
        sigaction(SIGINT, &handler, &saved_int_);
        sigaction(SIGQUIT, nullptr, &saved_quit_);
        log_ = root.path("/editor.log");
        file_ = root.path("/tmp/crontab.tmp");
        root.write("/tmp/crontab.tmp", "");
    }
    void TearDown() override {
        sigaction(SIGINT, &saved_int_, nullptr);
        sigaction(SIGQUIT, &saved_quit_, nullptr);
    }
    std::string editor(std::string_view body) const {
        const std::string path = root.path("/usr/bin/editor");
        root.write("/usr/bin/editor", "#!/bin/sh\n" + std::string(body), 0755);
        return path;
    }
    // Bit `signal` of a SigIgn mask as /proc shows it.
    static bool ignores(const std::string& mask_hex, int signal) {
        return (std::stoull(mask_hex, nullptr, 16) >> (signal - 1)) & 1;
    }

    TestSupport::SandboxRoot root;
    std::string log_;
    std::string file_;
    struct sigaction saved_int_ {};
    struct sigaction saved_quit_ {};
};

TEST_F(RunEditor, TheFileIsTheOneArgumentAndOnlyTheWaitingSideIgnoresInterrupts) {
    const std::string path =
        editor("printf '%s\\n' \"$#\" \"$1\" >'" + log_ +
               "'\n"
               "sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status /proc/$PPID/status >>'" +
               log_ + "'\n");
    const EditorRun run = run_editor(path, file_);
    EXPECT_EQ(run.wait_status, 0);
    EXPECT_EQ(run.error, 0);

    std::vector<std::string> lines;
    std::string text = TestSupport::read_file(log_);
    for (std::size_t at; (at = text.find('\n')) != std::string::npos; text.erase(0, at + 1)) {
        lines.push_back(text.substr(0, at));
    }
    ASSERT_EQ(lines.size(), 4u) << TestSupport::read_file(log_);
    EXPECT_EQ(lines[0], "1");
    EXPECT_EQ(lines[1], file_);
    EXPECT_FALSE(ignores(lines[2], SIGINT));
    EXPECT_FALSE(ignores(lines[2], SIGQUIT));
    EXPECT_TRUE(ignores(lines[3], SIGINT));
    EXPECT_TRUE(ignores(lines[3], SIGQUIT));

    struct sigaction now {};
    sigaction(SIGINT, nullptr, &now);
    EXPECT_NE(now.sa_handler, SIG_IGN);
    EXPECT_NE(now.sa_handler, SIG_DFL);
    sigaction(SIGQUIT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, saved_quit_.sa_handler);
}

TEST_F(RunEditor, AnEditorThatFailsOrCannotStartSaysHowItEnded) {
    root.write("/usr/bin/plain", "#!/bin/sh\n", 0644);
    root.write("/usr/bin/exits", "#!/bin/sh\nexit 2\n", 0755);
    root.write("/usr/bin/killed", "#!/bin/sh\nkill -KILL $$\n", 0755);
    const std::pair<std::string, std::string> cases[] = {
        {root.path("/usr/bin/exits"), "exited with status 2"},
        {root.path("/usr/bin/killed"), "killed by signal 9"},
        {root.path("/usr/bin/missing"), std::strerror(ENOENT)},
        {root.path("/usr/bin/plain"), std::strerror(EACCES)},
    };
    for (const auto& [path, how] : cases) {
        const EditorRun run = run_editor(path, file_);
        EXPECT_NE(run.wait_status, 0) << how;
        EXPECT_EQ(Tarvok::Process::child_status(), run.wait_status) << how;
        EXPECT_EQ(editor_failure(run), how);
    }
    EXPECT_EQ(editor_failure({-1, EAGAIN}), std::strerror(EAGAIN));
}

}  // namespace
