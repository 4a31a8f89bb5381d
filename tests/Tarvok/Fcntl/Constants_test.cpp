#include "Tarvok/Fcntl/Constants.hpp"

#include <gtest/gtest.h>

namespace {

namespace Constants = Tarvok::Fcntl::Constants;

TEST(FcntlConstants, NamesResolveAtCompileTimeAndAtRunTime) {
    static_assert(Constants::get("SEEK_CUR") == 1);
    static_assert(Constants::get("O_NONBLOCK") == 2048);
    static_assert(Constants::get("S_IFLNK") == 40960);
    static_assert(!Constants::find("O_BOGUS"));

    const std::string name = "F_SETFL";
    EXPECT_EQ(Constants::get(name), 4);
    EXPECT_THROW(Constants::get("SEEK_DATA"), Tarvok::Error);
}

}  // namespace
