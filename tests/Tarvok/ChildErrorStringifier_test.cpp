#include "Tarvok/ChildErrorStringifier.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

using Tarvok::ChildErrorStringifier;

namespace {

int wait_status_of_child(void (*body)()) {
    const pid_t child = fork();
    if (child == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return status;
}

}  // namespace

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
    const int exited = wait_status_of_child([] { _exit(42); });
    EXPECT_EQ(ChildErrorStringifier(exited).error_code(), 42);
    EXPECT_EQ(ChildErrorStringifier(exited).signal_code(), 0);

    const int killed = wait_status_of_child([] { kill(getpid(), SIGTERM); });
    EXPECT_EQ(ChildErrorStringifier(killed).signal_code(), SIGTERM);
    EXPECT_EQ(ChildErrorStringifier(killed).terse_autopsy(), "killed by signal SIGTERM (15)");
}
