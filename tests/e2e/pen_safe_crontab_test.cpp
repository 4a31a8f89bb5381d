// Runs the sandbox build of pen_safe_crontab as different accounts against a sandbox root with
// its own password file and a stand-in system crontab.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/SandboxRoot.hpp"

namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using TestSupport::RunResult;
using Args = std::vector<std::string>;

constexpr uid_t kRestricted = 4001;
constexpr uid_t kOrdinary = 4002;
constexpr uid_t kNologin = 4003;
constexpr uid_t kDeepPenshell = 4004;
constexpr uid_t kUnknown = 4999;

constexpr std::string_view kStandInMark = "stand-in crontab ran";
constexpr std::string_view kInstalled = "/usr/local/tarvok/bin/pen_safe_crontab";

// Prints the mark, then the path it was started as and each argument on a line of its own.
constexpr std::string_view kStandIn =
    "#!/bin/sh\n"
    "echo 'stand-in crontab ran'\n"
    "printf '%s\\n' \"$0\" \"$@\"\n"
    "exit 42\n";

class PenSafeCrontabRun : public ::testing::Test {
  protected:
    void SetUp() override {
        root.write("/etc/passwd",
                   "root:x:0:0:root:/root:/bin/bash\n"
                   "jail:x:4001:4001::/home/jail:/usr/local/tarvok/bin/noshell\n"
                   "plain:x:4002:4002::/home/plain:/bin/bash\n"
                   "locked:x:4003:4003::/nonexistent:/usr/sbin/nologin\n"
                   "vendor:x:4004:4004::/home/vendor:/opt/vendor/penshell/bin/sh\n");
        root.write("/etc/shadow",
                   "root:*:19000:0:99999:7:::\njail:!:19000::::::\nplain:!:19000::::::\n"
                   "locked:!:19000::::::\nvendor:!:19000::::::\n",
                   0640);
        root.write("/usr/bin/crontab", kStandIn, 0755);
        // The front end is run from where it is installed, inside the root, so that every
        // account can start it wherever the build directory lies.
        install(TestSupport::built("sandbox/bin/pen_safe_crontab"), kInstalled);
    }

    void install(const std::string& from, std::string_view to) const {
        root.write(to, TestSupport::read_file(from), 0755);
    }

    RunResult run_as(uid_t uid, const Args& args, std::vector<std::string> extra_env = {}) const {
        Args argv{root.path(kInstalled)};
        argv.insert(argv.end(), args.begin(), args.end());
        extra_env.push_back("TARVOK_SANDBOX_ROOT=" + root.dir());
        extra_env.push_back("PATH=/usr/bin:/bin");
        return TestSupport::run(argv, extra_env, {}, "crontab", TestSupport::RunAs{uid, uid});
    }

    static std::string lines(const Args& items) {
        std::string out;
        for (const auto& item : items) out += item + "\n";
        return out;
    }

    TestSupport::SandboxRoot root;
};

TEST_F(PenSafeCrontabRun, UnrestrictedAccountsAreHandedOverWithEveryArgumentUnchanged) {
    const Args args{"-l", "with space", "", "--", "-x", "-e", "--bincheck", "*/5 * * * *"};
    // The front end has no use for an encrypted password: not even root's lookup reads the
    // shadow file (whose absence would be warned about).
    ASSERT_EQ(unlink(root.path("/etc/shadow").c_str()), 0);
    for (uid_t uid : {uid_t{0}, kOrdinary, kNologin, kUnknown}) {
        const RunResult r = run_as(uid, args);
        Args expected{std::string(kStandInMark), root.path("/usr/bin/crontab")};
        expected.insert(expected.end(), args.begin(), args.end());
        EXPECT_EQ(r.out, lines(expected)) << uid;
        EXPECT_EQ(r.err, "") << uid;
        EXPECT_EQ(r.status, 42) << uid;
    }
    const RunResult bare = run_as(kOrdinary, {});
    EXPECT_EQ(bare.out, lines({std::string(kStandInMark), root.path("/usr/bin/crontab")}));
    EXPECT_EQ(bare.status, 42);
}

TEST_F(PenSafeCrontabRun, HandedOverProgramIsStartedUnderItsOwnPath) {
    install("/proc/self/exe", "/usr/lib/stand-in/argv-echo");
    ASSERT_EQ(unlink(root.path("/usr/bin/crontab").c_str()), 0);
    ASSERT_EQ(symlink(root.path("/usr/lib/stand-in/argv-echo").c_str(),
                      root.path("/usr/bin/crontab").c_str()),
              0);
    const RunResult r = run_as(kOrdinary, {"-l", "x y"}, {"TARVOK_TEST_ARGV_ECHO=7"});
    EXPECT_EQ(r.out, lines({root.path("/usr/bin/crontab"), "-l", "x y"}));
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
            EXPECT_THAT(r.out, Not(HasSubstr(kStandInMark))) << what;
            // No daemon listens here: the fetch ends the run with its one-line message,
            // whatever was asked for.
            EXPECT_THAT(r.out, MatchesRegex("[^\n]+\n")) << what;
            EXPECT_THAT(r.err, Not(HasSubstr(kStandInMark))) << what;
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
        EXPECT_THAT(r.err, Not(HasSubstr(kStandInMark))) << what;
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
    root.write("/usr/bin/crontab.penorig.20", kStandIn, 0755);
    root.write("/usr/bin/crontab.penorig.100", kStandIn, 0755);
    const RunResult r = run_as(kOrdinary, {"-r"});
    EXPECT_EQ(r.out,
              lines({std::string(kStandInMark), root.path("/usr/bin/crontab.penorig.100"), "-r"}));
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
    EXPECT_EQ(later.out, lines({std::string(kStandInMark), root.path("/usr/bin/crontab"), "-l",
                                "--bincheck"}));
}

TEST_F(PenSafeCrontabRun, UncaughtFailureEndsWithItsTextAndThePendingErrorNumber) {
    // A password "file" that cannot be read: the account lookup raises and nothing catches it.
    ASSERT_EQ(unlink(root.path("/etc/passwd").c_str()), 0);
    root.mkdirs("/etc/passwd");
    const RunResult r = run_as(kOrdinary, {"-l"});
    EXPECT_EQ(r.status, EISDIR);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, HasSubstr(std::strerror(EISDIR)));
    EXPECT_THAT(r.err, Not(HasSubstr(kStandInMark)));
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
