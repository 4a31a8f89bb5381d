#include "Tarvok/AdminBin/Utils/Exit.hpp"

#include <gtest/gtest.h>

namespace Exit = Tarvok::AdminBin::Utils::Exit;

TEST(AdminBinExit, NamesTheCallThenHowTheChildEnded) {
    EXPECT_EQ(Exit::exit_msg(256, {"Tarvok", "Cron", "save"}),
              "Daemon call Tarvok/Cron/save failed: exit code 1");
    EXPECT_EQ(Exit::exit_msg(9, {"Tarvok", "Cron", "fetch"}),
              "Daemon call Tarvok/Cron/fetch failed: killed by signal SIGKILL (9)");
    // Missing parts leave their place in the key empty.
    EXPECT_EQ(Exit::exit_msg(2 << 8, {"", "Cron", ""}), "Daemon call /Cron/ failed: exit code 2");
}
