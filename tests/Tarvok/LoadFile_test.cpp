#include "Tarvok/LoadFile.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include "Tarvok/Error.hpp"
#include "Tarvok/Exception.hpp"
#include "support/SandboxRoot.hpp"

namespace {

namespace LF = Tarvok::LoadFile;
namespace E = Tarvok::Exception;

std::string pattern(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 256) & 0xff);
    return s;
}

class LoadFileTest : public ::testing::Test {
  protected:
    std::string at(const std::string& name) const { return root_.dir() + "/" + name; }
    std::string put(const std::string& name, std::string_view content) const {
        TestSupport::write_file(at(name), content);
        return at(name);
    }

    TestSupport::SandboxRoot root_;
};

TEST_F(LoadFileTest, LoadfileAnswersNothingForWhatCannotBeReadAndSaysWhyInErrno) {
    errno = 0;
    EXPECT_FALSE(LF::loadfile(at("missing")));
    EXPECT_EQ(errno, ENOENT);

    // A directory opens but cannot be read: the front end shows this errno to the user.
    errno = 0;
    EXPECT_FALSE(LF::loadfile(root_.dir()));
    EXPECT_EQ(errno, EISDIR);

    put("plain", "x");
    errno = 0;
    EXPECT_FALSE(LF::loadfile(at("plain/below")));
    EXPECT_EQ(errno, ENOTDIR);

    if (geteuid() != 0) {
        put("secret", "hidden");
        chmod(at("secret").c_str(), 0);
        errno = 0;
        EXPECT_FALSE(LF::loadfile(at("secret")));
        EXPECT_EQ(errno, EACCES);
    }
}

TEST_F(LoadFileTest, LoadfileOfAnEmptyFileIsTheEmptyTextAndLeavesErrnoAlone) {
    put("empty", "");
    errno = 0;
    std::optional<std::string> text = LF::loadfile(at("empty"));
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, "");
    EXPECT_EQ(errno, 0);

    errno = EPERM;
    EXPECT_EQ(LF::loadbinfile(put("bytes", std::string("a\0\xff\n", 4))),
              std::string("a\0\xff\n", 4));
    EXPECT_EQ(errno, EPERM);
}

TEST_F(LoadFileTest, LinesKeepTheirLineFeedsAndTheLastMayLackOne) {
    put("lines", "one\n\ntwo\nlast");
    std::optional<LF::Lines> lines = LF::loadfileasarrayref(at("lines"));
    ASSERT_TRUE(lines);
    EXPECT_EQ(*lines, (LF::Lines{"one\n", "\n", "two\n", "last"}));

    std::optional<LF::Loaded> loaded = LF::loadfile_r(at("lines"), {.array_ref = true});
    ASSERT_TRUE(loaded);
    EXPECT_EQ(std::get<LF::Lines>(*loaded).size(), 4u);
    // loadfile wants a text; asking it for lines therefore gives none.
    EXPECT_FALSE(LF::loadfile(at("lines"), {.array_ref = true}));

    EXPECT_EQ(LF::loadfileasarrayref(put("empty", "")), LF::Lines{});
    EXPECT_FALSE(LF::loadfileasarrayref(at("missing")));
}

TEST_F(LoadFileTest, SlurpfileCopiesTheWholeFileToTheHandle) {
    const std::string content = pattern(300000);
    put("big", content);
    const std::string out = at("copy");
    {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        LF::slurpfile(fd, at("big"));
        LF::slurpfile(fd, at("missing"));
        close(fd);
    }
    EXPECT_EQ(TestSupport::read_file(out), content);
}

TEST_F(LoadFileTest, LoadReturnsEveryByteAroundTheChunkBoundary) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{262143},
                             std::size_t{262144}, std::size_t{262145}, std::size_t{1} << 20}) {
        const std::string content = pattern(size);
        const std::string path = put("f" + std::to_string(size), content);
        EXPECT_EQ(LF::load(path), content) << size;
        std::string buffer = "stale";
        LF::load_r(path, buffer);
        EXPECT_EQ(buffer, content) << size;
        EXPECT_EQ(LF::load_if_exists(path), content) << size;
    }
}

TEST_F(LoadFileTest, OffsetAndLengthSelectASlice) {
    const std::string content = pattern(100);
    const std::string path = put("hundred", content);
    EXPECT_EQ(LF::load(path, 10, 5), content.substr(10, 5));
    EXPECT_EQ(LF::load(path, 0, 5), content.substr(0, 5));
    EXPECT_EQ(LF::load(path, 90), content.substr(90));
    EXPECT_EQ(LF::load(path, 95, 50), content.substr(95));
    EXPECT_EQ(LF::load(path, 200), "");
    EXPECT_EQ(LF::load(path, 0, 0), "");
    const std::string big = pattern(700000);
    EXPECT_EQ(LF::load(put("big", big), 1, 600000), big.substr(1, 600000));
}

