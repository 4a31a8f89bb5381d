#include "Tarvok/BinCheck.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>

#include "Tarvok/Process.hpp"

namespace {

using namespace Tarvok::BinCheck;
using ::testing::MatchesRegex;

// Runs `body`, which must end the run; returns its exit status and what it printed.
std::pair<int, std::string> exit_of(void (*body)()) {
    ::testing::internal::CaptureStdout();
    int status = -1;
    try {
        body();
    } catch (const Tarvok::Process::ExitRequest& request) {
        status = request.status;
    }
    std::fflush(stdout);
    return {status, ::testing::internal::GetCapturedStdout()};
}

TEST(BinCheckLibcVersion, OnlyAnOlderOrUnreadableLoadedLibraryIsAMismatch) {
    EXPECT_FALSE(libc_older_than("2.36", 2, 36));
    EXPECT_FALSE(libc_older_than("2.37", 2, 36));
    EXPECT_FALSE(libc_older_than("2.100", 2, 36));
    EXPECT_FALSE(libc_older_than("3.0", 2, 36));
    EXPECT_FALSE(libc_older_than("2.36.9000", 2, 36));
    EXPECT_TRUE(libc_older_than("2.35", 2, 36));
    EXPECT_TRUE(libc_older_than("2.4", 2, 36));
    EXPECT_TRUE(libc_older_than("1.99", 2, 36));
    for (const char* garbage : {"", "2", "2.", "two.36", ".36", "2,36"}) {
        EXPECT_TRUE(libc_older_than(garbage, 2, 36)) << garbage;
    }
}

TEST(BinCheckLibcVersion, ThisBuildRunsOnItsOwnLibrary) {
    EXPECT_THAT(built_libc_version(), MatchesRegex("[0-9]+\\.[0-9]+"));
    const auto [status, out] = exit_of(bincheck);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "BinCheck ok\n");
}

TEST(BinCheckMemory, ReportsTheFirstNumberOfEveryMarkedLine) {
    EXPECT_EQ(memory_report("Name:\tx\nVmRSS:\t    1234 kB\nVmHWM:\t 99 kB\nVmRSS:\n"
                            "RssFile VmRSS: 5 and 6"),
              "Base memory in kB: 1234\nBase memory in kB: 5\n");
    EXPECT_EQ(memory_report(""), "");
}

TEST(BinCheckMemory, ReportsThisProcessAndExitsZero) {
    const auto [status, out] = exit_of(basemem);
    EXPECT_EQ(status, 0);
    EXPECT_THAT(out, MatchesRegex("Base memory in kB: [0-9]+\n"));
}

TEST(BinCheckProcess, OtherFirstArgumentsGoOn) {
    for (std::string_view other : {"", "-l", "--bincheck=1", "--BINCHECK", "--basemem "}) {
        EXPECT_NO_THROW(process(other)) << other;
    }
    EXPECT_NO_THROW(process(std::nullopt));
    EXPECT_EQ(exit_of([] { process("--bincheck"); }).first, 0);
    EXPECT_EQ(exit_of([] { process("--basemem"); }).first, 0);
}

}  // namespace
