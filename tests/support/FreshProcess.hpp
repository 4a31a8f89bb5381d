// Runs the current test again, alone, in a new process of the test binary (a fresh exec, not a
// fork), for behaviour that only shows in a whole run: "a run that raises nothing never builds
// the exception implementation". The test body then runs twice: in the parent it starts the
// child and checks that it passed; in the child it runs for real.
//
//     TEST(Logging, ARunThatLogsNothingCreatesNoLogger) {
//         RUN_IN_FRESH_PROCESS();
//         EXPECT_EQ(Tarvok::Logger::instances_created(), 0);
//     }
#pragma once

#include <gtest/gtest.h>

#include "support/SandboxRoot.hpp"

namespace TestSupport {

/// True in the process that run_current_test_in_fresh_process() started for the current test.
bool in_fresh_process();

/// Starts the test binary again with only the current test selected.
RunResult run_current_test_in_fresh_process();

}  // namespace TestSupport

#define RUN_IN_FRESH_PROCESS()                                                                  \
    do {                                                                                        \
        if (!TestSupport::in_fresh_process()) {                                                 \
            const auto fresh_ = TestSupport::run_current_test_in_fresh_process();               \
            EXPECT_EQ(fresh_.status, 0) << fresh_.out << fresh_.err;                            \
            EXPECT_NE(fresh_.out.find("[  PASSED  ] 1 test"), std::string::npos) << fresh_.out; \
            return;                                                                             \
        }                                                                                       \
    } while (false)
