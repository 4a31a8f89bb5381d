// A crontab held against the host's rules: the reasons a customer reads, and the administrator's
// --check and --audit as scripts use them.
#include "PolicyCheck.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include "Service.hpp"
#include "daemon/support/DaemonClient.hpp"
#include "support/SandboxRoot.hpp"
#include "support/StderrCapture.hpp"
#include "support/TruthTable.hpp"

namespace PolicyCheck = Tvwrapd::PolicyCheck;

namespace {

// "LINE: reason" each, line 0 for the whole text.
std::string problems(const std::string& text) {
    Tvwrapd::Policy::Rules rules;
    rules.min_interval = 15;
    rules.max_jobs = 3;
    rules.reboot = false;
    std::string lines;
    for (const auto& p : PolicyCheck::problems(text, rules)) {
        lines += std::to_string(p.line) + ": " + p.reason + "\n";
    }
    return lines;
}

const std::string TOO_OFTEN = "; this server allows each job at most once every 15 minutes\n";

}  // namespace

TEST(PolicyCheckProblems, SayTheRuleInTheCustomersTerms) {
    TestSupport::expect_table<std::string, std::string>(
        {
            {"", ""},
            {"MAILTO=me\n*/15 * * * * ok\n@reboot\n", "3: missing command\n"},
            {"# comment\nA=b\n*/5 * * * * x\n", "3: runs every 5 minutes" + TOO_OFTEN},
            {"0,50 * * * * x\n", "1: runs every 10 minutes" + TOO_OFTEN},
            {"0,14 * * * * x\n@hourly x\n", "1: runs every 14 minutes" + TOO_OFTEN},
            {"@reboot x\n", "1: @reboot jobs are not allowed on this server\n"},
            // Jobs that never run, and lines cron refuses, are not counted against the rules.
            {"* * 31 2 * never\n61 * * * * x\n", "2: bad minute '61' (0-59)\n"},
            {"@daily a\n@daily b\n@daily c\n* * * * * d\n",
             "0: 4 jobs; this server allows at most 3 jobs\n4: runs every minute" + TOO_OFTEN},
        },
        problems);
    Tvwrapd::Policy::Rules none;
    none.max_jobs = 0;
    none.min_interval = 0;
    EXPECT_EQ(PolicyCheck::problems("@reboot x\n* * * * * y\n", none).at(0).reason,
              "2 jobs; this server allows no jobs");
    EXPECT_EQ(PolicyCheck::problems("@reboot x\n* * * * * y\n", none).size(), 1u);
}

// --check and --audit are a contract for scripts: their output lines and exit statuses.
class PolicyTools : public testing::Test {
  protected:
    void SetUp() override {
        const std::string me = std::to_string(geteuid());
        root_.write("/etc/passwd", "alice:x:" + me +
                                       ":500::/home/alice:/usr/local/tarvok/bin/penshell\n"
                                       "bob:x:" +
                                       me +
                                       ":600::/home/bob:/bin/noshell\n"
                                       "admin:x:" +
                                       me + ":0::/root:/bin/bash\n");
        root_.write("/etc/group", "web:x:500:\nfast:x:700:bob\n");
        root_.write("/etc/tvwrapd/policy.conf",
                    "min_interval = 1h\nreboot = no\n[group fast]\nmin_interval = 5m\n");
        root_.write("/tmp/trial.conf", "max_jobs = 1\n");
        root_.write("/tmp/broken.conf", "min_interval = soon\n");
        root_.write("/tmp/jobs", "0 * * * * hourly\n*/10 * * * * often\n");
    }
    TestSupport::RunResult tvwrapd(std::vector<std::string> args, std::string_view input = {}) {
        args.insert(args.begin(), TestSupport::built("sandbox/bin/tvwrapd"));
        return TestSupport::run(args, {"TARVOK_SANDBOX_ROOT=" + root_.dir()}, input);
    }
    TestSupport::SandboxRoot root_;
};

