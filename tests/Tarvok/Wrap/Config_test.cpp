#include "Tarvok/Wrap/Config.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace Config = Tarvok::Wrap::Config;

namespace {

// Makes `entries` the whole process environment while the object lives.
class ExactEnvironment {
  public:
    explicit ExactEnvironment(std::vector<std::string> entries) : entries_(std::move(entries)) {
        for (auto& entry : entries_) pointers_.push_back(entry.data());
        pointers_.push_back(nullptr);
        saved_ = ::environ;
        ::environ = pointers_.data();
    }
    ~ExactEnvironment() { ::environ = saved_; }
    ExactEnvironment(const ExactEnvironment&) = delete;
    ExactEnvironment& operator=(const ExactEnvironment&) = delete;

  private:
    std::vector<std::string> entries_;
    std::vector<char*> pointers_;
    char** saved_ = nullptr;
};

}  // namespace

TEST(WrapConfigAllowedEnv, PassesExactlyTheTwelveNames) {
    // Spelled out here, not taken from the table under test: a name dropped from it, or one
    // added, must show.
    const std::vector<std::string> names{
        "APITOOL",           "HTTP_COOKIE",          "REMOTE_ADDR", "REMOTE_PASSWORD",
        "TEAM_LOGIN_DOMAIN", "TEAM_OWNER",           "TEAM_USER",   "TVRESELLER",
        "TVRESELLERSESSION", "TVRESELLERSESSIONKEY", "ZUL50",       "tv_security_token"};
    std::vector<std::string> entries;
    Config::Env expected;
    for (const std::string& name : names) {
        entries.push_back(name + "=value of " + name);
        expected[name] = "value of " + name;
    }
    // Whatever else the table names is set too, and must not cross.
    for (const auto& [name, allowed] : Config::ALLOWED_ENV) {
        if (expected.count(std::string(name)) == 0) entries.push_back(std::string(name) + "=x");
    }
    ExactEnvironment environment(entries);
    EXPECT_EQ(Config::safe_hashref_of_allowed_env(), expected);
}

TEST(WrapConfigAllowedEnv, NothingElseEverCrosses) {
    ExactEnvironment environment({
        "PATH=/usr/bin:/bin", "VISUAL=vi", "EDITOR=vi", "HOME=/home/u",
        "TARVOK_SANDBOX_ROOT=/tmp/root",
        "remote_addr=10.0.0.1",     // lower case
        "Remote_Addr=10.0.0.1",     // mixed case
        "TV_SECURITY_TOKEN=abc",    // upper case of a lower-case name
        "REMOTE_ADDRESS=10.0.0.1",  // longer name starting with an allowed one
        "TVRESELLERSESSIONKEYS=x",  // longer than the longest allowed name
        "ZUL5=x",                   // shorter than an allowed name
        " ZUL50=x",                 // not the same name
        "ZUL50",                    // an entry without a value separator
    });
    EXPECT_TRUE(Config::safe_hashref_of_allowed_env().empty());
}

TEST(WrapConfigAllowedEnv, ValuesAreCutAndZeroBecomesEmpty) {
    const std::string long_value(5000, 'r');
    const std::string value_1024 = std::string(1023, 'k') + "=";
    ExactEnvironment environment({
        "TVRESELLER=" + long_value,
        "TEAM_USER=" + value_1024,
        "REMOTE_ADDR=0",
        "TEAM_OWNER=",
        "APITOOL=00",
        "ZUL50= 0",
        "HTTP_COOKIE=a=b; c=d",
    });
    const auto env = Config::safe_hashref_of_allowed_env();
    EXPECT_EQ(env.at("TVRESELLER"), long_value.substr(0, 1024));
    EXPECT_EQ(env.at("TEAM_USER"), value_1024);
    EXPECT_EQ(env.at("REMOTE_ADDR"), "");
    EXPECT_EQ(env.at("TEAM_OWNER"), "");
    EXPECT_EQ(env.at("APITOOL"), "00");
    EXPECT_EQ(env.at("ZUL50"), " 0");
    EXPECT_EQ(env.at("HTTP_COOKIE"), "a=b; c=d");
    EXPECT_EQ(env.size(), 7u);
}

TEST(WrapConfigAllowedEnv, EachCallReadsTheEnvironmentAfreshIntoItsOwnMap) {
    ASSERT_EQ(setenv("TEAM_LOGIN_DOMAIN", "first.example", 1), 0);
    auto first = Config::safe_hashref_of_allowed_env();
    first["TEAM_LOGIN_DOMAIN"] = "changed";
    first["PATH"] = "/evil";
    EXPECT_STREQ(getenv("TEAM_LOGIN_DOMAIN"), "first.example");

    ASSERT_EQ(setenv("TEAM_LOGIN_DOMAIN", "second.example", 1), 0);
    const auto second = Config::safe_hashref_of_allowed_env();
    EXPECT_EQ(second.at("TEAM_LOGIN_DOMAIN"), "second.example");
    EXPECT_EQ(second.count("PATH"), 0u);
    unsetenv("TEAM_LOGIN_DOMAIN");
    EXPECT_EQ(Config::safe_hashref_of_allowed_env().count("TEAM_LOGIN_DOMAIN"), 0u);
}
