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
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tvwrapd::CrontabCheck {

inline constexpr std::size_t MAX_LINES = 10000;
/// The largest crontab, in bytes of the text itself (not of its JSON form).
inline constexpr std::size_t MAX_LENGTH = 1024 * 1024;

/// Why `text` cannot be installed; nothing when it can. The empty text passes (it removes the
/// crontab), and so does a last line without a line end.
std::optional<std::string> check(std::string_view text);

/// When a job line runs, as cron reads its time fields: one bit per value a field matches.
struct Times {
    std::uint64_t minutes = 0;  ///< bit m: minute m
    std::uint32_t hours = 0;    ///< bit h: hour h
    std::uint32_t days = 0;     ///< bit d: day d of the month (1-31)
    std::uint16_t months = 0;   ///< bit m: month m (1-12)
    std::uint8_t weekdays = 0;  ///< bit w: w days after Sunday (a 7 is Sunday's bit 0)
    /// The day-of-month or the day-of-week field starts with '*' ("*", "*/2"): cron then runs the
    /// job on the days that match both fields; on the days that match either otherwise.
    bool days_star = false;
    bool weekdays_star = false;
};

/// A line cron runs: five time fields or a shortcut.
struct Job {
    std::size_t line = 0;  ///< counted from 1
    bool reboot = false;   ///< @reboot: runs at start-up, at no time of the calendar
    Times times;
};

struct Problem {
    std::size_t line = 0;  ///< 0 for the text as a whole (too large, too many lines)
    std::string reason;
};

/// What cron makes of a text: every line it would refuse (or the one problem of the whole text)
/// and every job it would run, each in line order.
struct Reading {
    std::vector<Problem> problems;
    std::vector<Job> jobs;
};

/// Reads all of `text`, where check() stops at the first problem.
Reading read(std::string_view text);

}  // namespace Tvwrapd::CrontabCheck
