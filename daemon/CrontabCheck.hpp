// Tvwrapd::CrontabCheck: reads a user crontab the way Debian's cron (3.0pl1) will, before it is
// stored, so that the daemon never installs a file that cron ignores as a whole.
//
// Every text cron refuses is refused here too, naming the line. A few texts cron would take are
// refused as well, because cron would misread them or run nothing for them: a carriage return, a
// NUL byte, a job without a command, a backwards range, text stuck to a time field, a setting
// without a name or longer than cron reads, numbers too large for cron to read as written. The
// manual page lists them. A text whose only fault is a missing last line end passes: the daemon
// adds the line end.
//
//     check("* * * * * date\n61 * * * * date\n")  // "line 2: bad minute '61' (0-59)"
//
// Bytes are bytes: the command is not looked at beyond what cron itself looks at.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace Tvwrapd::CrontabCheck {

inline constexpr std::size_t MAX_LINES = 10000;
/// The largest crontab, in bytes of the text itself (not of its JSON form).
inline constexpr std::size_t MAX_LENGTH = 1024 * 1024;

/// Why `text` cannot be installed; nothing when it can. The empty text passes (it removes the
/// crontab), and so does a last line without a line end.
std::optional<std::string> check(std::string_view text);

}  // namespace Tvwrapd::CrontabCheck
