#include "Tarvok/Destruct.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>

#include "Tarvok/Process.hpp"

namespace {

int g_report_fd = -1;

void report(const char* where) {
    const std::string line =
        std::string(where) + "=" + std::to_string(Tarvok::Destruct::in_global_destruction()) +
        std::to_string(Tarvok::Destruct::in_dangerous_global_destruction()) + " ";
    (void)!write(g_report_fd, line.data(), line.size());
}

struct AsksWhenDestroyed {
    ~AsksWhenDestroyed() { report("static"); }
};

AsksWhenDestroyed& static_asker() {
    static AsksWhenDestroyed asker;
    return asker;
}

struct Ended {
    int status = -1;
    std::string answers;
};

// A forked child plays a whole program: a static object that asks in its destructor, an exit
// handler that asks, a question during the run, then `finish` ends it.
Ended run_program(bool harness_loaded, const std::function<void()>& finish) {
    int answers[2];
    if (pipe(answers) != 0) throw std::runtime_error("pipe");
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(answers[0]);
        g_report_fd = answers[1];
        Tarvok::Destruct::set_test_harness_loaded(harness_loaded);
        static_asker();
        std::atexit([] { report("atexit"); });
        report("run");
        finish();
        _exit(99);
    }
    close(answers[1]);
    Ended ended;
    char buffer[256];
    ssize_t n;
    while ((n = read(answers[0], buffer, sizeof buffer)) > 0) ended.answers.append(buffer, n);
    close(answers[0]);
    int wait_status = 0;
    waitpid(pid, &wait_status, 0);
    ended.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    return ended;
}

}  // namespace

TEST(Destruct, DuringTheRunNothingIsTeardown) {
    EXPECT_FALSE(Tarvok::Destruct::in_global_destruction());
    EXPECT_FALSE(Tarvok::Destruct::in_dangerous_global_destruction());
    EXPECT_EQ(Tarvok::Destruct::global_phase(), "RUN");
}

TEST(Destruct, ObjectsAskingAfterTheRunEndedSeeTheTeardown) {
    // main returning its status: exit() with it.
    Ended ended = run_program(false, [] { std::exit(Tarvok::Process::run([] { return 3; })); });
    EXPECT_EQ(ended.answers, "run=00 atexit=11 static=11 ");
    EXPECT_EQ(ended.status, 3);

    // An exit request unwinds to run(), then main returns.
    ended = run_program(
        false, [] { std::exit(Tarvok::Process::run([]() -> int { Tarvok::Process::exit(4); })); });
    EXPECT_EQ(ended.answers, "run=00 atexit=11 static=11 ");
    EXPECT_EQ(ended.status, 4);

    // exit() called directly from inside the run.
    ended = run_program(false, [] { Tarvok::Process::run([]() -> int { std::exit(5); }); });
    EXPECT_EQ(ended.answers, "run=00 atexit=11 static=11 ");
    EXPECT_EQ(ended.status, 5);
}

TEST(Destruct, UnderATestHarnessTheTeardownIsNeverDangerous) {
    const Ended ended = run_program(true, [] { std::exit(0); });
    EXPECT_EQ(ended.answers, "run=00 atexit=10 static=10 ");
}
