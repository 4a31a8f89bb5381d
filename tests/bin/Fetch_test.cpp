// Listing: the text goes out as it stands, and a listing that cannot be written is no success.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "Operations.hpp"
#include "Tarvok/Process.hpp"
#include "support/SandboxRoot.hpp"
#include "support/StderrCapture.hpp"

namespace {

using namespace PenSafeCrontab;

// Points descriptor 1 at `path` while alive.
class StdoutTo {
  public:
    explicit StdoutTo(const char* path) : saved_(dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        const int fd = open(path, O_WRONLY | O_CLOEXEC);
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
    ~StdoutTo() {
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        std::clearerr(stdout);
    }

  private:
    int saved_;
};

int exit_status_of(void (*operation)()) {
    try {
        operation();
    } catch (const Tarvok::Process::ExitRequest& request) {
        return request.status;
    }
    return -1;
}

TEST(DisplayCrontab, AFullOutputEndsWithStatusOneAndSaysWhy) {
    program().invocation_name = "crontab";
    program().crontab_text = std::string(100000, '#') + "\n@daily x\n";
    TestSupport::StderrCapture err;
    int status = -1;
    {
        StdoutTo full("/dev/full");
        status = exit_status_of(_display_crontab);
    }
    EXPECT_EQ(status, 1);
    EXPECT_THAT(err.text(), ::testing::HasSubstr("crontab: could not write the crontab"));
    EXPECT_THAT(err.text(), ::testing::HasSubstr("No space left on device"));
}

TEST(DisplayCrontab, WritesTheTextAsItStandsAndEndsWithStatusZero) {
    // A listing ends the process itself, so it runs in a child of the test.
    program().crontab_text = "@daily x\n# no line end, a byte \xff";
    const TestSupport::SandboxRoot root;
    const std::string listing = root.path("/listing");
    TestSupport::write_file(listing, "");
    EXPECT_EXIT(
        {
            StdoutTo file(listing.c_str());
            _display_crontab();
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(TestSupport::read_file(listing), program().crontab_text);
}

}  // namespace
