#include "SmallFile.hpp"

#include <unistd.h>

#include "Tarvok/LoadFile/ReadFast.hpp"

namespace Tvwrapd::SmallFile {

std::string read_all(int fd, long size_hint) {
    std::string content;
    if (size_hint > 0) {
        // One read of the size the file's status gave, and a byte more: when it brings just that
        // size, it has met the end of the file, and nothing else needs asking.
        content.resize(static_cast<std::size_t>(size_hint) + 1);
        const ssize_t n = ::read(fd, content.data(), content.size());
        content.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        if (n == size_hint) return content;
    }
    // A file that changed meanwhile (or a read that failed or was interrupted) is read on to its
    // end, and a failure reported, the usual way.
    Tarvok::LoadFile::ReadFast::read_all_fast(fd, content);
    return content;
}

}  // namespace Tvwrapd::SmallFile
