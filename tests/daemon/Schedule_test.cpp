// The shortest time between two runs of a job: known schedules, then random ones against a plain
// walk over the calendar that enumerates every run minute; and Debian's cron itself, run over a
// few midnights of a fake clock, says which days it runs them on, as the walk says it does.
#include "Schedule.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <random>
#include <vector>

#include "support/SandboxRoot.hpp"
#include "support/TruthTable.hpp"

namespace CrontabCheck = Tvwrapd::CrontabCheck;
using Tvwrapd::Schedule::Intervals;

namespace {

constexpr std::int64_t HOUR = 60;
constexpr std::int64_t DAY = 24 * HOUR;
constexpr std::int64_t NEVER = -1;

CrontabCheck::Times times_of(const std::string& line) {
    const auto reading = CrontabCheck::read(line + " job\n");
    EXPECT_TRUE(reading.problems.empty()) << line << ": " << reading.problems.front().reason;
    return reading.jobs.at(0).times;
}

std::int64_t shortest(const std::string& line) {
    return Intervals().shortest(times_of(line)).value_or(NEVER);
}

// The weekday of a date by Sakamoto's method (0 Sunday), unlike the day counts of the code.
int weekday(int y, int m, int d) {
    static const int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (m < 3) y -= 1;
    return (y + y / 4 - y / 100 + y / 400 + offsets[m - 1] + d) % 7;
}

int days_in(int y, int m) {
    if (m == 2) return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0 ? 29 : 28;
    return m == 4 || m == 6 || m == 9 || m == 11 ? 30 : 31;
}

// Whether cron runs a job with `t` on the day y-m-d.
bool runs_on(const CrontabCheck::Times& t, int y, int m, int d) {
    const bool dom = t.days >> d & 1;
    const bool dow = t.weekdays >> weekday(y, m, d) & 1;
    return (t.months >> m & 1) && (t.days_star || t.weekdays_star ? dom && dow : dom || dow);
}

// Day by day through 400 years and on to the first run of the next 400, every run minute of every
// run day, as cron would match each one.
std::int64_t walked(const CrontabCheck::Times& t) {
    constexpr std::int64_t CYCLE = 146097;
    std::int64_t day = 0;
    std::int64_t previous = -1;
    std::int64_t best = NEVER;
    std::vector<int> times_of_day;
    for (int time = 0; time < DAY; ++time) {
        if ((t.hours >> (time / HOUR) & 1) && (t.minutes >> (time % HOUR) & 1)) {
            times_of_day.push_back(time);
        }
    }
    for (int y = 2000;; ++y) {
        for (int m = 1; m <= 12; ++m) {
            for (int d = 1; d <= days_in(y, m); ++d, ++day) {
                if (day == CYCLE && previous < 0) return NEVER;
                if (!runs_on(t, y, m, d)) continue;
                for (const int time : times_of_day) {
                    const std::int64_t now = day * DAY + time;
                    if (previous >= 0 && (best == NEVER || now - previous < best)) {
                        best = now - previous;
                    }
                    previous = now;
                    if (day >= CYCLE) return best;
                }
            }
        }
    }
}

// One field of a random schedule, leaning towards the rare days: 29 to 31, short months, 7 for
// Sunday, steps after '*' (which make cron want both day fields).
std::string random_field(std::mt19937& rng, int field, int low, int high) {
    static constexpr int LIMITS[5][2] = {{0, 59}, {0, 23}, {1, 31}, {1, 12}, {0, 7}};
    if (low < 0) {
        low = LIMITS[field][0];
        high = LIMITS[field][1];
    }
    static const char* const MONTHS[] = {"jan", "Feb", "mar", "APR", "may", "jun",
                                         "jul", "aug", "Sep", "oct", "nov", "dec"};
    static const char* const DAYS[] = {"sun", "Mon", "tue", "wed", "thu", "fri", "SAT"};
    auto pick = [&](int a, int b) { return std::uniform_int_distribution<int>(a, b)(rng); };
    auto value = [&]() -> std::string {
        if (field == 2 && pick(0, 2) == 0) return std::to_string(pick(28, 31));
        if (field == 3 && pick(0, 3) == 0) return MONTHS[pick(0, 11)];
        if (field == 4 && pick(0, 3) == 0) return DAYS[pick(0, 6)];
        return std::to_string(pick(low, high));
    };
    std::string text;
    for (int items = pick(1, 3), i = 0; i < items; ++i) {
        if (i > 0) text += ',';
        const int a = pick(low, high);
        const int b = pick(a, high);
        switch (pick(0, 5)) {
            case 0:
                text += "*";
                break;
            case 1:
                text += "*/" + std::to_string(pick(1, high));
                break;
            case 2:
                text += std::to_string(a) + "-" + std::to_string(b);
                break;
            case 3:
                text +=
                    std::to_string(a) + "-" + std::to_string(b) + "/" + std::to_string(pick(1, 9));
                break;
            default:
                text += value();
                break;
        }
    }
    return text;
}

}  // namespace

