#include "CrontabCheck.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "support/TruthTable.hpp"

using Tvwrapd::CrontabCheck::check;

namespace {

using Problem = std::optional<std::string>;
constexpr std::nullopt_t ACCEPTED = std::nullopt;

}  // namespace

TEST(CrontabCheck, AcceptedTexts) {
    TestSupport::expect_table<std::string, Problem>(
        {
            // Nothing at all, comments, blank lines.
            {"", ACCEPTED},
            {"\n", ACCEPTED},
            {"# only a comment\n", ACCEPTED},
            {"   \t# indented\n", ACCEPTED},
            {"\n\n  \t\n", ACCEPTED},
            // Time fields.
            {"* * * * * date\n", ACCEPTED},
            {"0 0 1 1 0 date\n", ACCEPTED},
            {"59 23 31 12 7 date\n", ACCEPTED},
            {"*/5 * * * * date\n", ACCEPTED},
            {"0-59/15 */2 1-31/10 1-12/3 0-7/2 date\n", ACCEPTED},
            {"1,2,3-5,10-20/5 * * * * x\n", ACCEPTED},
            {"05 09 * * * leading zeros\n", ACCEPTED},
            {"0 0 * jan-mar mon-fri x\n", ACCEPTED},
            {"0 0 * JAN,Jul SUN,sat x\n", ACCEPTED},
            {"0 0 * * 5-7 x\n", ACCEPTED},
            {"*/90 * * * * a step past the range is harmless\n", ACCEPTED},
            {"*/2147483647 * * * * the largest step cron reads as written\n", ACCEPTED},
            {"1-1 * * * * a single-value range\n", ACCEPTED},
            {"5-5/2 0-0 * * * x\n", ACCEPTED},
            {"  \t*   *\t* * *   indented and spaced\n", ACCEPTED},
            // The command is bytes: anything goes after the fields.
            {"* * * * * echo 100% > /dev/null # not a comment to cron\n", ACCEPTED},
            {"* * * * * printf '\xff\xfe' not UTF-8\n", ACCEPTED},
            {"* * * * * echo \x1b[1m bold\n", ACCEPTED},
            {"* * * * * x */5\n", ACCEPTED},
            // cron misreads 0xFF only where a time field ends.
            {"@daily \xffx\n", ACCEPTED},
            // Shortcuts.
            {"@reboot run\n", ACCEPTED},
            {"@yearly a\n@annually b\n@monthly c\n@weekly d\n", ACCEPTED},
            {"@daily e\n@midnight f\n@hourly g\n", ACCEPTED},
            {"@daily\tcmd with tab\n", ACCEPTED},
            // Environment settings.
            {"MAILTO=me@example.com\n", ACCEPTED},
            {"MAILTO = me\n", ACCEPTED},
            {"  PATH=/bin:/usr/bin\n", ACCEPTED},
            {"MAILTO=\"\"\n", ACCEPTED},
            {"SHELL='/bin/bash'\n", ACCEPTED},
            {"X=\" spaced \"  \n", ACCEPTED},
            {"GREETING=hello world # kept in the value\n", ACCEPTED},
            {"'ODD NAME'=x\n", ACCEPTED},
            {"A==b\n", ACCEPTED},
            // A last line without a line end.
            {"* * * * * date", ACCEPTED},
            {"# comment", ACCEPTED},
            {"A=b", ACCEPTED},
        },
        check);
}

