// Tvwrapd::SmallFile: reads a whole small file (a crontab, an access list, the group file) from an
// open descriptor in as few reads as its size allows, without the large read buffers that bulk
// loading uses: the daemon reads such files on every request.
#pragma once

#include <string>

namespace Tvwrapd::SmallFile {

/// The whole content of `fd` from its current position; throws Tarvok::Error when a read fails.
/// `size_hint`, when known, spares a look at the file's size.
std::string read_all(int fd, long size_hint = -1);

}  // namespace Tvwrapd::SmallFile
