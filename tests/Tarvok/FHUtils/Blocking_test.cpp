#include "Tarvok/FHUtils/Blocking.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "Tarvok/Exception.hpp"
#include "support/SandboxRoot.hpp"

namespace {

using Tarvok::UniqueFd;
using Tarvok::FHUtils::Handle;
using namespace Tarvok::FHUtils::Blocking;

TEST(FHUtilsBlocking, TogglesNonBlockingAndKeepsOtherFlags) {
    TestSupport::SandboxRoot root;
    const std::string path = root.dir() + "/log";
    UniqueFd file(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    ASSERT_TRUE(file);

    EXPECT_TRUE(is_set_to_block(file));
    EXPECT_TRUE(set_non_blocking(file));
    EXPECT_FALSE(is_set_to_block(file));
    EXPECT_EQ(fcntl(file.get(), F_GETFL) & (O_APPEND | O_ACCMODE), O_APPEND | O_WRONLY);
    EXPECT_TRUE(set_non_blocking(file));  // already set: nothing changes
    EXPECT_FALSE(is_set_to_block(file));

    EXPECT_TRUE(set_blocking(file));
    EXPECT_TRUE(is_set_to_block(file));
    EXPECT_EQ(fcntl(file.get(), F_GETFL) & (O_APPEND | O_ACCMODE), O_APPEND | O_WRONLY);
}

TEST(FHUtilsBlocking, ReadsTheFlagsAfreshEachTime) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    UniqueFd read_end(ends[0]), write_end(ends[1]);
    ASSERT_TRUE(is_set_to_block(read_end));
    fcntl(read_end.get(), F_SETFL, O_NONBLOCK);
    EXPECT_FALSE(is_set_to_block(Handle{read_end.get()}));
    EXPECT_TRUE(is_set_to_block(write_end));
}

TEST(FHUtilsBlocking, FailuresRaiseFcntlFailed) {
    UniqueFd empty;
    EXPECT_THROW(set_non_blocking(empty), Tarvok::Exception::FcntlFailed);
    EXPECT_THROW(set_blocking(empty), Tarvok::Exception::FcntlFailed);
    EXPECT_THROW(is_set_to_block(Handle{-1}), Tarvok::Exception::FcntlFailed);
}

}  // namespace
