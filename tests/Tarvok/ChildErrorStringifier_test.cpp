#include "Tarvok/ChildErrorStringifier.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

#include "support/ChildProcess.hpp"

using Tarvok::ChildErrorStringifier;

TEST(ChildErrorStringifier, DescribesExitCodesSignalsAndCoreDumps) {
    EXPECT_EQ(ChildErrorStringifier(0).terse_autopsy(), "exit code 0");
    EXPECT_EQ(ChildErrorStringifier(3 << 8).terse_autopsy(), "exit code 3");
    EXPECT_EQ(ChildErrorStringifier(255 << 8).terse_autopsy(), "exit code 255");
    EXPECT_EQ(ChildErrorStringifier(SIGKILL).terse_autopsy(), "killed by signal SIGKILL (9)");
    EXPECT_EQ(ChildErrorStringifier(SIGSEGV | 0x80).terse_autopsy(),
              "killed by signal SIGSEGV (11), core dumped");
    // A number that names no signal still gives a description.
    EXPECT_EQ(ChildErrorStringifier(0x7e).terse_autopsy(), "killed by signal 126");
}

TEST(ChildErrorStringifier, ReadsRealWaitStatuses) {
    const int exited = TestSupport::run_forked([] { return 42; }).wait_status;
    EXPECT_EQ(ChildErrorStringifier(exited).error_code(), 42);
    EXPECT_EQ(ChildErrorStringifier(exited).signal_code(), 0);

    const int killed = TestSupport::run_forked([] { return kill(getpid(), SIGTERM); }).wait_status;
    EXPECT_EQ(ChildErrorStringifier(killed).signal_code(), SIGTERM);
    EXPECT_EQ(ChildErrorStringifier(killed).terse_autopsy(), "killed by signal SIGTERM (15)");
}
