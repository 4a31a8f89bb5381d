#include "Tarvok/FHUtils/Tiny.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <map>

#include "Tarvok/Error.hpp"

namespace {

using Tarvok::UniqueFd;
using Tarvok::FHUtils::Handle;
using namespace Tarvok::FHUtils::Tiny;

UniqueFd open_null() {
    return UniqueFd(open("/dev/null", O_RDONLY | O_CLOEXEC));
}

// A second owner of a descriptor number that another owner already holds; it gives the number
// back instead of closing it.
struct Alias {
    explicit Alias(int fd) : owner(fd) {}
    ~Alias() { owner.acquire(); }
    UniqueFd owner;
};

TEST(FHUtilsTinyIsA, OnlyOpenDescriptorsAreHandles) {
    UniqueFd file = open_null();
    ASSERT_TRUE(file);
    EXPECT_TRUE(is_a(file));
    EXPECT_TRUE(is_a(Handle(file)));
    EXPECT_TRUE(is_a(Handle{0}));

    EXPECT_FALSE(is_a(std::string("/etc/passwd")));
    EXPECT_FALSE(is_a("/etc/passwd"));
    EXPECT_FALSE(is_a(std::map<std::string, std::string>{{"a", "b"}}));
    EXPECT_FALSE(is_a(file.get()));  // a bare number is not a handle

    const int number = file.get();
    file.reset();
    EXPECT_FALSE(is_a(file));
    EXPECT_FALSE(is_a(Handle{number}));
    EXPECT_FALSE(is_a(Handle{-1}));
}

TEST(FHUtilsTinyIsA, APathOrHandleValueIsAHandleWhenItHoldsOne) {
    UniqueFd file = open_null();
    std::variant<std::string, Handle> value = std::string("/tmp/file");
    EXPECT_FALSE(is_a(value));
    value = Handle(file);
    EXPECT_TRUE(is_a(value));
}

TEST(FHUtilsTinyAreSame, OwnersMatchByIdentityOrRealDescriptorNumber) {
    UniqueFd file = open_null();
    UniqueFd other = open_null();
    EXPECT_TRUE(are_same(file, file));
    EXPECT_FALSE(are_same(file, other));
    {
        Alias alias(file.get());
        EXPECT_TRUE(are_same(file, alias.owner));
    }
    {
        Alias in1(0), in2(0);
        EXPECT_TRUE(are_same(in1.owner, in1.owner));
        EXPECT_FALSE(are_same(in1.owner, in2.owner));
    }
    UniqueFd empty1, empty2;
    EXPECT_TRUE(are_same(empty1, empty1));
    EXPECT_FALSE(are_same(empty1, empty2));
}

TEST(FHUtilsTinyAreSame, HandlesMatchByNumberExceptZeroAndNone) {
    UniqueFd file = open_null();
    EXPECT_TRUE(are_same(Handle{5}, Handle{5}));
    EXPECT_TRUE(are_same(file, Handle{file.get()}));
    EXPECT_FALSE(are_same(Handle{5}, Handle{6}));
    EXPECT_FALSE(are_same(Handle{0}, Handle{0}));
    EXPECT_FALSE(are_same(Handle{-1}, Handle{-1}));
}

TEST(FHUtilsTinyToBitmask, LaysDescriptorsOutAsSelectSetsDo) {
    using namespace std::string_literals;
    EXPECT_EQ(to_bitmask(), "");
    EXPECT_EQ(to_bitmask(0, 9), "\x01\x02"s);
    EXPECT_EQ(to_bitmask(3, Handle{3}), "\x08"s);
    EXPECT_EQ(to_bitmask(7), "\x80"s);
    EXPECT_EQ(to_bitmask(16), "\x00\x00\x01"s);
    EXPECT_EQ(to_bitmask(15, 8, 0), "\x01\x81"s);

    UniqueFd file = open_null();
    const std::string mask = to_bitmask(file);
    ASSERT_EQ(mask.size(), static_cast<std::size_t>(file.get() / 8 + 1));
    EXPECT_EQ(static_cast<unsigned char>(mask.back()), 1u << (file.get() % 8));

    fd_set set;
    FD_ZERO(&set);
    FD_SET(file.get(), &set);
    FD_SET(1, &set);
    EXPECT_EQ(std::memcmp(&set, to_bitmask(1, file).data(), mask.size()), 0);
}

TEST(FHUtilsTinyToBitmask, ClosedHandlesAndNegativeNumbersAreRefused) {
    UniqueFd empty;
    EXPECT_THROW(to_bitmask(empty), Tarvok::Error);
    EXPECT_THROW(to_bitmask(1, -1), Tarvok::Error);
}

}  // namespace
