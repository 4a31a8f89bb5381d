// A restricted account's crontab, end to end: the sandbox front end run as the account against
// the sandbox reference daemon, which keeps the crontab in the root's spool.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "Frontend.hpp"
#include "daemon/support/DaemonProcess.hpp"
#include "e2e/support/CrontabSession.hpp"

namespace {

using E2E::Args;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using TestSupport::RunResult;

const std::string USAGE(PenSafeCrontab::USAGE_TEXT);
const std::string INSTALLED = "crontab: your crontab has been updated\n";

class CrontabWithDaemon : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(daemon.wait_until_serving()) << daemon.log(); }

    void install(std::string_view text) {
        ASSERT_EQ(session.run({}, text).out, INSTALLED);
        ASSERT_EQ(session.stored(), text);
    }

    E2E::CrontabSession session;
    DaemonTest::DaemonProcess daemon{session.root};
};

TEST_F(CrontabWithDaemon, ListInstallListRemoveList) {
    RunResult r = session.run({"-l"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);

    const std::string crontab = "MAILTO=\"\"\n*/5 * * * * $HOME/bin/poll --quiet\n";
    r = session.run({}, crontab);
    EXPECT_EQ(r.out, INSTALLED);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(session.stored(), crontab);

    r = session.run({"-l"});
    EXPECT_EQ(r.out, crontab);
    EXPECT_EQ(r.status, 0);

    r = session.run({"-r"});
    EXPECT_EQ(r.out, INSTALLED);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(session.stored(), "");
    EXPECT_EQ(session.run({"-l"}).out, "");
    EXPECT_NE(daemon.log().find("account=jail function=save outcome=removed"), std::string::npos);
}

TEST_F(CrontabWithDaemon, FileBytesComeBackExactlyWhateverTheirEncoding) {
    // Latin-1, a stray continuation byte, UTF-8, a NUL-free control character and JSON's
    // special characters, all in the command part where the daemon does not look.
    const std::string crontab =
        "# caf\xe9 \x80\n"
        "0 3 * * * echo \"\\\\ / \t \x01 \xc3\xa9\" > $HOME/log\n";
    const std::string file = session.jail_file("/home/jail/new.cron", crontab);
    const RunResult r = session.run({file});
    EXPECT_EQ(r.out, INSTALLED);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(session.stored(), crontab);
    EXPECT_EQ(session.run({"-l"}).out, crontab);
}

TEST_F(CrontabWithDaemon, RefusedTextIsReportedWithTheDaemonsReasonAndStatusOne) {
    install("@daily true\n");
    for (const Args& args : {Args{}, Args{session.jail_file("/home/jail/bad", "x")}}) {
        const RunResult r = session.run(args, "* * * * * date\n61 * * * * date\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.out, StartsWith("line "));
        EXPECT_EQ(session.stored(), "@daily true\n");
    }
    EXPECT_EQ(session.run({}, "* * * * * date\n61 * * * * date\n").out,
              "line 2: bad minute '61' (0-59)\n");
}

// How large a crontab may be is the daemon's to say: the front end sends any text short of its
// guard against endless input, and the user reads the daemon's own refusal, also when the text
// is so large that the daemon answers before it has read it all.
TEST_F(CrontabWithDaemon, HowLargeACrontabMayBeIsTheDaemonsToSay) {
    install("@daily true\n");
    const std::string line = "# " + std::string(97, 'x') + "\n";
    const std::string too_large =
        "Your crontab could not be installed by the crontab service: "
        "Request too large (over ";
    // Over the crontab limit; over the request limit; over what the daemon drains after that.
    for (const auto& [lines, says] :
         {std::pair<std::size_t, std::string>{30'000, "crontab is too large (3000000 bytes"},
          {80'000, too_large},
          {330'000, too_large}}) {
        std::string text;
        for (std::size_t i = 0; i < lines; ++i) text += line;
        SCOPED_TRACE(text.size());
        const RunResult r = session.run({}, text);
        EXPECT_THAT(r.out, StartsWith(says));
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
        // A daemon that answered needs no word about the rest it did not read.
        EXPECT_THAT(r.err, Not(HasSubstr(std::strerror(EPIPE))));
        EXPECT_THAT(r.err, Not(HasSubstr(std::strerror(ECONNRESET))));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(session.stored(), "@daily true\n");
    }
}

TEST_F(CrontabWithDaemon, ARefusedAccountIsStoppedBeforeEveryOperation) {
    install("@hourly true\n");
    session.root.write("/etc/cron.deny", "jail\n");
    const std::string file = session.jail_file("/home/jail/new.cron", "@daily true\n");
    for (const Args& args :
         {Args{"-l"}, Args{"-r"}, Args{"-e"}, Args{file}, Args{}, Args{"-"}, Args{"-x"}}) {
        const RunResult r = session.run(args, "@daily true\n", {}, "my-crontab");
        const std::string what = ::testing::PrintToString(args);
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_THAT(r.out, StartsWith("User jail is not allowed")) << what;
        EXPECT_THAT(r.out, HasSubstr(" my-crontab")) << what;
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << what;
        EXPECT_EQ(session.stored(), "@hourly true\n") << what;
    }
}

TEST_F(CrontabWithDaemon, OptionsWinInEditListRemoveOrderThenInvalidThenFileThenInput) {
    const std::string first = "@daily first\n";
    const std::string second = "@daily second\n";
    const std::string file = session.jail_file("/home/jail/second.cron", second);
    install(first);

    // The edit option wins over everything: an editor that saves nothing, and no listing.
    session.root.mkdirs("/tmp");
    ASSERT_EQ(chmod(session.root.path("/tmp").c_str(), 01777), 0);
    session.root.write("/usr/bin/editor", "#!/bin/sh\n", 0755);
    RunResult r = session.run({"-l", "-r", "-e"});
    EXPECT_EQ(r.out, "crontab: no changes made, nothing installed\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(session.stored(), first);

    r = session.run({file, "-x", "-r", "-l"});
    EXPECT_EQ(r.out, first);
    EXPECT_EQ(r.status, 0);

    // An invalid option stops a file install and names the first argument.
    r = session.run({file, "-x"});
    EXPECT_EQ(r.out, "Invalid option: " + file + "\n" + USAGE);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(session.stored(), first);

    // The file wins over standard input, and arguments after it are ignored.
    r = session.run({file, "ignored", "-lx"}, "@daily from input\n");
    EXPECT_EQ(r.out, INSTALLED);
    EXPECT_EQ(session.stored(), second);

    for (const Args& args : {Args{}, Args{"-"}, Args{"", file}, Args{"-", file}}) {
        install(first);
        r = session.run(args, "@daily from input\n");
        EXPECT_EQ(r.out, INSTALLED) << ::testing::PrintToString(args);
        EXPECT_EQ(session.stored(), "@daily from input\n") << ::testing::PrintToString(args);
    }

    r = session.run({file, "-r"});
    EXPECT_EQ(r.out, INSTALLED);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(session.stored(), "");

    // Look-alikes of options are file names in the first place.
    r = session.run({"-le"});
    EXPECT_EQ(r.out, "'-le' does not exist.\n" + USAGE);
    EXPECT_EQ(r.status, 1);
}

}  // namespace
