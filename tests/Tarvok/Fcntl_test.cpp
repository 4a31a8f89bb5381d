#include "Tarvok/Fcntl.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "Tarvok/Error.hpp"

namespace {

using Tarvok::Fcntl::or_flags;

TEST(FcntlOrFlags, CombinesNamedFlagsLikeTheCLibrary) {
    EXPECT_EQ(or_flags({"O_WRONLY", "O_CREAT", "O_EXCL"}), 193);
    EXPECT_EQ(or_flags({"O_WRONLY", "O_CREAT", "O_EXCL"}), O_WRONLY | O_CREAT | O_EXCL);
    EXPECT_EQ(or_flags({"O_RDWR", "O_NOFOLLOW"}), O_RDWR | O_NOFOLLOW);
    EXPECT_EQ(or_flags({"O_RDONLY"}), 0);
    EXPECT_EQ(or_flags({"O_RDONLY", "O_CLOEXEC"}), O_CLOEXEC);
    EXPECT_EQ(or_flags({}), 0);
}

TEST(FcntlOrFlags, UnknownNamesRaiseEvenWhenACachedListLooksAlike) {
    try {
        or_flags({"O_RDWR", "O_BOGUS"});
        FAIL() << "no exception";
    } catch (const Tarvok::Error& e) {
        EXPECT_NE(std::string(e.what()).find("O_BOGUS"), std::string::npos);
    }
    // Cache keys join names; a name must not pass for a cached list, nor an empty name vanish.
    ASSERT_EQ(or_flags({"O_WRONLY", "O_CREAT"}), 65);
    EXPECT_THROW(or_flags({"O_WRONLY|O_CREAT"}), Tarvok::Error);
    ASSERT_EQ(or_flags({"O_RDWR"}), 2);
    EXPECT_THROW(or_flags({"", "O_RDWR"}), Tarvok::Error);
    EXPECT_THROW(or_flags({"O_RDWR", ""}), Tarvok::Error);
    EXPECT_THROW(or_flags({"o_rdwr"}), Tarvok::Error);
}

}  // namespace
