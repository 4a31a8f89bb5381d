#include "support/FailingSync.hpp"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

namespace TestSupport {
namespace {

std::mutex g_lock;
std::string g_path_end;

bool _fails(int fd) {
    std::lock_guard hold(g_lock);
    if (g_path_end.empty()) return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    char path[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(link.c_str(), path, sizeof path);
    return n > 0 && std::string(path, static_cast<std::size_t>(n)).ends_with(g_path_end);
}

}  // namespace

FailingSync::FailingSync(std::string path_end) {
    std::lock_guard hold(g_lock);
    g_path_end = std::move(path_end);
}

FailingSync::~FailingSync() {
    std::lock_guard hold(g_lock);
    g_path_end.clear();
}

}  // namespace TestSupport

extern "C" int fsync(int fd) {
    const int saved = errno;
    if (TestSupport::_fails(fd)) {
        errno = EIO;
        return -1;
    }
    errno = saved;
    return static_cast<int>(syscall(SYS_fsync, fd));
}
