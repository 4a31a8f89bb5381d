// Tarvok::SafeDir::RM: removing a directory and everything in it, cheapest way first.
//
// The tree is walked through directory descriptors (openat/unlinkat with O_NOFOLLOW), never by
// re-resolving paths, so a symbolic link inside it is removed as a link and nothing outside the
// tree is ever touched, even if entries are swapped for links while the walk runs. `dir` itself
// must be a real directory: a symbolic link to one is refused. The path is used as given.
#pragma once

#include <string_view>

namespace Tarvok::SafeDir::RM {

/// Removes `dir` with its contents. True when it is gone; false when it was not a directory or
/// something in it could not be removed (whatever could be removed is gone). Never raises.
/// A directory that needed the walk through its whole tree also resets the recorded child status
/// (Tarvok::Process::set_child_status(0)).
bool safermdir(std::string_view dir);

/// safermdir without the reset: for callers that must leave the child status as it was.
bool remove_directory(std::string_view dir);

}  // namespace Tarvok::SafeDir::RM
