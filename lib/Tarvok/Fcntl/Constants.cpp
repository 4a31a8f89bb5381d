// The table is written out with x86-64 Linux values so that it reads the same on every machine;
// on that platform the build refuses to go on if the C library disagrees with any of them.
#include "Tarvok/Fcntl/Constants.hpp"

#if defined(__linux__) && defined(__x86_64__)
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Tarvok::Fcntl::Constants {
namespace {

struct Native {
    std::string_view name;
    int value;
};

#define TARVOK_NATIVE(name) \
    Native {                \
#name, name         \
    }
constexpr std::array<Native, 35> kNative = {{
    TARVOK_NATIVE(O_RDONLY),    TARVOK_NATIVE(O_WRONLY),   TARVOK_NATIVE(O_RDWR),
    TARVOK_NATIVE(O_ACCMODE),   TARVOK_NATIVE(O_CREAT),    TARVOK_NATIVE(O_EXCL),
    TARVOK_NATIVE(O_TRUNC),     TARVOK_NATIVE(O_APPEND),   TARVOK_NATIVE(O_NONBLOCK),
    TARVOK_NATIVE(O_DIRECTORY), TARVOK_NATIVE(O_NOFOLLOW), TARVOK_NATIVE(O_CLOEXEC),
    TARVOK_NATIVE(F_GETFD),     TARVOK_NATIVE(F_SETFD),    TARVOK_NATIVE(F_GETFL),
    TARVOK_NATIVE(F_SETFL),     TARVOK_NATIVE(FD_CLOEXEC), TARVOK_NATIVE(LOCK_SH),
    TARVOK_NATIVE(LOCK_EX),     TARVOK_NATIVE(LOCK_NB),    TARVOK_NATIVE(LOCK_UN),
    TARVOK_NATIVE(SEEK_SET),    TARVOK_NATIVE(SEEK_CUR),   TARVOK_NATIVE(SEEK_END),
    TARVOK_NATIVE(S_IFMT),      TARVOK_NATIVE(S_IFIFO),    TARVOK_NATIVE(S_IFCHR),
    TARVOK_NATIVE(S_IFDIR),     TARVOK_NATIVE(S_IFBLK),    TARVOK_NATIVE(S_IFREG),
    TARVOK_NATIVE(S_IFLNK),     TARVOK_NATIVE(S_IFSOCK),   TARVOK_NATIVE(S_ISUID),
    TARVOK_NATIVE(S_ISGID),     TARVOK_NATIVE(S_IWOTH),
}};
#undef TARVOK_NATIVE

constexpr bool table_matches_platform() {
    if (kNative.size() != TABLE.size()) return false;
    for (const Native& native : kNative) {
        if (find(native.name) != native.value) return false;
    }
    return true;
}
static_assert(table_matches_platform(), "file-control constants differ from the C library's");

}  // namespace
}  // namespace Tarvok::Fcntl::Constants
#endif
