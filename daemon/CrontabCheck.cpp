#include "CrontabCheck.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>

#include "Printable.hpp"

namespace Tvwrapd::CrontabCheck {
namespace {

using Printable::printable;

// cron's reading limits. A line is handed to the environment reader cut after SETTING_READ bytes
// (counted from its first non-blank byte), so a longer setting loses its end without a word; a
// command of more than COMMAND_MAX bytes, and a run of letters and digits in a time field of more
// than WORD_MAX, make cron ignore the whole file.
constexpr std::size_t SETTING_READ = 998;
constexpr std::size_t COMMAND_MAX = 998;
constexpr std::size_t WORD_MAX = 999;

struct Field {
    const char* name;
    int low;
    int high;
    const char* allowed;
    /// Three-letter names for low, low + 1, ...; empty when the field takes only numbers.
    std::array<const char*, 12> names;
    std::size_t name_count;
};

constexpr std::array<Field, 5> FIELDS = {{
    {"minute", 0, 59, "0-59", {}, 0},
    {"hour", 0, 23, "0-23", {}, 0},
    {"day of month", 1, 31, "1-31", {}, 0},
    {"month",
     1,
     12,
     "1-12 or jan-dec",
     {"jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"},
     12},
    // 7 is Sunday too; the names stop at sat.
    {"day of week", 0, 7, "0-7 or sun-sat", {"sun", "mon", "tue", "wed", "thu", "fri", "sat"}, 7},
}};

constexpr std::array<std::string_view, 8> SHORTCUTS = {
    "@reboot", "@yearly", "@annually", "@monthly", "@weekly", "@daily", "@midnight", "@hourly"};

// cron separates fields with blanks only; its environment reader treats every C space as one.
bool is_blank(char c) {
    return c == ' ' || c == '\t';
}
bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
// cron reads the crontab in the C locale's terms: letters and digits are ASCII.
bool is_alnum(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::string_view skip_blanks(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && is_blank(s[i])) ++i;
    return s.substr(i);
}

std::string_view take_token(std::string_view& s) {
    std::size_t i = 0;
    while (i < s.size() && !is_blank(s[i])) ++i;
    std::string_view token = s.substr(0, i);
    s = skip_blanks(s.substr(i));
    return token;
}

enum class ItemProblem { none, syntax, range, backwards, step, big_step };

// The run of letters and digits at `pos`, as cron collects one number or name.
std::string_view _word(std::string_view token, std::size_t& pos) {
    const std::size_t start = pos;
    while (pos < token.size() && is_alnum(token[pos])) ++pos;
    return token.substr(start, pos - start);
}

/// The number `word` stands for: its digits (growing no further once past any field or step),
/// or its place among `field`'s names.
std::optional<std::int64_t> _value(std::string_view word, const Field* field) {
    if (word.empty() || word.size() > WORD_MAX) return std::nullopt;
    if (std::all_of(word.begin(), word.end(), is_digit)) {
        // Once at the cap a value stays there: one more digit would overflow.
        constexpr std::int64_t cap = INT64_MAX / 10;
        std::int64_t value = 0;
        for (char c : word) value = value < cap ? std::min(value * 10 + (c - '0'), cap) : cap;
        return value;
    }
    if (field == nullptr || word.size() != 3) return std::nullopt;
    for (std::size_t i = 0; i < field->name_count; ++i) {
        const char* name = field->names[i];
        bool same = true;
        for (std::size_t k = 0; k < 3; ++k) {
            const char c = word[k];
            const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            same = same && lower == name[k];
        }
        if (same) return field->low + static_cast<std::int64_t>(i);
    }
    return std::nullopt;
}

// One item of a list: "*", a value or a range, a step after "*" or a range. Reads from `pos` and
// leaves `pos` after the item; sets the bits of the values it matches in `bits`.
ItemProblem _item(std::string_view token, std::size_t& pos, const Field& field,
                  std::uint64_t& bits) {
    std::int64_t first = field.low;
    std::int64_t last = field.high;
    bool is_range = true;
    if (pos < token.size() && token[pos] == '*') {
        ++pos;
    } else {
        const auto value = _value(_word(token, pos), &field);
        if (!value) return ItemProblem::syntax;
        first = last = *value;
        if (pos < token.size() && token[pos] == '-') {
            ++pos;
            const auto end = _value(_word(token, pos), &field);
            if (!end) return ItemProblem::syntax;
            last = *end;
        } else {
            // cron refuses a step after a single value.
            is_range = false;
        }
    }
    std::int64_t step = 1;
    if (pos < token.size() && token[pos] == '/') {
        if (!is_range) return ItemProblem::syntax;
        ++pos;
        const auto value = _value(_word(token, pos), nullptr);
        if (!value) return ItemProblem::syntax;
        // cron reads the step into an int: a larger one may turn into nothing or a small step.
        if (*value < 1) return ItemProblem::step;
        if (*value > INT_MAX) return ItemProblem::big_step;
        step = *value;
    }
    if (first < field.low || first > field.high || last < field.low || last > field.high) {
        return ItemProblem::range;
    }
    // cron takes these but never runs them.
    if (last < first) return ItemProblem::backwards;
    for (std::int64_t value = first; value <= last; value += step)
        bits |= std::uint64_t{1} << value;
    return ItemProblem::none;
}

ItemProblem _list(std::string_view token, const Field& field, std::uint64_t& bits) {
    std::size_t pos = 0;
    for (;;) {
        if (const ItemProblem problem = _item(token, pos, field, bits);
            problem != ItemProblem::none) {
            return problem;
        }
        if (pos == token.size()) return ItemProblem::none;
        // cron skips whatever follows a list up to the next blank; it is a typo all the same.
        if (token[pos] != ',') return ItemProblem::syntax;
        ++pos;
    }
}

std::optional<std::string> _check_field(std::string_view token, const Field& field,
                                        std::uint64_t& bits) {
    const ItemProblem problem = _list(token, field, bits);
    if (problem == ItemProblem::none) return std::nullopt;
    std::string reason = "bad " + std::string(field.name) + " '" + printable(token, 40) + "'";
    switch (problem) {
        case ItemProblem::backwards:
            return reason + " (range runs backwards)";
        case ItemProblem::step:
            return reason + " (step must be at least 1)";
        case ItemProblem::big_step:
            return reason + " (step must be at most " + std::to_string(INT_MAX) + ")";
        default:
            return reason + " (" + field.allowed + ")";
    }
}

std::optional<std::string> _command(std::string_view command, bool after_fields) {
    if (command.empty()) return std::string("missing command");
    if (command.front() == '*') {
        return std::string("the command may not start with '*' (a sixth time field?)");
    }
    // After a time field cron takes this byte for the end of the file.
    if (after_fields && command.front() == '\xff') {
        return std::string("the command may not start with the byte 0xFF");
    }
    if (command.size() > COMMAND_MAX) {
        return "command too long (" + std::to_string(command.size()) + " bytes; at most " +
               std::to_string(COMMAND_MAX) + ")";
    }
    return std::nullopt;
}

constexpr std::uint32_t EVERY_HOUR = (1u << 24) - 1;
constexpr std::uint32_t EVERY_DAY = ((1u << 31) - 1) << 1;
constexpr std::uint16_t EVERY_MONTH = ((1u << 12) - 1) << 1;
constexpr std::uint8_t EVERY_WEEKDAY = (1u << 7) - 1;

// What each shortcut stands for, as the five fields the manual gives for it.
Times _shortcut_times(std::string_view word) {
    Times times{1, 1, EVERY_DAY, EVERY_MONTH, EVERY_WEEKDAY, true, true};
    if (word == "@hourly") {
        times.hours = EVERY_HOUR;
    } else if (word == "@weekly") {
        times.weekdays = 1;
    } else if (word == "@monthly") {
        times.days = 1u << 1;
        times.days_star = false;
    } else if (word == "@yearly" || word == "@annually") {
        times.days = 1u << 1;
        times.months = 1u << 1;
        times.days_star = false;
    }
    return times;
}

std::optional<std::string> _entry(std::string_view line, Job& job) {
    if (line.front() == '@') {
        const std::string_view word = take_token(line);
        if (std::find(SHORTCUTS.begin(), SHORTCUTS.end(), word) == SHORTCUTS.end()) {
            return "unknown shortcut '" + printable(word, 40) +
                   "' (@reboot @yearly @annually @monthly @weekly @daily @midnight @hourly)";
        }
        job.reboot = word == "@reboot";
        job.times = _shortcut_times(word);
        return _command(line, false);
    }
    std::array<std::uint64_t, FIELDS.size()> bits{};
    for (std::size_t i = 0; i < FIELDS.size(); ++i) {
        if (line.empty()) return "missing " + std::string(FIELDS[i].name);
        const std::string_view token = take_token(line);
        if (i == 2) job.times.days_star = token.front() == '*';
        if (i == 4) job.times.weekdays_star = token.front() == '*';
        if (auto problem = _check_field(token, FIELDS[i], bits[i])) return problem;
    }
    job.times.minutes = bits[0];
    job.times.hours = static_cast<std::uint32_t>(bits[1]);
    job.times.days = static_cast<std::uint32_t>(bits[2]);
    job.times.months = static_cast<std::uint16_t>(bits[3]);
    // Sunday is both 0 and 7.
    job.times.weekdays = static_cast<std::uint8_t>((bits[4] | bits[4] >> 7) & EVERY_WEEKDAY);
    return _command(line, true);
}

// cron's own environment reader, state for state: a line it takes for a setting never reaches
// the job parser, and a line it gives up on is read as a job.
enum class EnvState {
    name_start,
    name,
    before_equals,
    after_equals,
    value_start,
    value,
    done,
    error
};

struct EnvReading {
    bool is_setting = false;
    /// Set when the line went past its "=" and is still not a setting: it was meant as one.
    std::optional<std::string> problem;
};

EnvReading _environment(std::string_view line) {
    EnvState state = EnvState::name_start;
    char quote = 0;
    bool saw_equals = false;
    std::string name;
    std::size_t i = 0;
    while (state != EnvState::error && i < line.size()) {
        const char c = line[i];
        switch (state) {
            case EnvState::name_start:
            case EnvState::value_start:
                if (c == '\'' || c == '"') {
                    quote = c;
                    ++i;
                }
                state = state == EnvState::name_start ? EnvState::name : EnvState::value;
                break;
            case EnvState::name:
            case EnvState::value:
                if (quote) {
                    if (c == quote) {
                        state = state == EnvState::name ? EnvState::before_equals : EnvState::done;
                        ++i;
                        break;
                    }
                    if (state == EnvState::name && c == '=') {
                        state = EnvState::error;
                        break;
                    }
                } else if (state == EnvState::name) {
                    if (is_space(c)) {
                        state = EnvState::before_equals;
                        ++i;
                        break;
                    }
                    if (c == '=') {
                        state = EnvState::before_equals;
                        break;
                    }
                }
                if (state == EnvState::name) name.push_back(c);
                ++i;
                break;
            case EnvState::before_equals:
                if (c == '=') {
                    state = EnvState::after_equals;
                    quote = 0;
                    saw_equals = true;
                } else if (!is_space(c)) {
                    state = EnvState::error;
                }
                ++i;
                break;
            case EnvState::after_equals:
                if (is_space(c)) {
                    ++i;
                } else {
                    state = EnvState::value_start;
                }
                break;
            case EnvState::done:
                if (is_space(c)) {
                    ++i;
                } else {
                    state = EnvState::error;
                }
                break;
            case EnvState::error:
                break;
        }
    }
    EnvReading reading;
    reading.is_setting = state == EnvState::done || (state == EnvState::value && !quote);
    const std::string shown = printable(name, 40);
    if (reading.is_setting) {
        if (name.empty()) reading.problem = "environment setting without a name";
    } else if (saw_equals) {
        if (state == EnvState::value) {
            reading.problem = "unterminated quote in the value of " + shown;
        } else if (state == EnvState::error) {
            reading.problem = "text after the closing quote of the value of " + shown;
        } else {
            reading.problem = shown + " has no value (write " + shown + "=\"\" for an empty one)";
        }
    }
    return reading;
}

// Why cron would not take `line`; nothing when it would. `is_job` is set for a line cron runs,
// which `job` then describes.
std::optional<std::string> _line(std::string_view line, Job& job, bool& is_job) {
    if (line.find('\0') != std::string_view::npos) return std::string("contains a NUL byte");
    // cron would keep the carriage return as part of the command, which then never runs.
    if (!line.empty() && line.back() == '\r') {
        return std::string(
            "carriage return at the end of the line; save the file with Unix "
            "line ends");
    }
    if (line.find('\r') != std::string_view::npos) {
        return std::string("contains a carriage return");
    }
    line = skip_blanks(line);
    if (line.empty() || line.front() == '#') return std::nullopt;
    // cron decides from the part it reads; what the writer meant shows in the whole line.
    const EnvReading head = _environment(line.substr(0, SETTING_READ));
    if (line.size() <= SETTING_READ) {
        if (head.problem) return head.problem;
        if (head.is_setting) return std::nullopt;
        is_job = true;
        return _entry(line, job);
    }
    const EnvReading whole = _environment(line);
    if (head.is_setting || whole.is_setting) {
        return "environment setting too long (" + std::to_string(line.size()) +
               " bytes; cron reads " + std::to_string(SETTING_READ) + ")";
    }
    if (whole.problem) return whole.problem;
    is_job = true;
    return _entry(line, job);
}

// Reads `text` into `reading`, up to its first problem when `first_only` is set.
void _read(std::string_view text, bool first_only, Reading& reading) {
    if (text.size() > MAX_LENGTH) {
        reading.problems.push_back({0, "crontab is too large (" + std::to_string(text.size()) +
                                           " bytes; at most " + std::to_string(MAX_LENGTH) + ")"});
        return;
    }
    std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    if (!text.empty() && text.back() != '\n') ++lines;
    if (lines > MAX_LINES) {
        reading.problems.push_back({0, "crontab has too many lines (" + std::to_string(lines) +
                                           "; at most " + std::to_string(MAX_LINES) + ")"});
        return;
    }
    std::size_t number = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        ++number;
        const auto end = text.find('\n', start);
        const auto line = text.substr(start, end == std::string_view::npos ? end : end - start);
        Job job;
        job.line = number;
        bool is_job = false;
        if (auto problem = _line(line, job, is_job)) {
            reading.problems.push_back({number, std::move(*problem)});
            if (first_only) return;
        } else if (is_job && !first_only) {
            reading.jobs.push_back(job);
        }
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
}

}  // namespace

std::optional<std::string> check(std::string_view text) {
    Reading reading;
    _read(text, true, reading);
    if (reading.problems.empty()) return std::nullopt;
    Problem& first = reading.problems.front();
    if (first.line == 0) return std::move(first.reason);
    return "line " + std::to_string(first.line) + ": " + first.reason;
}

Reading read(std::string_view text) {
    Reading reading;
    _read(text, false, reading);
    return reading;
}

}  // namespace Tvwrapd::CrontabCheck
