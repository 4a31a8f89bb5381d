// The policy file as administrators write it, its mistakes, and which rule applies to whom.
#include "Policy.hpp"

#include <gtest/gtest.h>

#include "support/TruthTable.hpp"

namespace Policy = Tvwrapd::Policy;

namespace {

template <class T>
std::string shown(const std::optional<T>& value) {
    if (!value) return "-";
    if constexpr (std::is_same_v<T, bool>) return *value ? "yes" : "no";
    return std::to_string(*value);
}

// "min_interval max_jobs reboot", '-' for a key that sets no limit.
std::string shown(const Policy::Rules& rules) {
    return shown(rules.min_interval) + " " + shown(rules.max_jobs) + " " + shown(rules.reboot);
}

std::string parse_error(const std::string& text) {
    try {
        Policy::parse(text, "/etc/tvwrapd/policy.conf");
    } catch (const Policy::Broken& broken) {
        return broken.what();
    }
    return "parsed";
}

const std::string HOSTING =
    "# shared hosting, written at 2 a.m.\r\n"
    "min_interval = 15m   # every plan\n"
    "max_jobs=20\n"
    "reboot = no\n"
    "\n"
    "[group business]\n"
    "  min_interval = 2h\n"
    "[ group premium ]\n"
    "min_interval = 5\n"
    "max_jobs = 50\n"
    "[group dev]\n"
    "reboot = yes\n"
    "max_jobs = 10\n"
    "[account alice]\n"
    "min_interval = 1d\n"
    "[account bob]\n";

}  // namespace

TEST(PolicyFile, WhichRuleAppliesToWhom) {
    const Policy::Policy policy = Policy::parse(HOSTING, "policy.conf");
    using Case = std::pair<std::string, std::vector<std::string>>;
    TestSupport::expect_table<Case, std::string>(
        {
            {{"carol", {}}, "15 20 no"},
            {{"carol", {"nothing-set", "business"}}, "120 20 no"},
            // Among groups, each key's most permissive value.
            {{"carol", {"business", "premium", "dev"}}, "5 50 yes"},
            {{"carol", {"dev"}}, "15 10 yes"},
            // The account's own section wins, key by key.
            {{"alice", {"premium"}}, "1440 50 no"},
            {{"bob", {}}, "15 20 no"},
        },
        [&](const Case& c) { return shown(policy.rules_for(c.first, c.second)); });
    EXPECT_EQ(shown(Policy::parse("[group dev]\nreboot = no\n", "p").rules_for("x", {})), "- - -");
}

TEST(PolicyFile, MistakesNameTheFileAndTheLine) {
    const std::string f = "/etc/tvwrapd/policy.conf:";
    TestSupport::expect_table<std::string, std::string>(
        {
            {"", "parsed"},
            {"min_interval = 0\nmax_jobs = 0\n", "parsed"},
            {"max_job = 3\n", f + "1: unknown key 'max_job' (min_interval, max_jobs, reboot)"},
            {"\nmin_interval = 15 min\n",
             f + "2: bad value '15 min' for min_interval (minutes, or with a unit: 15m, 2h, 1d)"},
            {"min_interval = -5\n", f + "1: bad value '-5' for min_interval (minutes, or with a "
                                        "unit: 15m, 2h, 1d)"},
            {"min_interval = 1w\n", f + "1: bad value '1w' for min_interval (minutes, or with a "
                                        "unit: 15m, 2h, 1d)"},
            {"max_jobs = 10 jobs\n",
             f + "1: bad value '10 jobs' for max_jobs (a number of job lines)"},
            {"max_jobs = 9999999999\n",
             f + "1: bad value '9999999999' for max_jobs (a number of job lines)"},
            {"reboot = maybe\n", f + "1: bad value 'maybe' for reboot (yes or no)"},
            {"reboot =\n", f + "1: bad value '' for reboot (yes or no)"},
            {"max_jobs = 3\nmax_jobs = 4\n", f + "2: duplicate key 'max_jobs' (first at line 1)"},
            {"[group a]\n[account a]\n[group a]\n",
             f + "3: duplicate section [group a] (first at line 1)"},
            {"[group]\n", f + "1: expected [group NAME] or [account NAME], not '[group]'"},
            {"[user bob]\n", f + "1: expected [group NAME] or [account NAME], not '[user bob]'"},
            {"[group a b]\n", f + "1: expected [group NAME] or [account NAME], not '[group a b]'"},
            {"[group a\n", f + "1: a section line ends with ']'"},
            {"reboot no\n", f + "1: expected 'key = value' or a [section], not 'reboot no'"},
            {"= 5\n", f + "1: expected 'key = value' or a [section], not '= 5'"},
        },
        parse_error);
}
