#include "SmallFile.hpp"

#include <sys/stat.h>

#include <algorithm>

#include "Tarvok/LoadFile/ReadFast.hpp"

namespace Tvwrapd::SmallFile {

std::string read_all(int fd, long size_hint) {
    struct stat st {};
    // The size is a hint: one byte more lets the first read see the end of a file that did not
    // change; a file that grew meanwhile is still read to its end.
    std::size_t want = 4096;
    if (size_hint < 0 && fstat(fd, &st) == 0) size_hint = st.st_size;
    if (size_hint > 0) want = std::max(want, static_cast<std::size_t>(size_hint) + 1);
    std::string content;
    while (Tarvok::LoadFile::ReadFast::read_fast(fd, content, want, content.size()) == want) {
        want = std::min<std::size_t>(want * 2, Tarvok::LoadFile::ReadFast::READ_CHUNK);
    }
    return content;
}

}  // namespace Tvwrapd::SmallFile
