#include "CrontabCheck.hpp"

#include <gtest/gtest.h>

#include <string>

using Tvwrapd::CrontabCheck::check;

namespace {

struct Accepted {
    const char* text;
};

std::ostream& operator<<(std::ostream& out, const Accepted& c) {
    return out << c.text;
}

class CrontabAccepted : public testing::TestWithParam<Accepted> {};

TEST_P(CrontabAccepted, Passes) {
    const auto problem = check(GetParam().text);
    EXPECT_FALSE(problem) << *problem;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CrontabAccepted,
    testing::Values(
        // Nothing at all, comments, blank lines.
        Accepted{""}, Accepted{"\n"}, Accepted{"# only a comment\n"}, Accepted{"   \t# indented\n"},
        Accepted{"\n\n  \t\n"},
        // Time fields.
        Accepted{"* * * * * date\n"}, Accepted{"0 0 1 1 0 date\n"},
        Accepted{"59 23 31 12 7 date\n"}, Accepted{"*/5 * * * * date\n"},
        Accepted{"0-59/15 */2 1-31/10 1-12/3 0-7/2 date\n"},
        Accepted{"1,2,3-5,10-20/5 * * * * x\n"}, Accepted{"05 09 * * * leading zeros\n"},
        Accepted{"0 0 * jan-mar mon-fri x\n"}, Accepted{"0 0 * JAN,Jul SUN,sat x\n"},
        Accepted{"0 0 * * 5-7 x\n"}, Accepted{"*/90 * * * * a step past the range is harmless\n"},
        Accepted{"1-1 * * * * a single-value range\n"}, Accepted{"5-5/2 0-0 * * * x\n"},
        Accepted{"  \t*   *\t* * *   indented and spaced\n"},
        // The command is bytes: anything goes after the fields.
        Accepted{"* * * * * echo 100% > /dev/null # not a comment to cron\n"},
        Accepted{"* * * * * printf '\xff\xfe' not UTF-8\n"},
        Accepted{"* * * * * echo \x1b[1m bold\n"}, Accepted{"* * * * * x */5\n"},
        // cron misreads 0xFF only where a time field ends.
        Accepted{"@daily \xffx\n"},
        // Shortcuts.
        Accepted{"@reboot run\n"}, Accepted{"@yearly a\n@annually b\n@monthly c\n@weekly d\n"},
        Accepted{"@daily e\n@midnight f\n@hourly g\n"}, Accepted{"@daily\tcmd with tab\n"},
        // Environment settings.
        Accepted{"MAILTO=me@example.com\n"}, Accepted{"MAILTO = me\n"},
        Accepted{"  PATH=/bin:/usr/bin\n"}, Accepted{"MAILTO=\"\"\n"},
        Accepted{"SHELL='/bin/bash'\n"}, Accepted{"X=\" spaced \"  \n"},
        Accepted{"GREETING=hello world # kept in the value\n"}, Accepted{"'ODD NAME'=x\n"},
        Accepted{"A==b\n"},
        // A last line without a line end.
        Accepted{"* * * * * date"}, Accepted{"# comment"}, Accepted{"A=b"}));

struct Refused {
    const char* text;
    const char* reason;
};

std::ostream& operator<<(std::ostream& out, const Refused& c) {
    return out << c.text;
}

class CrontabRefused : public testing::TestWithParam<Refused> {};

TEST_P(CrontabRefused, GivesTheReasonWithTheLineNumber) {
    const auto problem = check(GetParam().text);
    ASSERT_TRUE(problem);
    EXPECT_EQ(*problem, GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, CrontabRefused,
    testing::Values(
        Refused{"61 * * * * date\n", "line 1: bad minute '61' (0-59)"},
        Refused{"# c\n\n60 * * * * date\n", "line 3: bad minute '60' (0-59)"},
        Refused{"* 24 * * * x\n", "line 1: bad hour '24' (0-23)"},
        Refused{"* * 0 * * x\n", "line 1: bad day of month '0' (1-31)"},
        Refused{"* * 32 * * x\n", "line 1: bad day of month '32' (1-31)"},
        Refused{"* * * 13 * x\n", "line 1: bad month '13' (1-12 or jan-dec)"},
        Refused{"* * * 0 * x\n", "line 1: bad month '0' (1-12 or jan-dec)"},
        Refused{"* * * * 8 x\n", "line 1: bad day of week '8' (0-7 or sun-sat)"},
        Refused{"* * * january * x\n", "line 1: bad month 'january' (1-12 or jan-dec)"},
        Refused{"* * * * monday x\n", "line 1: bad day of week 'monday' (0-7 or sun-sat)"},
        Refused{"* * * jan-foo * x\n", "line 1: bad month 'jan-foo' (1-12 or jan-dec)"},
        Refused{"jan * * * * x\n", "line 1: bad minute 'jan' (0-59)"},
        Refused{"* * * * mon/2 x\n", "line 1: bad day of week 'mon/2' (0-7 or sun-sat)"},
        Refused{"5x * * * * x\n", "line 1: bad minute '5x' (0-59)"},
        Refused{"5/10 * * * * x\n", "line 1: bad minute '5/10' (0-59)"},
        Refused{"*/0 * * * * x\n", "line 1: bad minute '*/0' (step must be at least 1)"},
        Refused{"1-5/0 * * * * x\n", "line 1: bad minute '1-5/0' (step must be at least 1)"},
        Refused{"*/ * * * * x\n", "line 1: bad minute '*/' (0-59)"},
        Refused{"*/x * * * * x\n", "line 1: bad minute '*/x' (0-59)"},
        Refused{"30-10 * * * * x\n", "line 1: bad minute '30-10' (range runs backwards)"},
        Refused{"* * * * fri-sun x\n", "line 1: bad day of week 'fri-sun' (range runs backwards)"},
        Refused{"1-70 * * * * x\n", "line 1: bad minute '1-70' (0-59)"},
        Refused{"1,,2 * * * * x\n", "line 1: bad minute '1,,2' (0-59)"},
        Refused{"1, * * * * x\n", "line 1: bad minute '1,' (0-59)"},
        Refused{"-5 * * * * x\n", "line 1: bad minute '-5' (0-59)"},
        Refused{"1-2-3 * * * * x\n", "line 1: bad minute '1-2-3' (0-59)"},
        Refused{"** * * * * x\n", "line 1: bad minute '**' (0-59)"},
        Refused{"9999999999 * * * * x\n", "line 1: bad minute '9999999999' (0-59)"},
        Refused{"\xc3\xa9 * * * * x\n", "line 1: bad minute '\\xC3\\xA9' (0-59)"}));

INSTANTIATE_TEST_SUITE_P(
    Structure, CrontabRefused,
    testing::Values(
        Refused{"* * * * *\n", "line 1: missing command"},
        Refused{"* * * * *   \t\n", "line 1: missing command"},
        Refused{"1 2 3\n", "line 1: missing month"},
        Refused{"1 2\n", "line 1: missing day of month"},
        Refused{"@daily\n", "line 1: missing command"},
        Refused{"@daily   \n", "line 1: missing command"},
        Refused{"@dayly x\n",
                "line 1: unknown shortcut '@dayly' (@reboot @yearly @annually @monthly @weekly "
                "@daily @midnight @hourly)"},
        Refused{"@DAILY x\n",
                "line 1: unknown shortcut '@DAILY' (@reboot @yearly @annually @monthly @weekly "
                "@daily @midnight @hourly)"},
        Refused{"hello world\n", "line 1: bad minute 'hello' (0-59)"},
        Refused{"* * * * * ok\r\n",
                "line 1: carriage return at the end of the line; save the file with Unix line "
                "ends"},
        Refused{"# c\n* * * * * a\rb\n", "line 2: contains a carriage return"}));

// What cron itself refuses, and with it every other job of the account.
INSTANTIATE_TEST_SUITE_P(
    CronRefuses, CrontabRefused,
    testing::Values(
        Refused{"* * * * * */5 x\n",
                "line 1: the command may not start with '*' (a sixth time field?)"},
        Refused{"* * * * * * date\n",
                "line 1: the command may not start with '*' (a sixth time field?)"},
        Refused{"@daily\t*date\n",
                "line 1: the command may not start with '*' (a sixth time field?)"},
        Refused{"* * * * * \xffx\n", "line 1: the command may not start with the byte 0xFF"},
        Refused{"*/4294967296 * * * * x\n",
                "line 1: bad minute '*/4294967296' (step must be at most 2147483647)"}));

// What cron would take but read otherwise than written.
INSTANTIATE_TEST_SUITE_P(
    CronMisreads, CrontabRefused,
    testing::Values(Refused{"5. * * * * x\n", "line 1: bad minute '5.' (0-59)"},
                    Refused{"*5 * * * * x\n", "line 1: bad minute '*5' (0-59)"},
                    Refused{"4294967301 * * * * x\n", "line 1: bad minute '4294967301' (0-59)"},
                    Refused{"5='x * * * * x\n", "line 1: unterminated quote in the value of 5"}));

INSTANTIATE_TEST_SUITE_P(
    Environment, CrontabRefused,
    testing::Values(
        Refused{"MAILTO=\n", "line 1: MAILTO has no value (write MAILTO=\"\" for an empty one)"},
        Refused{"MAILTO =  \n", "line 1: MAILTO has no value (write MAILTO=\"\" for an empty one)"},
        Refused{"X=\"open\n", "line 1: unterminated quote in the value of X"},
        Refused{"X='a' b\n", "line 1: text after the closing quote of the value of X"},
        Refused{"=value\n", "line 1: environment setting without a name"},
        Refused{"'A=B'=x\n", "line 1: bad minute ''A=B'=x' (0-59)"}));

}  // namespace

TEST(CrontabCheck, NulByteIsRefusedWithItsLine) {
    const std::string text("# fine\n* * * * * a\0b\n", 21);
    EXPECT_EQ(check(text), "line 2: contains a NUL byte");
}

TEST(CrontabCheck, FirstBadLineIsTheOneReported) {
    EXPECT_EQ(check("* * * * * ok\nMAILTO=x\n70 * * * * a\n* 25 * * * b\n"),
              "line 3: bad minute '70' (0-59)");
}

TEST(CrontabCheck, LastLineWithoutLineEndIsCheckedToo) {
    EXPECT_EQ(check("* * * * * ok\n* * * * 9 x"), "line 2: bad day of week '9' (0-7 or sun-sat)");
}

TEST(CrontabCheck, LongFieldsAreCutInTheReason) {
    const std::string field(100, '9');
    const auto problem = check(field + " * * * * x\n");
    ASSERT_TRUE(problem);
    EXPECT_EQ(*problem, "line 1: bad minute '" + std::string(40, '9') + "...' (0-59)");
}

TEST(CrontabCheck, LongLinesAreJudgedAsCronReadsThem) {
    const std::string fields = "* * * * * ";
    EXPECT_FALSE(check(fields + std::string(998, 'x') + "\n"));
    EXPECT_EQ(check(fields + std::string(999, 'x')),
              "line 1: command too long (999 bytes; at most 998)");
    // cron cuts a setting it reads and keeps the start as the value.
    EXPECT_FALSE(check("A=" + std::string(996, 'x') + "\n"));
    EXPECT_EQ(check("A=" + std::string(997, 'x') + "\n"),
              "line 1: environment setting too long (999 bytes; cron reads 998)");
    // Cut, this one no longer closes its quote, and cron reads it as a job.
    EXPECT_EQ(check("A=\"" + std::string(1200, 'x') + "\"\n"),
              "line 1: environment setting too long (1204 bytes; cron reads 998)");
    EXPECT_FALSE(check(std::string(998, '0') + "5 * * * * x\n"));
    EXPECT_TRUE(check(std::string(999, '0') + "5 * * * * x\n"));
}

TEST(CrontabCheck, LineCountIsBounded) {
    std::string text;
    for (int i = 0; i < 10000; ++i) text += "# line\n";
    EXPECT_FALSE(check(text));
    EXPECT_FALSE(check(text.substr(0, text.size() - 1)));
    EXPECT_EQ(check(text + "x"), "crontab has too many lines (10001; at most 10000)");
    EXPECT_EQ(check(text + "\n"), "crontab has too many lines (10001; at most 10000)");
}

TEST(CrontabCheck, SizeIsBounded) {
    std::string text = "# " + std::string(1024 * 1024 - 3, 'x') + "\n";
    EXPECT_FALSE(check(text));
    EXPECT_EQ(check(text + "\n"), "crontab is too large (1048577 bytes; at most 1048576)");
}