TEST_F(PolicyTools, CheckAnswersAsASaveWould) {
    const std::string jobs = root_.path("/tmp/jobs");
    const std::string often =
        ":2: runs every 10 minutes; this server allows each job at most "
        "once every hour\n";
    struct Row {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string out;
    };
    const std::vector<Row> rows = {
        {{"--check", jobs}, "", 1, jobs + often},
        {{"--check", "-"}, "0 * * * * x\n*/10 * * * * y\n", 1, "<stdin>" + often},
        {{"--check", "--user", "alice", jobs}, "", 1, jobs + often},
        {{"--check", "--user", "bob", jobs}, "", 0, ""},  // in group fast
        {{"--check", "--policy", root_.path("/tmp/trial.conf"), "-"},
         "@reboot a\n@daily b\n",
         1,
         "<stdin>: 2 jobs; this server allows at most 1 job\n"},
        {{"--check", "--user", "bob", "-"},
         "@reboot x\n* * * * *\n",
         1,
         "<stdin>:1: @reboot jobs are not allowed on this server\n<stdin>:2: missing command\n"},
        {{"--check", "-"}, "", 0, ""},
        // Usage and policy file errors.
        {{"--check", "--policy", root_.path("/tmp/broken.conf"), jobs}, "", 2, ""},
        {{"--check", "--policy", root_.path("/tmp/none.conf"), jobs}, "", 2, ""},
        {{"--check", "--user", "nobody-here", jobs}, "", 2, ""},
        {{"--check", root_.path("/tmp/missing")}, "", 2, ""},
        {{"--check"}, "", 2, ""},
        {{"--check", jobs, jobs}, "", 2, ""},
        {{"--check", "--user"}, "", 2, ""},
        {{"--check", "--force", jobs}, "", 2, ""},
        {{"--audit", "extra"}, "", 2, ""},
        {{"--audit", "--policy", root_.path("/tmp/broken.conf")}, "", 2, ""},
    };
    for (const Row& row : rows) {
        const auto r = tvwrapd(row.args, row.input);
        EXPECT_EQ(r.status, row.status) << testing::PrintToString(row.args) << r.err;
        EXPECT_EQ(r.out, row.out) << testing::PrintToString(row.args);
        if (row.status == 2) {
            EXPECT_NE(r.err, "") << testing::PrintToString(row.args);
        }
    }
    EXPECT_NE(tvwrapd({"--check", "--policy", root_.path("/tmp/broken.conf"), jobs})
                  .err.find("broken.conf:1: bad value 'soon' for min_interval"),
              std::string::npos);
    // No root needed: an account runs a copy it can reach, wherever the build directory lies.
    if (geteuid() == 0) {
        const std::string copy = "/usr/local/tarvok/sbin/tvwrapd";
        root_.write(copy, TestSupport::read_file(TestSupport::built("sandbox/bin/tvwrapd")), 0755);
        const auto r = TestSupport::run({root_.path(copy), "--check", "--user", "alice", jobs},
                                        {"TARVOK_SANDBOX_ROOT=" + root_.dir()}, {}, {},
                                        TestSupport::RunAs{4005, 4005});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.out, jobs + often);
    }
    // Without a policy file, cron's rules alone.
    unlink(root_.path("/etc/tvwrapd/policy.conf").c_str());
    EXPECT_EQ(tvwrapd({"--check", jobs}).status, 0);
}

