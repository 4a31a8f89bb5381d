// Tvwrapd::CrontabCheck: reads a user crontab the way Debian's cron will, before it is stored.
//
// A text passes when cron would take every line as intended: comments and blank lines; environment
// settings (NAME=value, spaces around "=" optional, the value optionally in matching quotes); jobs
// with five time fields or one of the @ shortcuts, followed by a command. Anything cron would
// reject, misread or silently run differently is refused with one line that names the line number:
//
//     check("* * * * * date\n61 * * * * date\n")  // "line 2: bad minute '61' (0-59)"
//
// Bytes are bytes: the command part is not looked at beyond being there, whatever its encoding.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace Tvwrapd::CrontabCheck {

inline constexpr std::size_t MAX_LINES = 10000;
inline constexpr std::size_t MAX_LENGTH = 1024 * 1024;

/// Why `text` cannot be installed; nothing when it can. The empty text passes (it removes the
/// crontab), and so does a last line without a line end.
std::optional<std::string> check(std::string_view text);

}  // namespace Tvwrapd::CrontabCheck