// The reason names the line, and the field or the rule the line breaks.
TEST(CrontabCheck, RefusedTextsWithTheirReasons) {
    TestSupport::expect_table<std::string, Problem>(
        {
            // Time fields.
            {"61 * * * * date\n", "line 1: bad minute '61' (0-59)"},
            {"# c\n\n60 * * * * date\n", "line 3: bad minute '60' (0-59)"},
            {"* 24 * * * x\n", "line 1: bad hour '24' (0-23)"},
            {"* * 0 * * x\n", "line 1: bad day of month '0' (1-31)"},
            {"* * 32 * * x\n", "line 1: bad day of month '32' (1-31)"},
            {"* * 0-5 * * x\n", "line 1: bad day of month '0-5' (1-31)"},
            {"* * * 13 * x\n", "line 1: bad month '13' (1-12 or jan-dec)"},
            {"* * * 0 * x\n", "line 1: bad month '0' (1-12 or jan-dec)"},
            {"* * * * 8 x\n", "line 1: bad day of week '8' (0-7 or sun-sat)"},
            {"* * * january * x\n", "line 1: bad month 'january' (1-12 or jan-dec)"},
            {"* * * * monday x\n", "line 1: bad day of week 'monday' (0-7 or sun-sat)"},
            {"* * * jan-foo * x\n", "line 1: bad month 'jan-foo' (1-12 or jan-dec)"},
            {"jan * * * * x\n", "line 1: bad minute 'jan' (0-59)"},
            {"* * * * mon/2 x\n", "line 1: bad day of week 'mon/2' (0-7 or sun-sat)"},
            {"5x * * * * x\n", "line 1: bad minute '5x' (0-59)"},
            {"5/10 * * * * x\n", "line 1: bad minute '5/10' (0-59)"},
            {"*/0 * * * * x\n", "line 1: bad minute '*/0' (step must be at least 1)"},
            {"1-5/0 * * * * x\n", "line 1: bad minute '1-5/0' (step must be at least 1)"},
            {"*/ * * * * x\n", "line 1: bad minute '*/' (0-59)"},
            {"*/x * * * * x\n", "line 1: bad minute '*/x' (0-59)"},
            {"30-10 * * * * x\n", "line 1: bad minute '30-10' (range runs backwards)"},
            {"* * * * fri-sun x\n", "line 1: bad day of week 'fri-sun' (range runs backwards)"},
            {"1-70 * * * * x\n", "line 1: bad minute '1-70' (0-59)"},
            {"1,,2 * * * * x\n", "line 1: bad minute '1,,2' (0-59)"},
            {"1, * * * * x\n", "line 1: bad minute '1,' (0-59)"},
            {"-5 * * * * x\n", "line 1: bad minute '-5' (0-59)"},
            {"1-2-3 * * * * x\n", "line 1: bad minute '1-2-3' (0-59)"},
            {"** * * * * x\n", "line 1: bad minute '**' (0-59)"},
            {"9999999999 * * * * x\n", "line 1: bad minute '9999999999' (0-59)"},
            {"\xc3\xa9 * * * * x\n", "line 1: bad minute '\\xC3\\xA9' (0-59)"},
            // The shape of a line.
            {"* * * * *\n", "line 1: missing command"},
            {"* * * * *   \t\n", "line 1: missing command"},
            {"1 2 3\n", "line 1: missing month"},
            {"1 2\n", "line 1: missing day of month"},
            {"@daily\n", "line 1: missing command"},
            {"@daily   \n", "line 1: missing command"},
            {"@dayly x\n",
             "line 1: unknown shortcut '@dayly' (@reboot @yearly @annually @monthly @weekly "
             "@daily @midnight @hourly)"},
            {"@DAILY x\n",
             "line 1: unknown shortcut '@DAILY' (@reboot @yearly @annually @monthly @weekly "
             "@daily @midnight @hourly)"},
            {"hello world\n", "line 1: bad minute 'hello' (0-59)"},
            {"* * * * * ok\r\n",
             "line 1: carriage return at the end of the line; save the file with Unix line "
             "ends"},
            {"# c\n* * * * * a\rb\n", "line 2: contains a carriage return"},
            // What cron itself refuses, and with it every other job of the account.
            {"* * * * * */5 x\n",
             "line 1: the command may not start with '*' (a sixth time field?)"},
            {"* * * * * * date\n",
             "line 1: the command may not start with '*' (a sixth time field?)"},
            {"@daily\t*date\n", "line 1: the command may not start with '*' (a sixth time field?)"},
            {"* * * * * \xffx\n", "line 1: the command may not start with the byte 0xFF"},
            {"*/4294967296 * * * * x\n",
             "line 1: bad minute '*/4294967296' (step must be at most 2147483647)"},
            {"*/2147483648 * * * * x\n",
             "line 1: bad minute '*/2147483648' (step must be at most 2147483647)"},
            // What cron would take but read otherwise than written.
            {"5. * * * * x\n", "line 1: bad minute '5.' (0-59)"},
            {"*5 * * * * x\n", "line 1: bad minute '*5' (0-59)"},
            {"4294967301 * * * * x\n", "line 1: bad minute '4294967301' (0-59)"},
            {"5='x * * * * x\n", "line 1: unterminated quote in the value of 5"},
            // Environment settings.
            {"MAILTO=\n", "line 1: MAILTO has no value (write MAILTO=\"\" for an empty one)"},
            {"MAILTO =  \n", "line 1: MAILTO has no value (write MAILTO=\"\" for an empty one)"},
            {"X=\"open\n", "line 1: unterminated quote in the value of X"},
            {"X='a' b\n", "line 1: text after the closing quote of the value of X"},
            {"=value\n", "line 1: environment setting without a name"},
            {"'A=B'=x\n", "line 1: bad minute ''A=B'=x' (0-59)"},
        },
        check);
}

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
