#include "Tarvok/Autodie.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "Tarvok/Error.hpp"
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

namespace {

struct Pipe {
    Pipe() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        read_end.reset(ends[0]);
        write_end.reset(ends[1]);
    }
    Tarvok::UniqueFd read_end, write_end;
};

int closed_descriptor() {
    const int fd = dup(0);
    close(fd);
    return fd;
}

void nothing(int) {}

TEST(AutodieSigguard, ReadReplacesTheBufferAndWriteSendsEverything) {
    Pipe pipe;
    // More than a pipe holds, so the writer has to wait and continue after short writes.
    const std::string big(1 << 20, 'x');
    std::string received;
    std::thread reader([&] {
        std::string chunk = "stale";
        while (Tarvok::Autodie::sysread_sigguard(pipe.read_end, chunk, 7000) != 0) {
            received += chunk;
        }
        EXPECT_TRUE(chunk.empty());
    });
    Tarvok::Autodie::fcntl(pipe.write_end.get(), F_SETFL, O_NONBLOCK);
    errno = EAGAIN;
    EXPECT_EQ(Tarvok::Autodie::syswrite_sigguard(pipe.write_end, big), big.size());
    EXPECT_EQ(errno, EAGAIN);
    pipe.write_end.reset();
    reader.join();
    EXPECT_EQ(received.size(), big.size());
    EXPECT_EQ(received, big);
}

TEST(AutodieSigguard, AReadInterruptedByASignalIsIssuedAgain) {
    Pipe pipe;
    struct sigaction handler {
    }, previous{};
    handler.sa_handler = nothing;  // no SA_RESTART: the kernel reports EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &handler, &previous), 0);
    const pthread_t self = pthread_self();
    std::thread poker([&] {
        usleep(100000);
        pthread_kill(self, SIGUSR1);
        usleep(100000);
        EXPECT_EQ(write(pipe.write_end.get(), "late", 4), 4);
    });
    std::string chunk;
    EXPECT_EQ(Tarvok::Autodie::sysread_sigguard(pipe.read_end, chunk, 100), 4u);
    EXPECT_EQ(chunk, "late");
    poker.join();
    sigaction(SIGUSR1, &previous, nullptr);
}

TEST(AutodieSigguard, FailuresRaiseWithTheOsError) {
    const int closed = closed_descriptor();
    std::string chunk;
    try {
        Tarvok::Autodie::sysread_sigguard(Tarvok::FHUtils::Handle{closed}, chunk, 10);
        FAIL() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_TRUE(Tarvok::Exception::is_a(e, "ReadFailed"));
        EXPECT_NE(std::string(e.what()).find("descriptor " + std::to_string(closed)),
                  std::string::npos)
            << e.what();
        EXPECT_EQ(errno, EBADF);
    }
    try {
        Tarvok::Autodie::syswrite_sigguard(Tarvok::FHUtils::Handle{closed}, "x");
        FAIL() << "no exception";
    } catch (const Tarvok::Error& e) {
        EXPECT_EQ(e.saved_errno(), EBADF);
        EXPECT_NE(std::string(e.what()).find(std::strerror(EBADF)), std::string::npos);
    }
}

}  // namespace
