#include "CrontabCheck.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "Printable.hpp"

namespace Tvwrapd::CrontabCheck {
namespace {

using Printable::printable;

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

// cron separates fields with blanks only; its environment parser treats every C space as one.
bool is_blank(char c) {
    return c == ' ' || c == '\t';
}
bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
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

// A number (bounded, so no field can overflow) or, where the field has them, a name.
std::optional<int> _value(std::string_view text, const Field& field) {
    if (text.empty()) return std::nullopt;
    if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        if (text.size() > 6) return std::nullopt;
        int value = 0;
        for (char c : text) value = value * 10 + (c - '0');
        return value;
    }
    if (text.size() != 3) return std::nullopt;
    for (std::size_t i = 0; i < field.name_count; ++i) {
        const char* name = field.names[i];
        bool same = true;
        for (std::size_t k = 0; k < 3; ++k) {
            const char c = text[k];
            const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            same = same && lower == name[k];
        }
        if (same) return field.low + static_cast<int>(i);
    }
    return std::nullopt;
}

enum class ItemProblem { none, syntax, range, backwards, step };

ItemProblem _item(std::string_view item, const Field& field) {
    std::string_view range = item;
    std::optional<std::string_view> step;
    if (const auto slash = item.find('/'); slash != std::string_view::npos) {
        range = item.substr(0, slash);
        step = item.substr(slash + 1);
    }
    bool is_range = range == "*";
    if (!is_range) {
        const auto dash = range.find('-');
        const auto first = _value(range.substr(0, dash), field);
        if (!first) return ItemProblem::syntax;
        if (*first < field.low || *first > field.high) return ItemProblem::range;
        if (dash != std::string_view::npos) {
            const auto last = _value(range.substr(dash + 1), field);
            if (!last) return ItemProblem::syntax;
            if (*last < field.low || *last > field.high) return ItemProblem::range;
            if (*last < *first) return ItemProblem::backwards;
            is_range = true;
        }
    }
    if (step) {
        // A step after a single value is read differently by different crons: refuse it.
        if (!is_range || step->empty() || step->size() > 6) return ItemProblem::syntax;
        if (!std::all_of(step->begin(), step->end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return ItemProblem::syntax;
        }
        if (step->find_first_not_of('0') == std::string_view::npos) return ItemProblem::step;
    }
    return ItemProblem::none;
}

std::optional<std::string> _check_field(std::string_view token, const Field& field) {
    std::size_t start = 0;
    for (;;) {
        const auto comma = token.find(',', start);
        const auto item =
            token.substr(start, comma == std::string_view::npos ? comma : comma - start);
        const ItemProblem problem = _item(item, field);
        if (problem != ItemProblem::none) {
            std::string reason =
                "bad " + std::string(field.name) + " '" + printable(token, 40) + "'";
            switch (problem) {
                case ItemProblem::backwards:
                    return reason + " (range runs backwards)";
                case ItemProblem::step:
                    return reason + " (step must be at least 1)";
                default:
                    return reason + " (" + field.allowed + ")";
            }
        }
        if (comma == std::string_view::npos) return std::nullopt;
        start = comma + 1;
    }
}

std::optional<std::string> _entry(std::string_view line) {
    if (line.front() == '@') {
        const std::string_view word = take_token(line);
        if (std::find(SHORTCUTS.begin(), SHORTCUTS.end(), word) == SHORTCUTS.end()) {
            return "unknown shortcut '" + printable(word, 40) +
                   "' (@reboot @yearly @annually @monthly @weekly @daily @midnight @hourly)";
        }
        if (line.empty()) return std::string("missing command");
        return std::nullopt;
    }
    for (const Field& field : FIELDS) {
        if (line.empty()) return "missing " + std::string(field.name);
        if (auto problem = _check_field(take_token(line), field)) return problem;
    }
    if (line.empty()) return std::string("missing command");
    return std::nullopt;
}

// cron's own environment parser, state for state: a line it takes for a setting never reaches
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

std::optional<std::string> _line(std::string_view line) {
    if (line.find('\0') != std::string_view::npos) return std::string("contains a NUL byte");
    // cron would keep the carriage return as part of the command, which then never runs.
    if (line.find('\r') != std::string_view::npos) {
        return std::string("contains a carriage return (saved with DOS line ends?)");
    }
    line = skip_blanks(line);
    if (line.empty() || line.front() == '#') return std::nullopt;
    EnvReading env = _environment(line);
    if (env.problem) return env.problem;
    if (env.is_setting) return std::nullopt;
    return _entry(line);
}

}  // namespace

std::optional<std::string> check(std::string_view text) {
    if (text.size() > MAX_LENGTH) {
        return "crontab is too large (" + std::to_string(text.size()) + " bytes; at most " +
               std::to_string(MAX_LENGTH) + ")";
    }
    std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    if (!text.empty() && text.back() != '\n') ++lines;
    if (lines > MAX_LINES) {
        return "crontab has too many lines (" + std::to_string(lines) + "; at most " +
               std::to_string(MAX_LINES) + ")";
    }
    std::size_t number = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        ++number;
        const auto end = text.find('\n', start);
        const auto line = text.substr(start, end == std::string_view::npos ? end : end - start);
        if (auto problem = _line(line)) return "line " + std::to_string(number) + ": " + *problem;
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return std::nullopt;
}

}  // namespace Tvwrapd::CrontabCheck
