#include "SmallFile.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "Tarvok/UniqueFd.hpp"
#include "support/SandboxRoot.hpp"

// The size hint comes from a status taken before the read; a file that changed since is still
// read whole, whether it grew or shrank, and so is one whose size was not known.
TEST(DaemonSmallFile, WholeFileWhateverTheSizeHint) {
    TestSupport::SandboxRoot root;
    for (const std::size_t size : {std::size_t{1}, std::size_t{4096}, std::size_t{70000}}) {
        std::string content(size, 'c');
        content.back() = '\n';
        root.write("/crontab", content);
        for (const long hint : {static_cast<long>(size), static_cast<long>(size) - 1,
                                static_cast<long>(size) + 1, 1L, -1L}) {
            SCOPED_TRACE("size " + std::to_string(size) + ", hint " + std::to_string(hint));
            const Tarvok::UniqueFd fd(open(root.path("/crontab").c_str(), O_RDONLY | O_CLOEXEC));
            ASSERT_TRUE(fd);
            EXPECT_EQ(Tvwrapd::SmallFile::read_all(fd.get(), hint), content);
        }
    }
}
