#include "Tarvok/Logger.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <sstream>
#include <string_view>
#include <vector>

#include "Tarvok/Error.hpp"
#include "support/StderrCapture.hpp"

using Tarvok::Logger;
using TestSupport::StderrCapture;

namespace {

// `pattern` with every '#' standing for one decimal digit.
bool matches(std::string_view text, std::string_view pattern) {
    if (text.size() != pattern.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool ok = pattern[i] == '#' ? std::isdigit(static_cast<unsigned char>(text[i])) != 0
                                          : text[i] == pattern[i];
        if (!ok) return false;
    }
    return true;
}

}  // namespace

TEST(Logger, WritesOneLinePerMessageWithTimeLevelAndProgram) {
    Logger logger;
    StderrCapture capture;
    EXPECT_TRUE(logger.warn("Could not create '/tmp/x'\n"));
    EXPECT_TRUE(
        matches(capture.text(),
                "[####-##-## ##:##:## +0000] warn [tarvok_tests] Could not create '/tmp/x'\n"))
        << capture.text();
}

TEST(Logger, EachOperationWritesAtItsOwnLevel) {
    Logger logger;
    StderrCapture capture;
    logger.info("m");
    logger.error("m");
    logger.panic("m");
    logger.invalid("m");
    logger.deprecated("m");
    logger.debug("m");
    const std::string text = capture.text();
    size_t from = 0;
    for (const char* level : {"info", "error", "panic", "invalid", "deprecated", "debug"}) {
        const size_t at = text.find(std::string("] ") + level + " [tarvok_tests] m\n", from);
        ASSERT_NE(at, std::string::npos) << level << " in " << text;
        from = at + 1;
    }
}

TEST(Logger, DieLogsThenRaisesItsMessage) {
    Logger logger;
    StderrCapture capture;
    bool returned = false;
    try {
        logger.die("cannot go on");
        returned = true;
    } catch (const Tarvok::Error& e) {
        EXPECT_STREQ(e.what(), "cannot go on");
    }
    EXPECT_FALSE(returned);
    EXPECT_NE(capture.text().find("] die [tarvok_tests] cannot go on\n"), std::string::npos);
}

TEST(Logger, WarnCarriesACallTraceOnlyWhileBacktracesAreEnabled) {
    Logger logger;
    StderrCapture capture;
    Logger::ENABLE_BACKTRACE = 1;
    logger.warn("traced");
    Logger::ENABLE_BACKTRACE = 0;
    logger.warn("plain");
    const std::string text = capture.text();
    const size_t plain = text.find("plain");
    ASSERT_NE(plain, std::string::npos);
    EXPECT_NE(text.substr(0, plain).find("\n\tat "), std::string::npos) << text;
    EXPECT_EQ(text.substr(plain).find("\tat "), std::string::npos) << text;
}

TEST(Logger, FailedWritesAnswerFalseAndKeepErrno) {
    Logger logger;
    for (const std::string target : {"/dev/full", ""}) {  // full, then closed
        StderrCapture redirect(target);
        errno = EACCES;
        EXPECT_FALSE(logger.warn("lost")) << target;
        EXPECT_EQ(errno, EACCES) << target;
        Logger::ENABLE_BACKTRACE = 1;
        EXPECT_FALSE(logger.warn("lost with a trace")) << target;
        Logger::ENABLE_BACKTRACE = 0;
        EXPECT_EQ(errno, EACCES) << target;
    }
}

// Under systemd standard error is the journal, which records the time and reads a "<N>" prefix
// as the line's priority; a variable inherited with standard error elsewhere changes nothing.
TEST(Logger, IntoTheJournalEachLineCarriesItsPriorityInsteadOfTheTime) {
    StderrCapture capture;
    struct stat st {};
    ASSERT_EQ(fstat(2, &st), 0);
    const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    setenv("JOURNAL_STREAM", stream.c_str(), 1);
    Logger journal;
    setenv("JOURNAL_STREAM", (stream + "1").c_str(), 1);
    Logger elsewhere;
    unsetenv("JOURNAL_STREAM");
    Logger::ENABLE_BACKTRACE = 1;
    journal.warn("traced");
    Logger::ENABLE_BACKTRACE = 0;
    journal.info("i");
    journal.error("e");
    journal.panic("p");
    journal.invalid("v");
    journal.deprecated("d");
    journal.debug("g");
    try {
        journal.die("x");
    } catch (const Tarvok::Error&) {
    }
    elsewhere.warn("on a terminal");

    std::istringstream lines(capture.text());
    std::vector<std::string> priorities;
    std::string line, last;
    while (std::getline(lines, line)) {
        if (line.starts_with("<")) priorities.push_back(line.substr(0, line.find('>') + 1));
        last = line;
    }
    ASSERT_GT(priorities.size(), 8u) << "the call trace's lines carry the priority too";
    EXPECT_TRUE(std::all_of(priorities.begin(), priorities.end() - 7, [](const std::string& p) {
        return p == "<4>";
    })) << capture.text();
    EXPECT_THAT(capture.text(), ::testing::HasSubstr("<4>warn [tarvok_tests] traced\n"));
    const std::vector<std::string> rest(priorities.end() - 7, priorities.end());
    EXPECT_EQ(rest, (std::vector<std::string>{"<6>", "<3>", "<2>", "<4>", "<5>", "<7>", "<3>"}));
    EXPECT_TRUE(matches(last, "[####-##-## ##:##:## +0000] warn [tarvok_tests] on a terminal"))
        << last;
}
