#include "Service.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "daemon/support/DaemonClient.hpp"
#include "support/FailingSync.hpp"
#include "support/SandboxRoot.hpp"
#include "support/StderrCapture.hpp"

namespace Service = Tvwrapd::Service;
using testing::HasSubstr;
using testing::Not;

namespace {

const std::string INSTALLED = R"({"status":1,"statusmsg":"OK","data":{"status":1,"statusmsg":""}})";

/// What the server hands to the service: the request without its end marker.
std::string unframed(std::string request) {
    request.resize(request.size() - 4);
    return request;
}

class ServiceTest : public testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "installing crontabs for other accounts needs root";
        // Two password lines share one name: the crontab file of that name is the first one's.
        root_.write("/etc/passwd",
                    "root:x:0:0:root:/root:/bin/bash\n"
                    "jail:x:4001:4001::/home/jail:/bin/penshell\n"
                    "alice:x:1001:1001::/home/alice:/bin/penshell\n"
                    "jail:x:4010:4010::/home/jail2:/bin/penshell\n");
        root_.write("/etc/group", "crontab:x:107:\n");
    }
    TestSupport::SandboxRoot root_;
};

}  // namespace

TEST_F(ServiceTest, NameSharedByTwoUidsServesNeitherOneAsTheOther) {
    const std::string fetch = unframed(DaemonTest::request("fetch"));
    EXPECT_EQ(Service::answer(4001, unframed(DaemonTest::save_request("@daily first\n"))),
              INSTALLED);
    for (const std::string& request :
         {fetch, unframed(DaemonTest::save_request("@daily second\n"))}) {
        const std::string reply = Service::answer(4010, request);
        EXPECT_THAT(reply, HasSubstr("'jail' of uid 4010 belongs to another uid too")) << request;
        EXPECT_THAT(reply, Not(HasSubstr("first"))) << request;
    }
    EXPECT_EQ(TestSupport::read_file(root_.path("/var/spool/cron/crontabs/jail")),
              "@daily first\n");
    EXPECT_THAT(Service::answer(4001, fetch), HasSubstr(R"("crontab":"@daily first\n")"));
}

TEST_F(ServiceTest, FetchNeverReadsAFileHardLinkedInTheAccountsPlace) {
    root_.write("/etc/shadow", "root:secret-hash:1::::::\n", 0600);
    root_.mkdirs("/var/spool/cron/crontabs");
    ASSERT_EQ(link(root_.path("/etc/shadow").c_str(),
                   root_.path("/var/spool/cron/crontabs/alice").c_str()),
              0);
    const std::string reply = Service::answer(1001, unframed(DaemonTest::request("fetch")));
    EXPECT_THAT(reply, HasSubstr(R"("status":0,"error":1)"));
    EXPECT_THAT(reply, Not(HasSubstr("secret-hash")));
}

// The account is told in plain words what failed inside the daemon and what stands now; the
// paths and the system's reasons are for the administrator, in the log.
TEST_F(ServiceTest, FailuresInsideTheDaemonAreAnsweredPlainlyAndLoggedInFull) {
    const std::string fetch = unframed(DaemonTest::request("fetch"));
    const std::string save = unframed(DaemonTest::save_request("@daily new\n"));
    const std::string spool = root_.path("/var/spool/cron/crontabs");
    struct Case {
        const char* what;
        std::function<void()> harm;
        std::string request;
        std::string answer;
        std::string logged;
    };
    const Case cases[] = {
        {"a file of another owner in the account's place",
         [&] { ASSERT_EQ(chown((spool + "/alice").c_str(), 4001, 4001), 0); }, fetch,
         "Your crontab could not be read; ask your administrator",
         "Refusing '" + spool + "/alice': it belongs to uid 4001"},
        {"a spool directory that is a link",
         [&] {
             TestSupport::remove_tree(spool);
             ASSERT_EQ(symlink(root_.dir().c_str(), spool.c_str()), 0);
         },
         save, "Your crontab could not be stored and is unchanged; ask your administrator",
         "Cannot open directory '" + spool + "': Not a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestSupport::remove_tree(spool);
        root_.write("/var/spool/cron/crontabs/alice", "@daily old\n", 0600);
        ASSERT_EQ(chown((spool + "/alice").c_str(), 1001, 1001), 0);
        c.harm();
        TestSupport::StderrCapture log;
        EXPECT_EQ(Service::answer(1001, c.request),
                  R"({"status":0,"error":1,"statusmsg":")" + c.answer + R"(","data":null})");
        EXPECT_THAT(log.text(), HasSubstr(c.logged));
    }

    // Installed, but the spool could not be flushed: a failure, which says the new text stands.
    TestSupport::remove_tree(spool);
    TestSupport::FailingSync broken(spool);
    TestSupport::StderrCapture log;
    EXPECT_EQ(Service::answer(1001, save),
              R"({"status":0,"error":1,"statusmsg":"Not flushed to disk: the new crontab is in )"
              R"(place, but a crash of the system may undo the change; ask your administrator",)"
              R"("data":null})");
    EXPECT_EQ(TestSupport::read_file(spool + "/alice"), "@daily new\n");
    EXPECT_THAT(log.text(),
                HasSubstr("Cannot flush directory '" + spool + "': Input/output error"));
}
