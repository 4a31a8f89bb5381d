#include "Filesystem.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Tarvok/Error.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Tvwrapd::Filesystem {

void fail(const std::string& what, const std::string& path, int error) {
    throw Tarvok::Error(what + " '" + path + "': " + std::strerror(error));
}

void flush_parent(const std::string& path) {
    const auto up = path.rfind('/');
    const std::string above = up == 0 ? std::string("/") : path.substr(0, up);
    Tarvok::UniqueFd fd(open(above.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || fsync(fd.get()) != 0) fail("Cannot flush directory", above, errno);
}

void make_parents(const std::string& path) {
    for (auto slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (mkdir(parent.c_str(), 0755) == 0) {
            chmod(parent.c_str(), 0755);
            flush_parent(parent);
        } else if (errno != EEXIST) {
            fail("Cannot create directory", parent, errno);
        }
    }
}

}  // namespace Tvwrapd::Filesystem