TEST(ScheduleShortest, KnownSchedules) {
    TestSupport::expect_table<std::string, std::int64_t>(
        {
            {"* * * * *", 1},
            {"*/5 * * * *", 5},
            {"0,50 * * * *", 10},  // from :50 to the next hour's :00
            {"0 * * * *", HOUR},
            {"@hourly", HOUR},
            {"0-59/45 * * * *", 15},
            {"0-59/45 */6 * * *", 45},
            {"30 9,10 * * *", HOUR},
            {"0,59 0,23 * * *", 1},  // 23:59, then 00:00 the next day
            {"@daily", DAY},
            {"0 12 * * mon-fri", DAY},
            {"0 0 * * 1", 7 * DAY},
            {"@weekly", 7 * DAY},
            {"0 0 * * 7", 7 * DAY},
            // A day field that does not start with '*' adds its days to the other's.
            {"0 0 1-31 * 1", DAY},
            {"0 0 1,15 * 5", DAY},
            {"0 0 31 2 1", 7 * DAY},
            // One that does makes cron want both.
            {"0 0 */1 * 1", 7 * DAY},
            {"0 0 * * */1", DAY},
            {"0 0 1 * *", 28 * DAY},   // 1 February to 1 March
            {"0 0 31 * *", 31 * DAY},  // 31 July to 31 August
            {"@monthly", 28 * DAY},
            {"@yearly", 365 * DAY},
            {"0 0 29 2 *", 1461 * DAY},  // four years, eight across 2100
            {"0 0 30 2 *", NEVER},
            {"0 0 31 4,6,9,11 *", NEVER},
        },
        shortest);
}

TEST(ScheduleShortest, EqualsAPlainWalkOverTheCalendar) {
    constexpr unsigned SEED = 20240501;
    std::mt19937 rng(SEED);
    constexpr int LIMITS[5][2] = {{0, 59}, {0, 23}, {1, 31}, {1, 12}, {0, 7}};
    Intervals shared;  // one crontab's worth of lines: later ones reuse the day walks
    for (int n = 0; n < 1000; ++n) {
        std::string line;
        CrontabCheck::Times times;
        // Few runs a day, so that the walk that enumerates them stays quick.
        do {
            line.clear();
            for (int f = 0; f < 5; ++f) {
                if (f == 0 || f == 1) {
                    line += std::to_string(
                        std::uniform_int_distribution<int>(LIMITS[f][0], LIMITS[f][1])(rng));
                    if (rng() % 2) line += "," + random_field(rng, f, LIMITS[f][0], LIMITS[f][1]);
                } else {
                    line += random_field(rng, f, LIMITS[f][0], LIMITS[f][1]);
                }
                line += f < 4 ? " " : "";
            }
            times = times_of(line);
        } while (std::popcount(times.minutes) * std::popcount(times.hours) > 120);
        EXPECT_EQ(shared.shortest(times).value_or(NEVER), walked(times))
            << "'" << line << "' (seed " << SEED << ", schedule " << n << ")";
    }
}

