#include "Tarvok/FDPass.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

using Tarvok::UniqueFd;
using Tarvok::FHUtils::Handle;

namespace {

struct SocketPair {
    SocketPair() {
        int ends[2];
        EXPECT_EQ(socketpair(PF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        ours.reset(ends[0]);
        theirs.reset(ends[1]);
    }
    UniqueFd ours, theirs;
};

}  // namespace

TEST(FDPass, TheReceiverGetsAWorkingCloseOnExecCopyOfTheDescriptor) {
    SocketPair pair;
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    UniqueFd read_end(ends[0]), write_end(ends[1]);

    ASSERT_TRUE(Tarvok::FDPass::send(pair.ours, write_end));
    auto passed = Tarvok::FDPass::recv(pair.theirs);
    ASSERT_TRUE(passed.has_value());
    EXPECT_NE(passed->get(), write_end.get());
    EXPECT_EQ(fcntl(passed->get(), F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

    write_end.reset();  // only the passed copy keeps the pipe open now
    ASSERT_EQ(write(passed->get(), "via the socket", 14), 14);
    passed->reset();
    char text[32] = {};
    EXPECT_EQ(read(read_end.get(), text, sizeof text), 14);
    EXPECT_STREQ(text, "via the socket");
}

TEST(FDPass, PlainDataAndFailuresPassNoDescriptor) {
    SocketPair pair;
    ASSERT_EQ(write(pair.ours.get(), "x", 1), 1);
    EXPECT_FALSE(Tarvok::FDPass::recv(pair.theirs).has_value());

    // Passing a closed descriptor fails in the sender and nothing arrives.
    const int closed = dup(0);
    close(closed);
    EXPECT_FALSE(Tarvok::FDPass::send(pair.ours, Handle{closed}));
    EXPECT_EQ(errno, EBADF);
    pair.ours.reset();
    EXPECT_FALSE(Tarvok::FDPass::recv(pair.theirs).has_value());
}
