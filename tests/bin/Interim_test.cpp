#include <gtest/gtest.h>

#include "Operations.hpp"

TEST(InterimFetch, FailsWithTheNotAvailableNotice) {
    const auto fetched = PenSafeCrontab::_get_crontab_text();
    EXPECT_FALSE(fetched.status);
    EXPECT_EQ(fetched.text, "The crontab service for restricted accounts is not available yet.");
}
