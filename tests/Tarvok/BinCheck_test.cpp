#include "Tarvok/BinCheck.hpp"

#include <gtest/gtest.h>

namespace {

using namespace Tarvok::BinCheck;

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

TEST(BinCheckMemory, ReportsTheFirstNumberOfEveryMarkedLine) {
    EXPECT_EQ(memory_report("Name:\tx\nVmRSS:\t    1234 kB\nVmHWM:\t 99 kB\nVmRSS:\n"
                            "RssFile VmRSS: 5 and 6"),
              "Base memory in kB: 1234\nBase memory in kB: 5\n");
    EXPECT_EQ(memory_report(""), "");
}

TEST(BinCheckProcess, OtherFirstArgumentsGoOn) {
    for (std::string_view other : {"", "-l", "--bincheck=1", "--BINCHECK", "--basemem "}) {
        EXPECT_NO_THROW(process(other)) << other;
    }
    EXPECT_NO_THROW(process(std::nullopt));
}

}  // namespace
