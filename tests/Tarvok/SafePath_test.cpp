#include "Tarvok/SafePath.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "Tarvok/Wire.hpp"
#include "Tarvok/Wrap.hpp"
#include "support/ChildProcess.hpp"
#include "support/FakeDaemon.hpp"
#include "support/HostingRoot.hpp"

namespace SafePath = Tarvok::SafePath;
using TestSupport::FakeDaemon;

namespace {

constexpr uid_t kOther = TestSupport::PLAIN_UID;
constexpr std::string_view kSocket = Tarvok::Wire::TVWRAPD_SOCKET_PATH;

}  // namespace

// Each layout around the daemon's socket, and the entry the check blames (none: it passes).
TEST(SafePathCheck, OnlyRootCanHaveWrittenWhatPasses) {
    struct Case {
        const char* what;
        std::function<void(const TestSupport::SandboxRoot&)> prepare;
        std::string blamed;  // system path of the entry at fault
        std::string why;
    };
    auto as_root = [](auto&&...) {};
    const std::vector<Case> cases{
        {"everything root's, writable by root only", as_root, "", ""},
        {"socket directory anyone can write",
         [](const auto& root) { chmod(root.path("/usr/local/tarvok/var").c_str(), 01777); },
         "/usr/local/tarvok/var", "can be written by its group or by others (mode 1777)"},
        {"a directory further up writable by its group",
         [](const auto& root) { chmod(root.path("/usr/local").c_str(), 0775); }, "/usr/local",
         "can be written by its group or by others (mode 0775)"},
        {"a directory of another account",
         [](const auto& root) {
             EXPECT_EQ(chown(root.path("/usr/local/tarvok").c_str(), kOther, 0), 0);
         },
         "/usr/local/tarvok", "belongs to uid 4002, not to root"},
        {"the socket of another account",
         [](const auto& root) { EXPECT_EQ(lchown(root.path(kSocket).c_str(), kOther, kOther), 0); },
         std::string(kSocket), "belongs to uid 4002, not to root"},
        {"a link to a directory anyone can write",
         [](const auto& root) {
             rename(root.path("/usr/local/tarvok/var").c_str(), root.path("/open").c_str());
             chmod(root.path("/open").c_str(), 0777);
             EXPECT_EQ(
                 symlink(root.path("/open").c_str(), root.path("/usr/local/tarvok/var").c_str()),
                 0);
         },
         "/open", "can be written by its group or by others (mode 0777)"},
        {"a link to a directory of root's",
         [](const auto& root) {
             rename(root.path("/usr/local/tarvok/var").c_str(), root.path("/safe").c_str());
             EXPECT_EQ(symlink("../../../safe", root.path("/usr/local/tarvok/var").c_str()), 0);
         },
         "", ""},
        {"something else at the socket's path",
         [](const auto& root) {
             unlink(root.path(kSocket).c_str());
             root.write(kSocket, "");
         },
         std::string(kSocket), "is not a socket"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestSupport::SandboxRoot root;
        const auto daemon = FakeDaemon::answering("{}");
        c.prepare(root);
        const SafePath::Verdict verdict =
            SafePath::check_socket(root.path(kSocket), SafePath::Owners::client());
        EXPECT_EQ(verdict.error, 0);
        EXPECT_EQ(verdict.problem,
                  c.blamed.empty() ? "" : "'" + root.path(c.blamed) + "' " + c.why);
    }

    TestSupport::SandboxRoot root;
    EXPECT_EQ(SafePath::check_socket(root.path(kSocket), SafePath::Owners::client()).error, ENOENT);
    // The daemon's lock: a regular file only root can write.
    const std::string lock = root.path("/lock");
    root.write("/lock", "", 0600);
    struct Lock {
        mode_t mode;
        uid_t owner;
        std::string why;
    };
    for (const Lock& l :
         std::vector<Lock>{{0600, 0, ""},
                           {0620, 0, "can be written by its group or by others (mode 0620)"},
                           {0600, kOther, "belongs to uid 4002, not to root"}}) {
        chmod(lock.c_str(), l.mode);
        EXPECT_EQ(chown(lock.c_str(), l.owner, 0), 0);
        const Tarvok::UniqueFd fd(open(lock.c_str(), O_RDONLY | O_CLOEXEC));
        EXPECT_EQ(SafePath::check_file(fd.get(), lock, SafePath::Owners::daemon()).problem,
                  l.why.empty() ? "" : "'" + lock + "' " + l.why);
    }
}

// A restricted environment may run in a user namespace, where root's files and root's daemon
// read as the overflow uid: they are still root's. Outside, that uid is an account like any other.
TEST(SafePathOwners, RootReadsAsTheOverflowUidInAUserNamespace) {
    TestSupport::SandboxRoot root;
    const auto daemon = FakeDaemon::answering(R"({"status":1})");
    const uid_t overflow = std::stoul(TestSupport::read_file("/proc/sys/kernel/overflowuid"));
    EXPECT_FALSE(SafePath::Owners::client().trusts(overflow));

    const TestSupport::RunResult r = TestSupport::run_forked([&] {
        if (unshare(CLONE_NEWUSER) != 0) return 77;
        struct stat st {};
        if (lstat(root.path(kSocket).c_str(), &st) != 0 || st.st_uid != overflow) return 2;
        const auto answer = Tarvok::Wrap::send_tvwrapd_request({.function = "fetch"});
        if (!answer.status()) std::fprintf(stderr, "%s\n", answer.statusmsg().c_str());
        return answer.status() ? 0 : 1;
    });
    if (r.status == 77) GTEST_SKIP() << "no user namespaces on this machine";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(daemon->requests().size(), 1u);
}
