// The install request's status, which the edit loop decides on: only an answer saying the text
// was installed counts as success. (The messages are pinned by the end-to-end runs.)
#include <gtest/gtest.h>

#include <memory>

#include "Operations.hpp"
#include "Tarvok/Debug.hpp"
#include "support/FakeDaemon.hpp"
#include "support/SandboxRoot.hpp"
#include "support/StderrCapture.hpp"

namespace {

using namespace PenSafeCrontab;
using TestSupport::FakeDaemon;

class InstallNewCrontab : public ::testing::Test {
  protected:
    void SetUp() override { program().invocation_name = "crontab"; }
    void TearDown() override { Tarvok::Debug::reset(); }

    TestSupport::SandboxRoot root;
};

TEST_F(InstallNewCrontab, SucceedsOnlyWhenTheDaemonSaysItInstalledTheText) {
    const std::pair<std::string, bool> answers[] = {
        {R"({"status":1,"data":{"status":1,"statusmsg":""}})", true},
        {R"({"status":1,"data":{"status":true}})", true},
        {R"({"status":1,"data":{"status":0,"statusmsg":"line 1: bad"}})", false},
        {R"({"status":1,"data":{"status":"0","statusmsg":"x"}})", false},
        {R"({"status":1,"data":{"statusmsg":"x"}})", false},
        {R"({"status":0,"data":{"status":1}})", false},
        {R"({"status":1,"data":"installed"})", false},
        {R"({"status":1,"data":[{"status":1}]})", false},
        {R"({"status":1,"data":1})", false},
        {"null", false},
    };
    TestSupport::StderrCapture quiet;  // the client's warnings about failed answers
    for (const auto& [answer, installed] : answers) {
        const auto daemon = FakeDaemon::answering(answer);
        const StatusText result = _install_new_crontab("@daily x\n");
        EXPECT_EQ(result.status, installed) << answer;
        EXPECT_FALSE(result.text.empty()) << answer;
        EXPECT_EQ(result.text.find('\n'), std::string::npos) << answer;
        ASSERT_EQ(daemon->requests().size(), 1u);
    }
}

TEST_F(InstallNewCrontab, UnreachableDaemonIsAFailureNotAnException) {
    TestSupport::StderrCapture quiet;
    const StatusText result = _install_new_crontab("");
    EXPECT_FALSE(result.status);
    EXPECT_NE(result.text.find("tvwrapd.sock"), std::string::npos) << result.text;
}

}  // namespace
