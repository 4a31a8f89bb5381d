// Tvwrapd::Schedule: how close together the runs of one job line come.
//
// The shortest time between two consecutive runs of a job as Debian's cron runs it, over the whole
// Gregorian calendar: month ends, leap years and cron's rule for day of month and day of week
// included. Daylight-saving shifts are ignored: the clock is taken as never jumping. The calendar
// repeats every 400 years (146,097 days, a whole number of weeks), so one such cycle, wrapped
// around, holds every gap there is, and the answer is exact.
//
//     Schedule::Intervals intervals;
//     intervals.shortest(times_of("0,50 * * * *"))  // 10
//     intervals.shortest(times_of("0 0 29 2 *"))    // 1461 days: 2,103,840
//     intervals.shortest(times_of("0 0 30 2 *"))    // nothing: it never runs
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>

#include "CrontabCheck.hpp"

namespace Tvwrapd::Schedule {

inline constexpr std::int64_t MINUTES_PER_DAY = 24 * 60;

/// Answers for the lines of a crontab, one after the other. The days a job runs on cost a walk
/// over the calendar's months; jobs that share their three day fields share that walk. Not for
/// two threads at once.
class Intervals {
  public:
    /// The minutes between the two closest consecutive runs of a job with `times`; nothing for
    /// a job that never runs (30 February).
    std::optional<std::int64_t> shortest(const CrontabCheck::Times& times);

  private:
    /// The fewest days between two consecutive days the job runs on, by its day fields; 0 when
    /// it runs on none.
    std::unordered_map<std::uint64_t, std::int64_t> day_gaps_;
};

}  // namespace Tvwrapd::Schedule