// Each of a few fake midnights: Debian's cron, in a private mount namespace with its own spool and
// no system crontab, runs a crontab of random day fields at 00:00 under a clock set half a minute
// before; each job leaves a file, and the jobs that ran are those the walk above runs that day.
// The half minute is cron's time to start on a busy machine: one that is not yet waiting for the
// next minute when midnight passes runs nothing that day.
TEST(ScheduleShortest, DebiansCronRunsTheDaysTheWalkRuns) {
    if (geteuid() != 0) GTEST_SKIP() << "a private mount namespace needs root";
    for (const char* program : {"/usr/sbin/cron", "/usr/bin/faketime"}) {
        if (access(program, X_OK) != 0) GTEST_SKIP() << program << " missing (scripts/deps.sh)";
    }
    struct Midnight {
        int y, m, d;
        const char* eve;
    };
    // A leap day, the last of a 30-day month (a Sunday), the last of a year (a Sunday too).
    const std::vector<Midnight> midnights = {{2024, 2, 29, "2024-02-28 23:59:30"},
                                             {2023, 4, 30, "2023-04-29 23:59:30"},
                                             {2023, 12, 31, "2023-12-30 23:59:30"}};
    std::mt19937 rng(7);
    std::vector<std::string> days;
    std::vector<CrontabCheck::Times> times;
    for (int i = 0; i < 300; ++i) {
        days.push_back(random_field(rng, 2, -1, 0) + " " + random_field(rng, 3, -1, 0) + " " +
                       random_field(rng, 4, -1, 0));
        times.push_back(times_of("0 0 " + days.back()));
    }
    TestSupport::SandboxRoot work;
    std::string script;
    for (std::size_t n = 0; n < midnights.size(); ++n) {
        const std::string out = work.path("/" + std::to_string(n));
        TestSupport::make_dirs(out);
        std::string crontab;
        std::size_t expected = 0;
        for (std::size_t i = 0; i < days.size(); ++i) {
            crontab += "0 0 " + days[i] + " touch " + out + "/" + std::to_string(i) + "\n";
            const Midnight& day = midnights[n];
            expected += runs_on(times[i], day.y, day.m, day.d);
        }
        work.write("/crontab" + std::to_string(n), crontab, 0600);
        // On a busy machine cron takes its time to start a hundred jobs: it is stopped once as
        // many have run as the walk expects and a second has passed, or a minute after midnight.
        // faketime runs cron as its child: timeout's signal reaches both.
        script +=
            "unshare -m sh -ec '"
            "mount --make-rprivate /; "
            "for d in /var/spool/cron /etc/cron.d /run; do mount -t tmpfs tmpfs $d; done; "
            "mount --bind /dev/null /etc/crontab; mkdir /var/spool/cron/crontabs; "
            "cp -p " +
            work.path("/crontab" + std::to_string(n)) +
            " /var/spool/cron/crontabs/root; "
            "timeout 120 faketime \"" +
            midnights[n].eve +
            "\" /usr/sbin/cron -f & "
            "i=0; until [ $(ls " +
            out + " | wc -l) -ge " + std::to_string(expected) +
            " ] || [ $i -ge 900 ]; do sleep 0.1; i=$((i + 1)); done; "
            "sleep 1; kill $!; wait' & ";
    }
    const auto r = TestSupport::run({"/bin/sh", "-c", script + "wait"},
                                    {"PATH=/usr/sbin:/usr/bin:/sbin:/bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (std::size_t n = 0; n < midnights.size(); ++n) {
        const auto ran = TestSupport::entries(work.path("/" + std::to_string(n)));
        const Midnight& day = midnights[n];
        ASSERT_FALSE(ran.empty()) << "cron ran no job on " << day.y << "-" << day.m << "-" << day.d
                                  << ": it was not waiting for midnight yet";
        for (std::size_t i = 0; i < days.size(); ++i) {
            EXPECT_EQ(ran.count(std::to_string(i)) == 1, runs_on(times[i], day.y, day.m, day.d))
                << "'" << days[i] << "' on " << day.y << "-" << day.m << "-" << day.d;
        }
    }
}
