// Tarvok::SafeDir::MK: creating a directory and its missing parents from a path that may come
// from anywhere.
//
// The path is cleaned before anything touches the disk: runs of "/" count as one, "." parts are
// dropped, each ".." cancels the part before it and may never climb above the start of the path
// (the root for an absolute path, the working directory for a relative one), parts made only of
// dots ("...") and NUL bytes are refused, and no more than 100 parts are created. Levels are
// checked and created one at a time, outermost first. The path is used as given: callers that mean
// a fixed system path apply Tarvok::SysRoot themselves.
//
//     std::vector<std::string> made;
//     auto result = safemkdir("tmp//work/./a", 0700, &made);   // 3; made = tmp, tmp/work,
//                                                               //    tmp/work/a
//
// Every refusal and failure is logged with Tarvok::Debug::log_warn and leaves errno saying why
// (ENOTDIR for something other than a directory in the way, EINVAL for an unusable path,
// ENAMETOOLONG for too many parts). Directories made before a failure stay, and are listed.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace Tarvok::SafeDir::MK {

/// Mode of new directories when none is given: 0755 (the umask applies).
inline constexpr mode_t DEFAULT_PERMISSIONS = 0755;
/// The most parts a path may have (an absolute path's leading "/" is one).
inline constexpr std::size_t MAX_DEPTH = 100;

/// A mode as a number (0700), or as a text: "0700" is octal (a leading 0, at least 3 characters,
/// octal digits only); "448" is decimal; "" means no mode. Any other text, or a value outside
/// 0..07777, means DEFAULT_PERMISSIONS.
using Mode = std::variant<long long, std::string>;

/// Creates `dir` and its missing parents with `mode`, appending each directory it creates to
/// `created` (outermost first).
///
/// Returns the number of directories created. For a directory that already exists: 1, or with a
/// mode, whether giving it that mode worked (1 or 0); an existing symbolic link to a directory is
/// left alone and gives 1. A refused path or something in the way gives 0; a failed mkdir() and a
/// path that cleans to nothing give nullopt. Success is therefore a result of 1 or more.
std::optional<int> safemkdir(std::string_view dir, std::optional<Mode> mode = std::nullopt,
                             std::vector<std::string>* created = nullptr);

/// safemkdir(), raising DirCreateFailed (`path` = dir, `error` = errno) unless it succeeds.
int safemkdir_or_die(std::string_view dir, std::optional<Mode> mode = std::nullopt,
                     std::vector<std::string>* created = nullptr);

}  // namespace Tarvok::SafeDir::MK
