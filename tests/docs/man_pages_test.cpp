// The manual pages under docs/man render cleanly with man and groff, and the front end's page
// names the options and files the program really uses.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

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

}  // namespace
