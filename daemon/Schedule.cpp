#include "Schedule.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>

namespace Tvwrapd::Schedule {
namespace {

using CrontabCheck::Times;

constexpr int CYCLE_YEARS = 400;
constexpr std::int64_t CYCLE_DAYS = 146097;
constexpr std::int64_t NONE = std::numeric_limits<std::int64_t>::max();
constexpr std::array<int, 12> MONTH_DAYS = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool _leap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// A year's shape: whether it is a leap year, and the weekday of its 1 January (0 Sunday).
int _year_type(bool leap, int weekday) {
    return (leap ? 7 : 0) + weekday;
}

struct Cycle {
    std::array<std::uint8_t, CYCLE_YEARS> type;
    std::array<std::int32_t, CYCLE_YEARS> start;  ///< day of 1 January, counted from 2000-01-01
};

const Cycle& _cycle() {
    static const Cycle cycle = [] {
        Cycle c{};
        std::int32_t day = 0;
        for (int i = 0; i < CYCLE_YEARS; ++i) {
            const bool leap = _leap(2000 + i);
            c.start[i] = day;
            c.type[i] = static_cast<std::uint8_t>(_year_type(leap, (6 + day) % 7));  // a Saturday
            day += leap ? 366 : 365;
        }
        return c;
    }();
    return cycle;
}

// The smallest distance between two set bits; 0 when fewer than two are set.
int _closest(std::uint64_t bits) {
    if (std::popcount(bits) < 2) return 0;
    int k = 1;
    while ((bits & (bits >> k)) == 0) ++k;
    return k;
}

int _lowest(std::uint64_t bits) {
    return std::countr_zero(bits);
}

int _highest(std::uint64_t bits) {
    return 63 - std::countl_zero(bits);
}

std::int64_t _fewest_days(const Times& t) {
    // Day bits 1-31 that fall on one of the job's weekdays, in a month whose 1st is `first`.
    std::array<std::uint32_t, 7> on_weekdays{};
    for (int first = 0; first < 7; ++first) {
        for (int day = 1; day <= 31; ++day) {
            if (t.weekdays >> ((first + day - 1) % 7) & 1) on_weekdays[first] |= 1u << day;
        }
    }
    const bool both = t.days_star || t.weekdays_star;
    // The run days of a month of 28 + `l` days whose 1st is weekday `w`, and their closest two.
    std::array<std::array<std::uint32_t, 7>, 4> runs{};
    std::array<std::array<int, 7>, 4> closest{};
    for (int l = 0; l < 4; ++l) {
        const std::uint32_t month = ((1u << (28 + l)) - 1) << 1;
        for (int w = 0; w < 7; ++w) {
            runs[l][w] = (both ? t.days & on_weekdays[w] : t.days | on_weekdays[w]) & month;
            closest[l][w] = _closest(runs[l][w]);
        }
    }
    std::int64_t best = NONE;
    // Every year type (leap or not, any weekday of 1 January) comes round in the cycle: the
    // first and last run day of each, counted from 1 January, and the closest two inside it.
    struct Year {
        int first = -1;
        int last = -1;
    };
    std::array<Year, 14> years{};
    for (int leap = 0; leap < 2; ++leap) {
        for (int weekday = 0; weekday < 7; ++weekday) {
            Year& year = years[_year_type(leap, weekday)];
            int start = 0;
            for (int m = 0; m < 12; ++m) {
                const int length = MONTH_DAYS[m] + (m == 1 ? leap : 0);
                const int w = (weekday + start) % 7;
                const std::uint32_t days = runs[length - 28][w];
                if ((t.months >> (m + 1) & 1) && days != 0) {
                    if (closest[length - 28][w] != 0)
                        best = std::min<std::int64_t>(best, closest[length - 28][w]);
                    const int first = start + _lowest(days) - 1;
                    if (year.last >= 0) best = std::min<std::int64_t>(best, first - year.last);
                    if (year.first < 0) year.first = first;
                    year.last = start + _highest(days) - 1;
                }
                start += length;
            }
        }
    }
    if (best == 1) return best;
    const Cycle& cycle = _cycle();
    std::int64_t first = -1;
    std::int64_t last = -1;
    for (int i = 0; i < CYCLE_YEARS; ++i) {
        const Year& year = years[cycle.type[i]];
        if (year.first < 0) continue;
        if (last >= 0) {
            best = std::min(best, cycle.start[i] + year.first - last);
        } else {
            first = cycle.start[i] + year.first;
        }
        last = cycle.start[i] + year.last;
    }
    if (first < 0) return 0;
    return std::min(best, first + CYCLE_DAYS - last);
}

}  // namespace

std::optional<std::int64_t> Intervals::shortest(const Times& times) {
    if (times.minutes == 0 || times.hours == 0) return std::nullopt;
    const std::uint64_t key = std::uint64_t{times.days} | std::uint64_t{times.months} << 32 |
                              std::uint64_t{times.weekdays} << 48 |
                              std::uint64_t{times.days_star || times.weekdays_star} << 56;
    auto found = day_gaps_.find(key);
    if (found == day_gaps_.end()) found = day_gaps_.emplace(key, _fewest_days(times)).first;
    const std::int64_t days = found->second;
    if (days == 0) return std::nullopt;

    // Within a day the job runs at the same times every day it runs.
    const int first_minute = _lowest(times.minutes);
    const int minute_span = _highest(times.minutes) - first_minute;
    std::int64_t within = NONE;
    if (const int minutes = _closest(times.minutes)) within = minutes;
    if (const int hours = _closest(times.hours)) {
        within = std::min<std::int64_t>(within, hours * 60 - minute_span);
    }
    const std::int64_t day_span = (_highest(times.hours) - _lowest(times.hours)) * 60 + minute_span;
    return std::min(within, days * MINUTES_PER_DAY - day_span);
}

}  // namespace Tvwrapd::Schedule