// Before tightening a rule: who breaks it, and a restore that is not blocked by it but says so.
TEST_F(PolicyTools, AuditListsTheRestrictedAccountsThatBreakThePolicy) {
    const std::string spool = "/var/spool/cron/crontabs/";
    root_.write(spool + "alice", "@hourly a\n*/30 * * * * b\n", 0600);
    root_.write(spool + "bob", "*/5 * * * * b\n", 0600);
    root_.write(spool + "admin", "* * * * * not ours\n", 0600);  // Debian's crontab's account
    root_.write(spool + "ghost", "* * * * * no account\n", 0600);

    auto audit = tvwrapd({"--audit"});
    EXPECT_EQ(audit.status, 1) << audit.err;
    EXPECT_EQ(audit.out,
              "alice:2: runs every 30 minutes; this server allows each job at most once every "
              "hour\n");
    EXPECT_NE(audit.err.find("2 crontab(s) audited, 1 break the rules"), std::string::npos);

    audit = tvwrapd({"--audit", "--policy", root_.path("/tmp/trial.conf")});
    EXPECT_EQ(audit.status, 1);
    EXPECT_EQ(audit.out, "alice: 2 jobs; this server allows at most 1 job\n");

    root_.write(spool + "alice", "@hourly a\n", 0600);
    audit = tvwrapd({"--audit"});
    EXPECT_EQ(audit.status, 0) << audit.out;
    EXPECT_EQ(audit.out, "");
    EXPECT_EQ(TestSupport::read_file(root_.path(spool + "bob")), "*/5 * * * * b\n");

    root_.write("/var/spool/cron/tvwrapd-backup/alice", "*/2 * * * * old\n", 0600);
    const auto restored = tvwrapd({"--restore", "alice"});
    EXPECT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(restored.out,
              "tvwrapd: restored the crontab of 'alice' from its backup\n"
              "tvwrapd: note: the restored crontab breaks the policy: line 1: runs every 2 "
              "minutes; this server allows each job at most once every hour\n");
    EXPECT_EQ(TestSupport::read_file(root_.path(spool + "alice")), "*/2 * * * * old\n");
}

// The customer's side: a save refused while the installed policy says so, with the rule that
// applies to the account, as the file changes under the running daemon.
TEST(PolicySave, FollowsTheInstalledFileAndKeepsTheLastGoodVersion) {
    if (geteuid() != 0) GTEST_SKIP() << "installing crontabs for other accounts needs root";
    TestSupport::SandboxRoot root;
    root.write("/etc/passwd", "alice:x:1001:1001::/home/alice:/bin/penshell\n");
    root.write("/etc/group", "crontab:x:107:\npremium:x:900:alice\n");
    const std::string policy = "/etc/tvwrapd/policy.conf";
    const std::string installed =
        R"({"status":1,"statusmsg":"OK","data":{"status":1,"statusmsg":""}})";
    auto save = [](std::string_view text) {
        std::string request = DaemonTest::save_request(text);
        request.resize(request.size() - 4);  // the end marker, which the server takes off
        return Tvwrapd::Service::answer(1001, request);
    };
    auto refused = [](const std::string& why) {
        return R"({"status":1,"statusmsg":"OK","data":{"status":0,"statusmsg":")" + why + "\"}}";
    };
    EXPECT_EQ(save("*/5 * * * * x\n"), installed);  // no file: no rules

    root.write(policy, "min_interval = 15m\n");
    EXPECT_EQ(save("# mine\n\n*/5 * * * * y\n"),
              refused("line 3: runs every 5 minutes; this server allows each job at most once "
                      "every 15 minutes"));
    EXPECT_EQ(TestSupport::read_file(root.path("/var/spool/cron/crontabs/alice")),
              "*/5 * * * * x\n");
    // Cron's rules come first, wherever the lines lie.
    EXPECT_EQ(save("*/5 * * * * y\n61 * * * * z\n"), refused("line 2: bad minute '61' (0-59)"));

    root.write(policy, "min_interval = 15m\n[group premium]\nmin_interval = 5\n");
    EXPECT_EQ(save("*/5 * * * * z\n"), installed);
    {
        TestSupport::StderrCapture log;
        root.write(policy, "min_interval = 1d\n[group premium]\nmin_interval = 5 minutes\n");
        EXPECT_EQ(save("*/5 * * * * still premium\n"), installed);
        EXPECT_NE(log.text().find("policy.conf:3: bad value '5 minutes' for min_interval"),
                  std::string::npos)
            << log.text();
        EXPECT_NE(log.text().find("the last good version stays in force"), std::string::npos);
    }
    root.write(policy, "reboot = no\n");
    EXPECT_EQ(save("@reboot x\n"), refused("line 1: @reboot jobs are not allowed on this server"));
    unlink(root.path(policy).c_str());
    EXPECT_EQ(save("@reboot x\n"), installed);
}
