#include "Filesystem.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "Tarvok/Error.hpp"

namespace Tvwrapd::Filesystem {

void fail(const std::string& what, const std::string& path, int error) {
    throw Tarvok::Error(what + " '" + path + "': " + std::strerror(error));
}

void make_parents(const std::string& path) {
    for (auto slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (mkdir(parent.c_str(), 0755) == 0) {
            chmod(parent.c_str(), 0755);
        } else if (errno != EEXIST) {
            fail("Cannot create directory", parent, errno);
        }
    }
}

}  // namespace Tvwrapd::Filesystem
