#include "Tarvok/FHUtils/WholeIO.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <string>
#include <thread>

#include "Tarvok/UniqueFd.hpp"
#include "support/SandboxRoot.hpp"

namespace WholeIO = Tarvok::FHUtils::WholeIO;
using Tarvok::UniqueFd;
using namespace std::chrono_literals;

namespace {

struct Pipe {
    UniqueFd read_end, write_end;
    explicit Pipe(int flags = 0) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | flags) != 0) throw std::runtime_error("pipe2 failed");
        read_end.reset(fds[0]);
        write_end.reset(fds[1]);
    }
};

std::string pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 23);
    return text;
}

WholeIO::Deadline soon() {
    return std::chrono::steady_clock::now() + 50ms;
}

}  // namespace

// A non-blocking pipe takes a large buffer in pieces as the reader drains it; the reader gets it
// all, and neither side's errno moves.
TEST(WholeIO, LargeBufferCrossesANonBlockingPipeWhole) {
    Pipe pipe(O_NONBLOCK);
    const std::string sent = pattern(3 * WholeIO::CHUNK + 17);
    std::string received;
    WholeIO::Transfer got;
    std::thread reader([&] {
        got =
            WholeIO::read_to_end(pipe.read_end, received, WholeIO::NO_LIMIT, WholeIO::WAIT_FOREVER);
    });
    errno = 1234;
    const WholeIO::Transfer wrote = WholeIO::write_all(pipe.write_end, sent, WholeIO::WAIT_FOREVER);
    EXPECT_EQ(errno, 1234);
    pipe.write_end.reset();
    reader.join();
    EXPECT_TRUE(wrote) << wrote.error;
    EXPECT_EQ(wrote.bytes, sent.size());
    EXPECT_TRUE(got) << got.error;
    EXPECT_EQ(got.bytes, sent.size());
    EXPECT_EQ(received, sent);
}

// Failures come back as the Transfer's error with the bytes moved before them; errno stays.
TEST(WholeIO, FailuresComeBackWithTheBytesMovedBeforeThem) {
    {  // nobody reads: the pipe fills, and waiting for room runs out at the deadline
        const Pipe pipe(O_NONBLOCK);
        const long capacity = fcntl(pipe.write_end.get(), F_GETPIPE_SZ);
        const WholeIO::Transfer wrote =
            WholeIO::write_all(pipe.write_end, pattern(capacity + 10), soon());
        EXPECT_EQ(wrote.error, ETIMEDOUT);
        EXPECT_EQ(wrote.bytes, static_cast<std::size_t>(capacity));
    }
    {  // the reader is gone
        Pipe pipe;
        const auto previous = std::signal(SIGPIPE, SIG_IGN);
        pipe.read_end.reset();
        errno = 0;
        const WholeIO::Transfer wrote = WholeIO::write_all(pipe.write_end, "text");
        std::signal(SIGPIPE, previous);
        EXPECT_EQ(wrote.error, EPIPE);
        EXPECT_EQ(wrote.bytes, 0u);
        EXPECT_EQ(errno, 0);
    }
    {  // the writer never closes: what arrived stays; without a deadline nothing waits
        const Pipe pipe(O_NONBLOCK);
        ASSERT_EQ(write(pipe.write_end.get(), "early", 5), 5);
        std::string received = "kept:";
        const WholeIO::Transfer got =
            WholeIO::read_to_end(pipe.read_end, received, WholeIO::NO_LIMIT, soon());
        EXPECT_EQ(got.error, ETIMEDOUT);
        EXPECT_EQ(got.bytes, 5u);
        EXPECT_EQ(received, "kept:early");
        const WholeIO::Transfer at_once = WholeIO::read_to_end(pipe.read_end, received);
        EXPECT_EQ(at_once.error, EAGAIN);
        EXPECT_EQ(received, "kept:early");
    }
    {  // a descriptor open for writing only
        const Pipe pipe;
        std::string received;
        errno = 0;
        const WholeIO::Transfer got = WholeIO::read_to_end(pipe.write_end, received);
        EXPECT_EQ(got.error, EBADF);
        EXPECT_EQ(errno, 0);
        EXPECT_EQ(received, "");
    }
}

// A limit stops reading there: the rest stays unread for the next reader. A reserved buffer is
// filled by as few reads as the size allows.
TEST(WholeIO, LimitLeavesTheRestUnread) {
    TestSupport::SandboxRoot root;
    const std::string content = pattern(WholeIO::CHUNK + 5000);
    root.write("/file", content);
    const UniqueFd fd(open(root.path("/file").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd);

    std::string head;
    const WholeIO::Transfer first = WholeIO::read_to_end(fd, head, 10);
    EXPECT_TRUE(first);
    EXPECT_EQ(head, content.substr(0, 10));

    std::string rest;
    rest.reserve(content.size());
    const WholeIO::Transfer second = WholeIO::read_to_end(fd, rest);
    EXPECT_TRUE(second);
    EXPECT_EQ(second.bytes, content.size() - 10);
    EXPECT_EQ(rest, content.substr(10));
}

// A regular file is read in one read sized from its status where it can be; from any position and
// at any size, what comes back is the rest of the file, whole.
TEST(WholeIO, RegularFileIsReadWholeFromAnyPosition) {
    TestSupport::SandboxRoot root;
    for (const std::size_t size : {std::size_t{1}, WholeIO::FIRST_READ - 1, WholeIO::FIRST_READ,
                                   WholeIO::FIRST_READ + 1, WholeIO::CHUNK + 1}) {
        for (const off_t start : {off_t{0}, off_t{1}}) {
            SCOPED_TRACE("size " + std::to_string(size) + ", from " + std::to_string(start));
            const std::string content = pattern(size);
            root.write("/file", content);
            const UniqueFd fd(open(root.path("/file").c_str(), O_RDONLY | O_CLOEXEC));
            ASSERT_TRUE(fd);
            ASSERT_EQ(lseek(fd.get(), start, SEEK_SET), start);
            std::string got;
            EXPECT_TRUE(WholeIO::read_to_end(fd, got));
            EXPECT_EQ(got, content.substr(static_cast<std::size_t>(start)));
        }
    }
}
