#include "Frontend.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>

#include "Tarvok/Debug.hpp"

namespace {

using namespace PenSafeCrontab;

TEST(DispatchChoice, OptionsWinInEditListRemoveOrderWhereverTheyStand) {
    EXPECT_EQ(dispatch_choice({"-l", "-e"}), Operation::edit);
    EXPECT_EQ(dispatch_choice({"file", "-x", "-r", "-l", "-e"}), Operation::edit);
    EXPECT_EQ(dispatch_choice({"-r", "-l"}), Operation::list);
    EXPECT_EQ(dispatch_choice({"file", "-r"}), Operation::remove);
    EXPECT_EQ(dispatch_choice({"-u", "someone", "-l"}), Operation::list);
    EXPECT_EQ(dispatch_choice({"--", "-r"}), Operation::remove);
}

TEST(DispatchChoice, InvalidOptionAnywhereBeatsInstalling) {
    EXPECT_EQ(dispatch_choice({"-x"}), Operation::invalid_option);
    EXPECT_EQ(dispatch_choice({"file", "-x"}), Operation::invalid_option);
    EXPECT_EQ(dispatch_choice({"--"}), Operation::invalid_option);
    EXPECT_EQ(dispatch_choice({"-", "-u"}), Operation::invalid_option);
    EXPECT_EQ(dispatch_choice({"--bincheck"}), Operation::invalid_option);
    EXPECT_EQ(dispatch_choice({"file", "-\n"}), Operation::invalid_option);
}

TEST(DispatchChoice, OptionLookalikesAreFileNamesFirstAndIgnoredLater) {
    EXPECT_EQ(dispatch_choice({"-le"}), Operation::install_from_file);
    EXPECT_EQ(dispatch_choice({"-rfoo"}), Operation::install_from_file);
    EXPECT_EQ(dispatch_choice({"file", "-ex", "-"}), Operation::install_from_file);
    EXPECT_EQ(dispatch_choice({"-E"}), Operation::invalid_option);
    EXPECT_EQ(dispatch_choice({" -l"}), Operation::install_from_file);
    EXPECT_EQ(dispatch_choice({"x-y"}), Operation::install_from_file);
}

TEST(DispatchChoice, NoArgumentsEmptyFirstOrDashInstallFromStandardInput) {
    EXPECT_EQ(dispatch_choice({}), Operation::install_from_stdin);
    EXPECT_EQ(dispatch_choice({""}), Operation::install_from_stdin);
    EXPECT_EQ(dispatch_choice({"", "file"}), Operation::install_from_stdin);
    EXPECT_EQ(dispatch_choice({"-"}), Operation::install_from_stdin);
    EXPECT_EQ(dispatch_choice({"-", "file"}), Operation::install_from_stdin);
}

TEST(RestrictedShell, NoshellOrPenshellAnywhereInThePath) {
    EXPECT_TRUE(is_restricted_shell("/usr/local/tarvok/bin/noshell"));
    EXPECT_TRUE(is_restricted_shell("/opt/x/penshell/bin/sh"));
    EXPECT_TRUE(is_restricted_shell("/usr/bin/penshell-jail"));
    EXPECT_FALSE(is_restricted_shell("/usr/sbin/nologin"));
    EXPECT_FALSE(is_restricted_shell("/bin/bash"));
    EXPECT_FALSE(is_restricted_shell("noshell"));
    EXPECT_FALSE(is_restricted_shell("/usr/bin/NoShell"));
    EXPECT_FALSE(is_restricted_shell(std::nullopt));
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
