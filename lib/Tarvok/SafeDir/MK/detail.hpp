// Tarvok::SafeDir::MK internals that the tests and the fuzzer reach: the pure path cleaning,
// which never touches the disk.
#pragma once

#include <string>
#include <string_view>

namespace Tarvok::SafeDir::MK {

/// True when `path` has ".." as a whole part: the path itself, "../" at the start, "/../" inside,
/// or "/.." at the end.
bool _has_dot_dot(std::string_view path);

namespace detail {

enum class CleanStatus {
    Path,       ///< `path` is the cleaned path
    SelfEntry,  ///< the path names its own start ("." or "./")
    Empty,      ///< nothing is left once cleaned ("", "a/..")
    Climbs,     ///< a ".." would climb above the start
    DotsOnly,   ///< a part is made only of dots ("...")
    NulByte,    ///< the path holds a NUL byte, which no system call could be given
};

struct CleanPath {
    CleanStatus status = CleanStatus::Empty;
    /// With CleanStatus::Path: "/" or a path whose parts are never empty, ".", ".." or all dots,
    /// starting with "/" exactly when the input did.
    std::string path;
    /// The input held ".." as a part (see _has_dot_dot).
    bool had_dot_dot = false;
    /// With CleanStatus::Climbs: the first part of the path, which the ".." would leave.
    std::string first_part;
};

CleanPath clean_path(std::string_view dir);

}  // namespace detail
}  // namespace Tarvok::SafeDir::MK
