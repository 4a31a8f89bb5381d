#include "Tarvok/Destruct.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "Tarvok/Process.hpp"
#include "support/ChildProcess.hpp"

namespace {

void report(const char* where) {
    const std::string line =
        std::string(where) + "=" + std::to_string(Tarvok::Destruct::in_global_destruction()) +
        std::to_string(Tarvok::Destruct::in_dangerous_global_destruction()) + " ";
    (void)!write(STDOUT_FILENO, line.data(), line.size());
}

struct AsksWhenDestroyed {
    ~AsksWhenDestroyed() { report("static"); }
};

AsksWhenDestroyed& static_asker() {
    static AsksWhenDestroyed asker;
    return asker;
}

// A forked child plays a whole program: a static object that asks in its destructor, an exit
// handler that asks, a question during the run, then `finish` ends it. The answers come out on
// its standard output.
TestSupport::RunResult run_program(bool harness_loaded, const std::function<void()>& finish) {
    return TestSupport::run_forked([&] {
        Tarvok::Destruct::set_test_harness_loaded(harness_loaded);
        static_asker();
        std::atexit([] { report("atexit"); });
        report("run");
        finish();
        return 99;
    });
}

}  // namespace

TEST(Destruct, DuringTheRunNothingIsTeardown) {
    EXPECT_FALSE(Tarvok::Destruct::in_global_destruction());
    EXPECT_FALSE(Tarvok::Destruct::in_dangerous_global_destruction());
    EXPECT_EQ(Tarvok::Destruct::global_phase(), "RUN");
}

TEST(Destruct, ObjectsAskingAfterTheRunEndedSeeTheTeardown) {
    // main returning its status: exit() with it.
    TestSupport::RunResult ended =
        run_program(false, [] { std::exit(Tarvok::Process::run([] { return 3; })); });
    EXPECT_EQ(ended.out, "run=00 atexit=11 static=11 ");
    EXPECT_EQ(ended.status, 3);

    // An exit request unwinds to run(), then main returns.
    ended = run_program(
        false, [] { std::exit(Tarvok::Process::run([]() -> int { Tarvok::Process::exit(4); })); });
    EXPECT_EQ(ended.out, "run=00 atexit=11 static=11 ");
    EXPECT_EQ(ended.status, 4);

    // exit() called directly from inside the run.
    ended = run_program(false, [] { Tarvok::Process::run([]() -> int { std::exit(5); }); });
    EXPECT_EQ(ended.out, "run=00 atexit=11 static=11 ");
    EXPECT_EQ(ended.status, 5);
}

TEST(Destruct, UnderATestHarnessTheTeardownIsNeverDangerous) {
    const TestSupport::RunResult ended = run_program(true, [] { std::exit(0); });
    EXPECT_EQ(ended.out, "run=00 atexit=10 static=10 ");
}
