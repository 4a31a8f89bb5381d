#include "Tarvok/Autodie.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "Tarvok/Exception.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace {

TEST(AutodieFcntl, SuccessReturnsTheResultAndKeepsErrno) {
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    Tarvok::UniqueFd read_end(ends[0]), write_end(ends[1]);

    errno = EAGAIN;
    EXPECT_EQ(Tarvok::Autodie::fcntl(read_end.get(), F_GETFD), FD_CLOEXEC);
    EXPECT_EQ(Tarvok::Autodie::fcntl(read_end.get(), F_SETFD, 0), 0);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(fcntl(read_end.get(), F_GETFD), 0);
}

TEST(AutodieFcntl, FailureRaisesFcntlFailedWithTheOsError) {
    const int closed = dup(0);
    ASSERT_GE(closed, 0);
    close(closed);
    try {
        Tarvok::Autodie::fcntl(closed, F_GETFL);
        FAIL() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_TRUE(Tarvok::Exception::is_a(e, "FcntlFailed"));
        const auto& failure = dynamic_cast<const Tarvok::Exception::Base&>(e);
        EXPECT_EQ(std::get<long long>(*failure.get("error")), EBADF);
        // The failure's errno is what an uncaught failure exits with.
        EXPECT_EQ(errno, EBADF);
    }
}

}  // namespace
