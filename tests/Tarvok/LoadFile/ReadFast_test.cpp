#include "Tarvok/LoadFile/ReadFast.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "Tarvok/Error.hpp"
#include "Tarvok/UniqueFd.hpp"

using Tarvok::UniqueFd;
using Tarvok::LoadFile::ReadFast::read_all_fast;
using Tarvok::LoadFile::ReadFast::read_fast;

namespace {

struct Pipe {
    UniqueFd read_end, write_end;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        read_end.reset(fds[0]);
        write_end.reset(fds[1]);
    }
    void put(std::string_view text) {
        ASSERT_EQ(write(write_end.get(), text.data(), text.size()),
                  static_cast<ssize_t>(text.size()));
    }
};

std::atomic<int> alarms{0};
void count_alarm(int) {
    alarms.fetch_add(1);
}

}  // namespace

TEST(ReadFast, OffsetAtTheEndAppendsAndNoOffsetReplaces) {
    Pipe p;
    std::string buffer = "head:";
    p.put("tail");
    EXPECT_EQ(read_fast(p.read_end.get(), buffer, 100, buffer.size()), 4u);
    EXPECT_EQ(buffer, "head:tail");

    p.put("new");
    EXPECT_EQ(read_fast(p.read_end.get(), buffer, 100), 3u);
    EXPECT_EQ(buffer, "new");

    // An offset inside the buffer overwrites from there and the buffer ends after the new bytes.
    buffer = "0123456789";
    p.put("ab");
    EXPECT_EQ(read_fast(p.read_end.get(), buffer, 100, 3), 2u);
    EXPECT_EQ(buffer, "012ab");

    // Past the end, the gap is filled with zero bytes.
    buffer = "x";
    p.put("y");
    EXPECT_EQ(read_fast(p.read_end.get(), buffer, 100, 3), 1u);
    EXPECT_EQ(buffer, std::string("x\0\0y", 4));
}

TEST(ReadFast, EndOfFileReadsNothingAndKeepsWhatWasThere) {
    Pipe p;
    p.write_end.reset();
    std::string buffer = "kept";
    read_all_fast(p.read_end.get(), buffer);
    EXPECT_EQ(buffer, "kept");
    EXPECT_EQ(read_fast(p.read_end.get(), buffer, 10, buffer.size()), 0u);
    EXPECT_EQ(buffer, "kept");
}

TEST(ReadFast, ReadAllAppendsEverythingBeyondOneChunk) {
    char path[] = "/tmp/tarvok-readfast-XXXXXX";
    UniqueFd fd(mkostemp(path, O_CLOEXEC));
    ASSERT_TRUE(fd.valid());
    unlink(path);
    std::string content;
    for (std::size_t i = 0; content.size() < 2 * Tarvok::LoadFile::ReadFast::READ_CHUNK + 77; ++i) {
        content += std::to_string(i) + "\n";
    }
    ASSERT_EQ(write(fd.get(), content.data(), content.size()),
              static_cast<ssize_t>(content.size()));
    lseek(fd.get(), 0, SEEK_SET);
    std::string buffer = ">";
    read_all_fast(fd.get(), buffer);
    EXPECT_EQ(buffer, ">" + content);
}

// The reader blocks on an empty pipe; a timer keeps interrupting it (the handler is installed
// without SA_RESTART, so read() really fails with EINTR) until a writer process delivers.
TEST(ReadFast, ReadInterruptedBySignalsIsRepeatedUntilDataArrives) {
    Pipe p;
    struct sigaction action {
    }, previous{};
    action.sa_handler = count_alarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    alarms = 0;

    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        usleep(300 * 1000);
        const char text[] = "late";
        _exit(write(p.write_end.get(), text, 4) == 4 ? 0 : 1);
    }
    itimerval every_20ms{{0, 20 * 1000}, {0, 20 * 1000}};
    setitimer(ITIMER_REAL, &every_20ms, nullptr);

    std::string buffer = "a";
    const std::size_t n = read_fast(p.read_end.get(), buffer, 64, buffer.size());

    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    int status = 0;
    waitpid(writer, &status, 0);

    EXPECT_EQ(n, 4u);
    EXPECT_EQ(buffer, "alate");
    EXPECT_GT(alarms.load(), 0) << "the read was never interrupted";
}

TEST(ReadFast, RealReadErrorRaisesWithTheSystemTextAndLeavesTheBuffer) {
    UniqueFd dir(open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_TRUE(dir.valid());
    std::string buffer = "before";
    errno = 0;
    try {
        read_fast(dir.get(), buffer, 16, buffer.size());
        FAIL() << "no error raised";
    } catch (const Tarvok::Error& e) {
        EXPECT_NE(std::string(e.what()).find(std::strerror(EISDIR)), std::string::npos) << e.what();
        EXPECT_EQ(errno, EISDIR);
    }
    EXPECT_EQ(buffer, "before");
    EXPECT_THROW(read_fast(dir.get(), buffer, 16), Tarvok::Error);
    EXPECT_EQ(buffer, "before");
    EXPECT_THROW(read_all_fast(dir.get(), buffer), Tarvok::Error);
    EXPECT_EQ(buffer, "before");
    char raw[8];
    EXPECT_THROW(read_fast(dir.get(), raw, sizeof raw), Tarvok::Error);
}
