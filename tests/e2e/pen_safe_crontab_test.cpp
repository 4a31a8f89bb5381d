// Runs the sandbox build of pen_safe_crontab as different accounts against a sandbox root with
// its own password file and a stand-in system crontab.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/HostingRoot.hpp"

namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using TestSupport::RunResult;
using TestSupport::STAND_IN_CRONTAB;
using TestSupport::STAND_IN_MARK;
using TestSupport::stand_in_output;
using Args = std::vector<std::string>;

constexpr uid_t kRestricted = TestSupport::JAIL_UID;
constexpr uid_t kOrdinary = TestSupport::PLAIN_UID;
constexpr uid_t kNologin = 4003;
constexpr uid_t kDeepPenshell = 4004;
constexpr uid_t kUnknown = 4999;

constexpr std::string_view kInstalled = TestSupport::FRONTEND;

class PenSafeCrontabRun : public ::testing::Test {
  protected:
    void SetUp() override { root.install_stand_in_crontab(); }

    RunResult run_as(uid_t uid, const Args& args, std::vector<std::string> extra_env = {}) const {
        return root.run_as(uid, kInstalled, args, {}, std::move(extra_env));
    }

    TestSupport::HostingRoot root{
        "locked:x:4003:4003::/nonexistent:/usr/sbin/nologin\n"
        "vendor:x:4004:4004::/home/vendor:/opt/vendor/penshell/bin/sh\n"};
};

TEST_F(PenSafeCrontabRun, UnrestrictedAccountsAreHandedOverWithEveryArgumentUnchanged) {
    const Args args{"-l", "with space", "", "--", "-x", "-e", "--bincheck", "*/5 * * * *"};
    // The front end has no use for an encrypted password: not even root's lookup reads the
    // shadow file (whose absence would be warned about).
    ASSERT_EQ(unlink(root.path("/etc/shadow").c_str()), 0);
    for (uid_t uid : {uid_t{0}, kOrdinary, kNologin, kUnknown}) {
        const RunResult r = run_as(uid, args);
        EXPECT_EQ(r.out, stand_in_output(root.path("/usr/bin/crontab"), args)) << uid;
        EXPECT_EQ(r.err, "") << uid;
        EXPECT_EQ(r.status, 42) << uid;
    }
    const RunResult bare = run_as(kOrdinary, {});
    EXPECT_EQ(bare.out, stand_in_output(root.path("/usr/bin/crontab")));
    EXPECT_EQ(bare.status, 42);
}

TEST_F(PenSafeCrontabRun, HandedOverProgramIsStartedUnderItsOwnPath) {
    root.write("/usr/lib/stand-in/argv-echo", TestSupport::read_file("/proc/self/exe"), 0755);
    ASSERT_EQ(unlink(root.path("/usr/bin/crontab").c_str()), 0);
    ASSERT_EQ(symlink(root.path("/usr/lib/stand-in/argv-echo").c_str(),
                      root.path("/usr/bin/crontab").c_str()),
              0);
    const RunResult r = run_as(kOrdinary, {"-l", "x y"}, {"TARVOK_TEST_ARGV_ECHO=7"});
    EXPECT_EQ(r.out, root.path("/usr/bin/crontab") + "\n-l\nx y\n");
    EXPECT_EQ(r.status, 7);
}

TEST_F(PenSafeCrontabRun, RestrictedAccountsNeverReachTheSystemCrontab) {
    const std::vector<Args> arg_lists{{},
                                      {"-l"},
                                      {"-e"},
                                      {"-r"},
                                      {"-"},
                                      {"file"},
                                      {"-x"},
                                      {"", "-l"},
                                      {"-u", "x"},
                                      {"-l", "--bincheck"},
                                      {"file", "--basemem"}};
    for (uid_t uid : {kRestricted, kDeepPenshell}) {
        for (const Args& args : arg_lists) {
            const RunResult r = run_as(uid, args);
            const std::string what = std::to_string(uid) + " " + ::testing::PrintToString(args);
            EXPECT_EQ(r.status, 1) << what;
            EXPECT_THAT(r.out, Not(HasSubstr(STAND_IN_MARK))) << what;
            // No daemon listens here: the fetch ends the run with its one-line message,
            // whatever was asked for.
            EXPECT_THAT(r.out, MatchesRegex("[^\n]+\n")) << what;
            EXPECT_THAT(r.err, Not(HasSubstr(STAND_IN_MARK))) << what;
        }
    }
}

TEST_F(PenSafeCrontabRun, ExecFailureNamesThePathAndEndsWithTheErrorNumber) {
    root.write("/usr/bin/crontab", "this is neither a program nor a script\n", 0755);
    const RunResult r = run_as(kOrdinary, {"-l"});
    EXPECT_EQ(r.status, ENOEXEC);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, HasSubstr("'" + root.path("/usr/bin/crontab") + "'"));
    EXPECT_THAT(r.err, HasSubstr(std::strerror(ENOEXEC)));
}

