#include "Frontend.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>

#include "Tarvok/Debug.hpp"
#include "support/TruthTable.hpp"

namespace {

using namespace PenSafeCrontab;

TEST(DispatchChoice, FollowsTheArgumentTable) {
    using Args = std::vector<std::string>;
    TestSupport::expect_table<Args, Operation>(
        {
            // Options win in edit, list, remove order wherever they stand.
            {{"-l", "-e"}, Operation::edit},
            {{"file", "-x", "-r", "-l", "-e"}, Operation::edit},
            {{"-r", "-l"}, Operation::list},
            {{"file", "-r"}, Operation::remove},
            {{"-u", "someone", "-l"}, Operation::list},
            {{"--", "-r"}, Operation::remove},
            // An invalid option anywhere beats installing.
            {{"-x"}, Operation::invalid_option},
            {{"file", "-x"}, Operation::invalid_option},
            {{"--"}, Operation::invalid_option},
            {{"-", "-u"}, Operation::invalid_option},
            {{"--bincheck"}, Operation::invalid_option},
            {{"file", "-\n"}, Operation::invalid_option},
            // Option lookalikes are file names first and ignored later.
            {{"-le"}, Operation::install_from_file},
            {{"-rfoo"}, Operation::install_from_file},
            {{"file", "-ex", "-"}, Operation::install_from_file},
            {{"-E"}, Operation::invalid_option},
            {{" -l"}, Operation::install_from_file},
            {{"x-y"}, Operation::install_from_file},
            // No arguments, an empty first one or a dash install from standard input.
            {{}, Operation::install_from_stdin},
            {{""}, Operation::install_from_stdin},
            {{"", "file"}, Operation::install_from_stdin},
            {{"-"}, Operation::install_from_stdin},
            {{"-", "file"}, Operation::install_from_stdin},
        },
        dispatch_choice);
}

TEST(RestrictedShell, NoshellOrPenshellAnywhereInThePath) {
    TestSupport::expect_table<std::optional<std::string>, bool>(
        {
            {"/usr/local/tarvok/bin/noshell", true},
            {"/opt/x/penshell/bin/sh", true},
            {"/usr/bin/penshell-jail", true},
            {"/usr/sbin/nologin", false},
            {"/bin/bash", false},
            {"noshell", false},
            {"/usr/bin/NoShell", false},
            {std::nullopt, false},
        },
        is_restricted_shell);
}

class IgnoredSigchld : public ::testing::Test {
  protected:
    void SetUp() override { sigaction(SIGCHLD, nullptr, &saved_); }
    void TearDown() override {
        sigaction(SIGCHLD, &saved_, nullptr);
        Tarvok::Debug::level = 0;
    }
    static bool is_ignored() {
        struct sigaction now {};
        sigaction(SIGCHLD, nullptr, &now);
        return now.sa_handler == SIG_IGN;
    }

  private:
    struct sigaction saved_ {};
};

TEST_F(IgnoredSigchld, IsForcedToDefaultQuietlyUnlessWarningsAreOn) {
    std::signal(SIGCHLD, SIG_IGN);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(reset_ignored_sigchld(false));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(is_ignored());

    std::signal(SIGCHLD, SIG_IGN);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(reset_ignored_sigchld(true));
    EXPECT_THAT(::testing::internal::GetCapturedStderr(),
                ::testing::HasSubstr("Can't ignore signal CHLD, forcing to default"));
    EXPECT_FALSE(is_ignored());
}

TEST_F(IgnoredSigchld, DefaultOrHandledDispositionIsLeftAlone) {
    std::signal(SIGCHLD, SIG_DFL);
    EXPECT_FALSE(reset_ignored_sigchld(true));
    std::signal(SIGCHLD, [](int) {});
    EXPECT_FALSE(reset_ignored_sigchld(true));
    struct sigaction now {};
    sigaction(SIGCHLD, nullptr, &now);
    EXPECT_NE(now.sa_handler, SIG_DFL);
}

}  // namespace