TEST_F(LoadFileTest, MissingFilesRaiseOnlyInTheStrictForms) {
    errno = EAGAIN;
    EXPECT_FALSE(LF::load_if_exists(at("missing")));
    std::string untouched = "kept";
    EXPECT_FALSE(LF::load_r_if_exists(at("missing"), untouched));
    EXPECT_EQ(untouched, "kept");
    EXPECT_EQ(errno, EAGAIN);

    try {
        LF::load(at("missing"));
        FAIL() << "no exception";
    } catch (const E::FileNotFound& e) {
        EXPECT_TRUE(E::is_a(e, "Tarvok::Exception::FileNotFound"));
        ASSERT_NE(e.get("error"), nullptr);
        EXPECT_EQ(std::get<long long>(*e.get("error")), 2);
        EXPECT_EQ(std::get<std::string>(*e.get("path")), at("missing"));
    }
    std::string buffer;
    EXPECT_THROW(LF::load_r(at("missing"), buffer), E::FileNotFound);
}

TEST_F(LoadFileTest, OtherFailuresRaiseTheirOwnClassInEveryLoadForm) {
    put("plain", "x");
    try {
        LF::load_if_exists(at("plain/below"));
        FAIL() << "no exception";
    } catch (const E::OpenFailed& e) {
        EXPECT_EQ(std::get<long long>(*e.get("error")), ENOTDIR);
        EXPECT_EQ(std::get<std::string>(*e.get("mode")), "reading");
        EXPECT_EQ(errno, ENOTDIR);
    }

    // A pipe cannot be positioned.
    const std::string fifo = at("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int keep_open = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    try {
        LF::load(fifo, 10);
        FAIL() << "no exception";
    } catch (const E::SeekFailed& e) {
        EXPECT_EQ(std::get<long long>(*e.get("position")), 10);
        EXPECT_EQ(std::get<long long>(*e.get("whence")), 0);
        EXPECT_EQ(std::get<long long>(*e.get("error")), ESPIPE);
    }
    close(keep_open);

    // A directory opens and then fails to read.
    EXPECT_THROW(LF::load(root_.dir()), Tarvok::Error);
    EXPECT_EQ(errno, EISDIR);
}

// Writes `parts` into a fifo with pauses while SIGUSR1 keeps hitting the reading thread, which
// is blocked in read() (the handler is installed without SA_RESTART, so read() fails with EINTR).
class InterruptedReads {
  public:
    InterruptedReads(const std::string& fifo, std::vector<std::string> parts)
        : reader_(pthread_self()) {
        struct sigaction sa {};
        sa.sa_handler = [](int) { ++hits; };
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        sigaction(SIGUSR1, &sa, &old_);
        hits = 0;
        // Opened read-write so that neither side's open() blocks; closing it ends the data.
        writer_fd_ = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
        writer_ = std::thread([this, parts = std::move(parts)] {
            for (const std::string& part : parts) {
                std::this_thread::sleep_for(std::chrono::milliseconds(40));
                for (int i = 0; i < 3; ++i) {
                    pthread_kill(reader_, SIGUSR1);
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                std::size_t done = 0;
                while (done < part.size()) {
                    ssize_t n = write(writer_fd_, part.data() + done, part.size() - done);
                    if (n > 0) done += static_cast<std::size_t>(n);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            pthread_kill(reader_, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            close(writer_fd_);
        });
    }
    ~InterruptedReads() {
        if (writer_.joinable()) writer_.join();
        sigaction(SIGUSR1, &old_, nullptr);
    }
    static inline std::atomic<int> hits{0};

  private:
    pthread_t reader_;
    int writer_fd_ = -1;
    std::thread writer_;
    struct sigaction old_ {};
};

TEST_F(LoadFileTest, ReadsInterruptedByASignalAreRepeated) {
    const std::string fifo = at("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::string> parts = {pattern(1000), "middle\n", pattern(5000)};
    const std::string whole = parts[0] + parts[1] + parts[2];

    {
        InterruptedReads signals(fifo, parts);
        std::optional<std::string> text = LF::loadfile(fifo);
        ASSERT_TRUE(text);
        EXPECT_EQ(*text, whole);
    }
    EXPECT_GE(InterruptedReads::hits.load(), 4);
    {
        InterruptedReads signals(fifo, parts);
        EXPECT_EQ(LF::load(fifo), whole);
    }
    {
        InterruptedReads signals(fifo, parts);
        EXPECT_EQ(LF::load(fifo, 0, whole.size() - 3), whole.substr(0, whole.size() - 3));
    }
    {
        InterruptedReads signals(fifo, parts);
        std::optional<LF::Lines> lines = LF::loadfileasarrayref(fifo);
        ASSERT_TRUE(lines);
        std::string joined;
        for (const auto& line : *lines) joined += line;
        EXPECT_EQ(joined, whole);
    }
}

}  // namespace
