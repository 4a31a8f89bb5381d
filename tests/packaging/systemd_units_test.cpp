// The daemon's systemd units pass systemd's own checks, with the manual page their
// Documentation= line names.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/SandboxRoot.hpp"

namespace {

using TestSupport::RunResult;

constexpr const char* kAnalyze = "/usr/bin/systemd-analyze";

TEST(SystemdUnits, PassSystemdAnalyzeVerify) {
    ASSERT_EQ(access(kAnalyze, X_OK), 0) << kAnalyze << " is not installed (scripts/deps.sh)";
    TestSupport::SandboxRoot dir;
    // The installed daemon is not on this machine: the service starts a stand-in instead.
    const std::string daemon = dir.path("/sbin/tvwrapd");
    dir.write("/sbin/tvwrapd", "#!/bin/sh\n", 0755);
    std::string service =
        TestSupport::read_file(TARVOK_SOURCE_DIR "/packaging/systemd/tvwrapd.service.in");
    const std::string placeholder = "@TARVOK_DAEMON_INSTALLED@";
    ASSERT_NE(service.find(placeholder), std::string::npos);
    service.replace(service.find(placeholder), placeholder.size(), daemon);
    dir.write("/units/tvwrapd.service", service);
    dir.write("/units/tvwrapd.socket",
              TestSupport::read_file(TARVOK_SOURCE_DIR "/packaging/systemd/tvwrapd.socket"));
    dir.write("/man/man8/tvwrapd.8",
              TestSupport::read_file(TARVOK_SOURCE_DIR "/docs/man/tvwrapd.8"));
    dir.write("/man/man1/pen_safe_crontab.1",
              TestSupport::read_file(TARVOK_SOURCE_DIR "/docs/man/pen_safe_crontab.1"));

    const RunResult r = TestSupport::run(
        {kAnalyze, "verify", dir.path("/units/tvwrapd.socket"), dir.path("/units/tvwrapd.service")},
        {"PATH=/usr/bin:/bin", "MANPATH=" + dir.path("/man"), "SYSTEMD_LOG_COLOR=0"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
}

}  // namespace
