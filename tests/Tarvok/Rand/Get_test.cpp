#include "Tarvok/Rand/Get.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <string>

#include "Tarvok/Exception.hpp"
#include "Tarvok/Rand/FakeKernel.hpp"
#include "support/ChildProcess.hpp"
#include "support/SandboxRoot.hpp"

namespace {

namespace Get = Tarvok::Rand::Get;
using Fake = TestSupport::FakeKernel;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

bool only_from(const std::string& text, std::string_view alphabet) {
    return text.find_first_not_of(alphabet) == std::string::npos;
}

TEST(RandGetTranslation, EveryDefaultCharacterIsEquallyLikelyAndBytes252To255AreDropped) {
    Fake fake;
    // Each block of 256 bytes holds every byte value once: 252 survive, each of the 63
    // characters exactly 4 times.
    for (int block = 0; block < 3; ++block) {
        const std::string text = Get::getranddata(252, {}, 16);
        ASSERT_EQ(text.size(), 252u);
        std::map<char, int> counts;
        for (char c : text) ++counts[c];
        EXPECT_EQ(counts.size(), 63u);
        for (const auto& [c, n] : counts) EXPECT_EQ(n, 4) << c;
    }

    // Nothing but the bytes that must be dropped, and now and then byte 70 (= entry 7).
    Fake only_bad;
    Fake::stream = [](std::size_t n) {
        return static_cast<unsigned char>(n % 5 == 4 ? 70 : 252 + n % 5);
    };
    EXPECT_EQ(Get::getranddata(500), std::string(500, '7'));
}

TEST(RandGetTranslation, RawBytesKeepEveryValueAndOtherAlphabetsRejectOnlyTheTail) {
    Fake fake;
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<char>(i);
    EXPECT_EQ(Get::getranddata(256, Get::raw_bytes, 16), all);

    // 256 is a multiple of 2: no byte is dropped, byte b becomes entry b mod 2.
    Fake two;
    EXPECT_EQ(Get::getranddata(6, "ab", 1), "ababab");

    // Three entries: 255 is the one byte dropped.
    Fake three;
    Fake::stream = [](std::size_t n) { return static_cast<unsigned char>(n % 2 ? 4 : 255); };
    EXPECT_EQ(Get::getranddata(20, "xyz"), std::string(20, 'y'));
}

TEST(RandGetArguments, LengthsAndAlphabetsAreCheckedBeforeAnythingIsDrawn) {
    Fake fake;
    const std::string ten = Get::getranddata();
    EXPECT_EQ(ten.size(), 10u);
    EXPECT_TRUE(only_from(ten, Get::DEFAULT_CHARACTERS));
    EXPECT_EQ(Get::getranddata("").size(), 10u);
    EXPECT_EQ(Get::getranddata("0").size(), 10u);
    EXPECT_EQ(Get::getranddata("007").size(), 7u);
    EXPECT_EQ(Get::getranddata(std::size_t{0}).size(), 10u);

    for (const char* bad : {"12x", "-3", " 4", "1.5", "99999999999999999999999"}) {
        EXPECT_THROW(Get::getranddata(std::string_view(bad)), Tarvok::Exception::BadArgument)
            << bad;
    }
    EXPECT_THROW(Get::getranddata(5, std::string()), Tarvok::Exception::BadArgument);
    EXPECT_THROW(Get::getranddata(5, std::string(257, 'a')), Tarvok::Exception::BadArgument);
    EXPECT_EQ(Get::getranddata(5, std::string(256, 'a')), "aaaaa");
    EXPECT_EQ(Fake::getrandom_calls, 2);
}

TEST(RandGetPool, ShortDrawsAreServedFromOneKernelRequest) {
    Fake fake;
    std::string drawn;
    for (int i = 0; i < 300; ++i) drawn += Get::getranddata(8);
    EXPECT_EQ(Fake::getrandom_calls, 1);
    EXPECT_EQ(Fake::position, 3200u);
    // Characters come out in the order they were prepared; none is handed out twice.
    std::string expected;
    for (std::size_t n = 0; expected.size() < drawn.size(); ++n) {
        if (n % 256 < 252) expected += Get::DEFAULT_CHARACTERS[n % 256 % 63];
    }
    EXPECT_EQ(drawn, expected);

    Get::clear_pool();
    Get::getranddata(8);
    EXPECT_EQ(Fake::getrandom_calls, 2);
}

TEST(RandGetPool, AForkedChildNeverHandsOutItsParentsCharacters) {
    Fake fake;
    Get::getranddata(8);  // the pool now holds 3144 prepared characters
    ASSERT_EQ(Fake::getrandom_calls, 1);

    const TestSupport::RunResult child = TestSupport::run_forked([] {
        const std::string text = Get::getranddata(100);
        const std::string report = std::to_string(Fake::getrandom_calls) + " " + text;
        return write(STDOUT_FILENO, report.data(), report.size()) < 0;
    });
    ASSERT_EQ(child.status, 0) << child.err;
    const std::string& report = child.out;

    const std::string parents_pool = Get::getranddata(100);
    EXPECT_EQ(Fake::getrandom_calls, 1) << "the parent still had its pool";
    ASSERT_GT(report.size(), 2u);
    EXPECT_EQ(report.substr(0, 2), "2 ") << "the child refilled from the kernel";
    EXPECT_NE(report.substr(2), parents_pool);
}

TEST(RandGetPool, ForkedChildrenOfTheRealKernelDrawDifferentCharacters) {
    Get::reset();
    Get::getranddata(8);
    const TestSupport::RunResult child = TestSupport::run_forked([] {
        const std::string text = Get::getranddata(64);
        return write(STDOUT_FILENO, text.data(), text.size()) < 0;
    });
    ASSERT_EQ(child.out.size(), 64u);
    EXPECT_NE(child.out, Get::getranddata(64));
    Get::reset();
}

TEST(RandGetSources, MissingGetrandomSwitchesToTheDeviceSilentlyAndForGood) {
    Fake fake;
    Fake::getrandom_errno = ENOSYS;
    Fake::device = "/dev/zero";  // a character device; the stream comes from the fake read
    CaptureStderr();
    const std::string first = Get::getranddata(8);
    Get::clear_pool();
    const std::string second = Get::getranddata(8);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(first, "01234567");
    EXPECT_EQ(Fake::getrandom_calls, 1);
    EXPECT_EQ(Fake::open_calls, 2) << "the device is opened per call";
    EXPECT_EQ(Get::getrandom_syscall_is_usable(), false);
    EXPECT_EQ(second.size(), 8u);
}

TEST(RandGetSources, OtherGetrandomFailuresWarnOnceThenUseTheDevice) {
    Fake fake;
    Fake::getrandom_errno = EAGAIN;
    CaptureStderr();
    EXPECT_EQ(Get::getranddata(8), "01234567");
    Get::clear_pool();
    Get::getranddata(8);
    const std::string warnings = GetCapturedStderr();
    EXPECT_NE(warnings.find(std::strerror(EAGAIN)), std::string::npos) << warnings;
    EXPECT_NE(warnings.find("/dev/urandom"), std::string::npos) << warnings;
    EXPECT_EQ(std::count(warnings.begin(), warnings.end(), '\n'), 1) << warnings;
    EXPECT_EQ(Fake::getrandom_calls, 1);
}

TEST(RandGetSources, InterruptionsAreRetriedAndShortAnswersUseOnlyTheBytesWritten) {
    Fake fake;
    Fake::getrandom_interruptions = 3;
    Fake::getrandom_short = 4;
    Fake::stream = [](std::size_t) { return static_cast<unsigned char>(1); };
    CaptureStderr();
    // The buffer is pre-filled before each call; nothing of that filler may reach the output.
    EXPECT_EQ(Get::getranddata(50), std::string(50, '1'));
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(Get::getrandom_syscall_is_usable(), true);
}

TEST(RandGetSources, AnUnusableDeviceFallsBackToTheWeakGeneratorWithAWarning) {
    TestSupport::SandboxRoot scratch;
    const std::string regular = scratch.dir() + "/not-a-device";
    TestSupport::write_file(regular, "0123456789");
    struct Case {
        const char* what;
        void (*arrange)(const std::string&);
        const char* says;
    };
    const std::array<Case, 3> cases = {{
        {"missing", [](const std::string&) { Fake::open_errno = ENOENT; },
         "No such file or directory"},
        {"regular file", [](const std::string& path) { Fake::device = path; },
         "not a character device"},
        {"never readable", [](const std::string&) { Fake::read_nothing = true; }, "50"},
    }};
    for (const Case& c : cases) {
        Fake fake;
        Fake::getrandom_errno = ENOSYS;
        c.arrange(regular);
        CaptureStderr();
        const std::string text = Get::getranddata(40, "abc");
        const std::string warnings = GetCapturedStderr();
        EXPECT_EQ(text.size(), 40u) << c.what;
        EXPECT_TRUE(only_from(text, "abc")) << c.what;
        EXPECT_NE(warnings.find(c.says), std::string::npos) << c.what << ": " << warnings;
        EXPECT_NE(warnings.find("weak"), std::string::npos) << c.what << ": " << warnings;
    }
    {
        Fake fake;
        Fake::getrandom_errno = ENOSYS;
        Fake::read_nothing = true;
        CaptureStderr();
        Get::getranddata(4);
        GetCapturedStderr();
        EXPECT_EQ(Fake::read_calls, Get::MAX_READ_ATTEMPTS + 1);
    }
}

}  // namespace
