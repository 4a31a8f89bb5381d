// The manual pages under docs/man render cleanly with man and groff, the front end's page names
// the options and files the program really uses, and the README and pages tell an administrator
// what to type.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "Frontend.hpp"
#include "Tarvok/BinCheck.hpp"
#include "Tarvok/PenSafe.hpp"
#include "support/SandboxRoot.hpp"

namespace {

using ::testing::HasSubstr;
using TestSupport::RunResult;

const std::vector<std::string> kEnv{"PATH=/usr/bin:/bin", "LANG=C.UTF-8", "MANWIDTH=80"};

std::vector<std::string> pages() {
    std::vector<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(TARVOK_SOURCE_DIR "/docs/man")) {
        found.push_back(e.path().string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

RunResult render(const std::string& page) {
    return TestSupport::run({"/usr/bin/man", "-l", page}, kEnv);
}

TEST(ManPages, EveryPageRendersWithoutAWarning) {
    const auto all = pages();
    ASSERT_EQ(all.size(), 3u);
    for (const std::string& page : all) {
        const RunResult man = render(page);
        EXPECT_EQ(man.status, 0) << page << "\n" << man.err;
        EXPECT_EQ(man.err, "") << page;
        EXPECT_THAT(man.out, HasSubstr("NAME")) << page;

        const RunResult groff =
            TestSupport::run({"/usr/bin/groff", "-man", "-Tutf8", "-ww", "-z", page}, kEnv);
        EXPECT_EQ(groff.status, 0) << page;
        EXPECT_EQ(groff.err, "") << page;

        // mandoc is stricter (a page without a date, for one); lintian runs it on packages.
        const RunResult mandoc =
            TestSupport::run({"/usr/bin/mandoc", "-T", "lint", "-W", "warning", page}, kEnv);
        EXPECT_EQ(mandoc.status, 0) << page << " (scripts/deps.sh installs mandoc)";
        EXPECT_EQ(mandoc.out + mandoc.err, "") << page;
    }
}

TEST(ManPages, FrontEndPageNamesWhatTheProgramUses) {
    const RunResult man = render(TARVOK_SOURCE_DIR "/docs/man/pen_safe_crontab.1");
    ASSERT_EQ(man.status, 0) << man.err;
    EXPECT_THAT(man.out, HasSubstr(std::string(Tarvok::BinCheck::BINCHECK_OPTION) + "\n"));
    EXPECT_THAT(man.out, HasSubstr(std::string(Tarvok::BinCheck::BASEMEM_OPTION) + "\n"));
    EXPECT_THAT(man.out, HasSubstr(std::string(Tarvok::PenSafe::ROOT_BIN) + "/crontab" +
                                   std::string(Tarvok::PenSafe::RELINK_POSTFIX) + "."));
}

// What makes an account restricted, with a stand-in shell that really is one; the commands that
// relink, repair and restore.
TEST(AdministratorDocs, SayWhatMakesAnAccountRestrictedAndWhatToType) {
    const std::string readme = TestSupport::read_file(TARVOK_SOURCE_DIR "/README.md");
    auto restricted = [](std::string_view shell) {
        for (std::string_view mark : PenSafeCrontab::RESTRICTED_SHELLS) {
            if (shell.find(mark) != std::string_view::npos) return true;
        }
        return false;
    };
    for (std::string_view mark : PenSafeCrontab::RESTRICTED_SHELLS) {
        EXPECT_THAT(readme, HasSubstr("`" + std::string(mark) + "`"));
    }
    const size_t useradd = readme.find("\nuseradd ");
    ASSERT_NE(useradd, std::string::npos) << "no stand-in shell example";
    const std::string line = readme.substr(useradd + 1, readme.find('\n', useradd + 1) - useradd);
    const size_t shell = line.find(" -s ");
    ASSERT_NE(shell, std::string::npos) << line;
    EXPECT_TRUE(restricted(line.substr(shell + 4, line.find(' ', shell + 4) - shell - 4))) << line;
    for (const char* typed : {"`pen-safe-relink`", "`pen-safe-relink --status`",
                              "`tvwrapd --restore USER`", "`man tvwrapd`"}) {
        EXPECT_THAT(readme, HasSubstr(typed));
    }
    EXPECT_THAT(render(TARVOK_SOURCE_DIR "/docs/man/tvwrapd.8").out, HasSubstr("--restore"));
    EXPECT_THAT(render(TARVOK_SOURCE_DIR "/docs/man/pen-safe-relink.8").out,
                HasSubstr("dpkg-divert"));
}

}  // namespace