TEST_F(PenSafeCrontabRun, WithoutAUsableSystemCrontabEveryoneIsServedAsRestricted) {
    const RunResult restricted = run_as(kRestricted, {"-l"});
    auto expect_like_restricted = [&](const RunResult& r, const char* what) {
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_EQ(r.out, restricted.out) << what;
        EXPECT_THAT(r.err, Not(HasSubstr(STAND_IN_MARK))) << what;
    };

    ASSERT_EQ(chmod(root.path("/usr/bin/crontab").c_str(), 0644), 0);
    expect_like_restricted(run_as(kOrdinary, {"-l"}), "not executable");

    ASSERT_EQ(unlink(root.path("/usr/bin/crontab").c_str()), 0);
    expect_like_restricted(run_as(kOrdinary, {"-l"}), "missing");

    // Replaced by a link to the wrapper itself, with no renamed original to go back to.
    ASSERT_EQ(symlink(root.path(kInstalled).c_str(), root.path("/usr/bin/crontab").c_str()), 0);
    expect_like_restricted(run_as(kOrdinary, {"-l"}), "wrapper link");
}

TEST_F(PenSafeCrontabRun, RelinkedSystemCrontabIsFoundBehindTheWrapperLink) {
    ASSERT_EQ(unlink(root.path("/usr/bin/crontab").c_str()), 0);
    ASSERT_EQ(symlink(root.path(kInstalled).c_str(), root.path("/usr/bin/crontab").c_str()), 0);
    root.write("/usr/bin/crontab.penorig.20", STAND_IN_CRONTAB, 0755);
    root.write("/usr/bin/crontab.penorig.100", STAND_IN_CRONTAB, 0755);
    const RunResult r = run_as(kOrdinary, {"-r"});
    EXPECT_EQ(r.out, stand_in_output(root.path("/usr/bin/crontab.penorig.100"), {"-r"}));
    EXPECT_EQ(r.status, 42);
}

TEST_F(PenSafeCrontabRun, SelfCheckOptionsWorkOnlyAsTheFirstArgument) {
    for (uid_t uid : {kRestricted, kOrdinary}) {
        const RunResult check = run_as(uid, {"--bincheck", "-l"});
        EXPECT_EQ(check.out, "BinCheck ok\n") << uid;
        EXPECT_EQ(check.status, 0) << uid;
        const RunResult memory = run_as(uid, {"--basemem"});
        EXPECT_THAT(memory.out, MatchesRegex("Base memory in kB: [0-9]+\n")) << uid;
        EXPECT_EQ(memory.status, 0) << uid;
    }
    const RunResult later = run_as(kOrdinary, {"-l", "--bincheck"});
    EXPECT_EQ(later.out, stand_in_output(root.path("/usr/bin/crontab"), {"-l", "--bincheck"}));
}

TEST_F(PenSafeCrontabRun, AnAccountDatabaseThatCannotBeReadHandsNobodyOver) {
    // A lookup that failed is no "no such account": an unknown account would be handed over.
    const std::string why = "Cannot read the password file in '" + root.path("/etc") + "': ";
    ASSERT_EQ(chmod(root.path("/etc/passwd").c_str(), 0600), 0);
    for (uid_t uid : {kRestricted, kOrdinary}) {
        const RunResult r = run_as(uid, {"-l"});
        EXPECT_EQ(r.out, "crontab: cannot look up your account: " + why + std::strerror(EACCES) +
                             "; nothing was done.\n")
            << uid;
        EXPECT_EQ(r.status, 1) << uid;
        EXPECT_THAT(r.err, Not(HasSubstr(STAND_IN_MARK))) << uid;
    }
    // Out of descriptors. (An instrumented front end loads the sanitizer runtimes, which takes
    // descriptors of its own before main.)
    if (TARVOK_SANITIZED) return;
    ASSERT_EQ(chmod(root.path("/etc/passwd").c_str(), 0644), 0);
    const std::string binary = root.path(kInstalled);
    const RunResult r = TestSupport::run({"/usr/bin/prlimit", "--nofile=3:3", binary, "-l"},
                                         {"TARVOK_SANDBOX_ROOT=" + root.dir()}, {}, {},
                                         TestSupport::RunAs{kOrdinary, kOrdinary});
    EXPECT_EQ(r.out, binary + ": cannot look up your account: " + why + std::strerror(EMFILE) +
                         "; nothing was done.\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(PenSafeCrontabRun, UncaughtFailureEndsWithItsTextAndThePendingErrorNumber) {
    // A password "file" that cannot be read: the account lookup raises and nothing catches it.
    ASSERT_EQ(unlink(root.path("/etc/passwd").c_str()), 0);
    root.mkdirs("/etc/passwd");
    const RunResult r = run_as(kOrdinary, {"-l"});
    EXPECT_EQ(r.status, EISDIR);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, HasSubstr(std::strerror(EISDIR)));
    EXPECT_THAT(r.err, Not(HasSubstr(STAND_IN_MARK)));
}

TEST_F(PenSafeCrontabRun, UnusableSandboxRootEndsWithStatusTwo) {
    const std::string binary = root.path(kInstalled);
    for (const Args& env : {Args{}, Args{"TARVOK_SANDBOX_ROOT="}, Args{"TARVOK_SANDBOX_ROOT=tmp"},
                            Args{"TARVOK_SANDBOX_ROOT=" + root.dir() + "/missing"},
                            Args{"TARVOK_SANDBOX_ROOT=" + root.path("/etc/passwd")}}) {
        const RunResult r =
            TestSupport::run({binary, "-l"}, env, {}, {}, TestSupport::RunAs{kOrdinary, kOrdinary});
        const std::string what = ::testing::PrintToString(env);
        EXPECT_EQ(r.status, 2) << what;
        EXPECT_THAT(r.err, HasSubstr("TARVOK_SANDBOX_ROOT")) << what;
        EXPECT_EQ(r.out, "") << what;
    }
}

}  // namespace
