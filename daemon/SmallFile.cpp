#include "SmallFile.hpp"

#include "Tarvok/LoadFile/ReadFast.hpp"

namespace Tvwrapd::SmallFile {

std::string read_all(int fd, long size_hint) {
    std::string content;
    // The size is a hint: one byte more lets the first read see the end of a file that did not
    // change; a file that grew meanwhile is still read to its end.
    if (size_hint > 0) content.reserve(static_cast<std::size_t>(size_hint) + 1);
    Tarvok::LoadFile::ReadFast::read_all_fast(fd, content);
    return content;
}

}  // namespace Tvwrapd::SmallFile
