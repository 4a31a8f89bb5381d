#include "Policy.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "Printable.hpp"
#include "SmallFile.hpp"
#include "Spool.hpp"
#include "Tarvok/Debug.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/SysRoot.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Tvwrapd::Policy {
namespace {

using Printable::printable;

// Far more than any policy or group file; a larger one is not read into the daemon's memory.
constexpr off_t MAX_FILE = 16 * 1024 * 1024;
constexpr std::size_t MAX_DIGITS = 9;

std::string_view _trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// A file as it was when read: a change of any of these is a new version.
struct Stamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{};

    bool operator==(const Stamp& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

Stamp _stamp(const struct stat& st) {
    return Stamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

/// The content of the regular file `path` and its stamp; throws Tarvok::Error with errno's text,
/// ENOENT included (the caller tells a missing file apart through `missing`).
std::string _read(const std::string& path, Stamp& stamp, bool& missing) {
    missing = false;
    // Not blocking: a FIFO in the file's place must not hang the daemon.
    Tarvok::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0) {
        missing = errno == ENOENT;
        throw Tarvok::Error(path + ": " + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) throw Tarvok::Error(path + ": not a regular file");
    if (st.st_size > MAX_FILE) throw Tarvok::Error(path + ": larger than 16 MiB");
    stamp = _stamp(st);
    return SmallFile::read_all(fd.get(), static_cast<long>(st.st_size));
}

// Whole minutes: digits with an optional unit.
std::optional<std::int64_t> _minutes(std::string_view value) {
    // Minutes, hours, days, in either case.
    constexpr std::string_view UNITS = "mhdMHD";
    constexpr std::int64_t SIZES[] = {1, 60, 24 * 60};
    std::int64_t unit = 1;
    if (const auto found = value.empty() ? std::string_view::npos : UNITS.find(value.back());
        found != std::string_view::npos) {
        unit = SIZES[found % 3];
        value.remove_suffix(1);
    }
    if (value.empty() || value.size() > MAX_DIGITS ||
        value.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    return std::stoll(std::string(value)) * unit;
}

struct Parser {
    std::string_view file;
    std::size_t line = 0;

    [[noreturn]] void fail(const std::string& why) const {
        throw Broken(std::string(file) + ":" + std::to_string(line) + ": " + why);
    }

    void set(Rules& rules, std::string_view key, std::string_view value,
             std::map<std::string, std::size_t, std::less<>>& seen) {
        const std::string shown = printable(value, 40);
        if (key != "min_interval" && key != "max_jobs" && key != "reboot") {
            fail("unknown key '" + printable(key, 40) + "' (min_interval, max_jobs, reboot)");
        }
        if (auto first = seen.find(key); first != seen.end()) {
            fail("duplicate key '" + std::string(key) + "' (first at line " +
                 std::to_string(first->second) + ")");
        }
        seen.emplace(std::string(key), line);
        if (key == "min_interval") {
            rules.min_interval = _minutes(value);
            if (!rules.min_interval) {
                fail("bad value '" + shown +
                     "' for min_interval (minutes, or with a unit: 15m, 2h, 1d)");
            }
        } else if (key == "max_jobs") {
            if (value.empty() || value.size() > MAX_DIGITS ||
                value.find_first_not_of("0123456789") != std::string_view::npos) {
                fail("bad value '" + shown + "' for max_jobs (a number of job lines)");
            }
            rules.max_jobs = std::stoll(std::string(value));
        } else if (value == "yes" || value == "no") {
            rules.reboot = value == "yes";
        } else {
            fail("bad value '" + shown + "' for reboot (yes or no)");
        }
    }
};

template <class Value, class Better>
void _most_permissive(std::optional<Value>& into, const std::optional<Value>& candidate,
                      Better better) {
    if (candidate && (!into || better(*candidate, *into))) into = candidate;
}

struct Groups {
    std::multimap<std::string, std::string, std::less<>> by_gid;
    std::multimap<std::string, std::string, std::less<>> by_member;
};

// name:password:gid:member,member
Groups _index_groups(std::string_view content) {
    Groups groups;
    std::size_t start = 0;
    while (start < content.size()) {
        auto end = content.find('\n', start);
        if (end == std::string_view::npos) end = content.size();
        const std::string_view line = content.substr(start, end - start);
        start = end + 1;
        const auto c1 = line.find(':');
        const auto c2 = c1 == std::string_view::npos ? c1 : line.find(':', c1 + 1);
        const auto c3 = c2 == std::string_view::npos ? c2 : line.find(':', c2 + 1);
        if (c3 == std::string_view::npos || c1 == 0) continue;
        const std::string name(line.substr(0, c1));
        groups.by_gid.emplace(std::string(line.substr(c2 + 1, c3 - c2 - 1)), name);
        std::string_view members = _trim(line.substr(c3 + 1));
        while (!members.empty()) {
            const auto comma = members.find(',');
            const std::string_view member = _trim(members.substr(0, comma));
            if (!member.empty()) groups.by_member.emplace(std::string(member), name);
            members = comma == std::string_view::npos ? "" : members.substr(comma + 1);
        }
    }
    return groups;
}

// The installed policy and the group file, each with the stamp of the version last read.
struct Installed {
    std::mutex lock;
    std::string policy_path;
    std::optional<Stamp> policy_seen;
    std::shared_ptr<const Policy> policy;
    std::string groups_path;
    std::optional<Stamp> groups_seen;
    std::shared_ptr<const Groups> groups;
};

Installed& _installed() {
    static Installed state;
    return state;
}

}  // namespace

Rules Policy::rules_for(std::string_view account, const std::vector<std::string>& names) const {
    Rules rules;
    if (auto own = accounts.find(account); own != accounts.end()) rules = own->second;
    Rules shared;
    for (const std::string& name : names) {
        const auto group = groups.find(name);
        if (group == groups.end()) continue;
        _most_permissive(shared.min_interval, group->second.min_interval, std::less<>());
        _most_permissive(shared.max_jobs, group->second.max_jobs, std::greater<>());
        _most_permissive(shared.reboot, group->second.reboot, std::greater<>());
    }
    if (!rules.min_interval)
        rules.min_interval = shared.min_interval ? shared.min_interval : defaults.min_interval;
    if (!rules.max_jobs) rules.max_jobs = shared.max_jobs ? shared.max_jobs : defaults.max_jobs;
    if (!rules.reboot) rules.reboot = shared.reboot ? shared.reboot : defaults.reboot;
    return rules;
}

Policy parse(std::string_view text, std::string_view file) {
    Policy policy;
    Parser parser{file};
    Rules* section = &policy.defaults;
    std::map<std::string, std::size_t, std::less<>> keys;
    std::map<std::string, std::size_t, std::less<>> sections;
    std::size_t start = 0;
    while (start < text.size()) {
        ++parser.line;
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        // Values and names never hold a '#': what follows one is a comment.
        std::string_view line = text.substr(start, end - start);
        line = _trim(line.substr(0, line.find('#')));
        start = end + 1;
        if (line.empty()) continue;
        if (line.front() == '[') {
            if (line.back() != ']') parser.fail("a section line ends with ']'");
            std::string_view inside = _trim(line.substr(1, line.size() - 2));
            const auto blank = inside.find_first_of(" \t");
            const std::string_view kind = inside.substr(0, blank);
            const std::string_view name =
                blank == std::string_view::npos ? "" : _trim(inside.substr(blank));
            if ((kind != "group" && kind != "account") || name.empty() ||
                name.find_first_of(" \t") != std::string_view::npos) {
                parser.fail("expected [group NAME] or [account NAME], not '" + printable(line, 60) +
                            "'");
            }
            const std::string title = std::string(kind) + " " + std::string(name);
            if (auto first = sections.find(title); first != sections.end()) {
                parser.fail("duplicate section [" + printable(title, 60) + "] (first at line " +
                            std::to_string(first->second) + ")");
            }
            sections.emplace(title, parser.line);
            auto& named = kind == "group" ? policy.groups : policy.accounts;
            section = &named[std::string(name)];
            keys.clear();
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos || _trim(line.substr(0, equals)).empty()) {
            parser.fail("expected 'key = value' or a [section], not '" + printable(line, 60) + "'");
        }
        parser.set(*section, _trim(line.substr(0, equals)), _trim(line.substr(equals + 1)), keys);
    }
    return policy;
}

Policy load(const std::string& path) {
    Stamp stamp;
    bool missing = false;
    std::string text;
    try {
        text = _read(path, stamp, missing);
    } catch (const Tarvok::Error& failure) {
        throw Broken(failure.what());
    }
    return parse(text, path);
}

std::shared_ptr<const Policy> installed() {
    Installed& state = _installed();
    const std::string path = Tarvok::SysRoot::path(POLICY_FILE);
    std::lock_guard hold(state.lock);
    // Another root (a test's) is another file.
    if (path != state.policy_path) {
        state.policy_path = path;
        state.policy_seen.reset();
        state.policy.reset();
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 && errno == ENOENT) {
        // Removing the file lifts every rule.
        if (state.policy)
            Tarvok::Debug::log_info("policy '" + path + "' removed: no rules in force");
        state.policy.reset();
        state.policy_seen.reset();
        return nullptr;
    }
    if (state.policy_seen && _stamp(st) == *state.policy_seen) return state.policy;
    Stamp stamp = _stamp(st);
    bool missing = false;
    try {
        const std::string text = _read(path, stamp, missing);
        state.policy = std::make_shared<const Policy>(parse(text, path));
        Tarvok::Debug::log_info("policy '" + path + "' in force");
    } catch (const std::exception& failure) {
        if (missing) return state.policy;
        Tarvok::Debug::log_error(
            std::string("policy not read: ") + failure.what() +
            (state.policy ? "; the last good version stays in force" : "; no rules are in force"));
    }
    // A broken version is logged once, not at every save.
    state.policy_seen = stamp;
    return state.policy;
}

std::vector<std::string> groups_of(std::string_view account,
                                   const std::optional<std::string>& primary_gid) {
    Installed& state = _installed();
    std::shared_ptr<const Groups> groups;
    {
        const std::string path = Tarvok::SysRoot::path(Spool::GROUP_FILE);
        std::lock_guard hold(state.lock);
        struct stat st {};
        const bool exists = stat(path.c_str(), &st) == 0;
        if (!exists || path != state.groups_path || !state.groups_seen ||
            !(_stamp(st) == *state.groups_seen)) {
            state.groups_path = path;
            Stamp stamp;
            bool missing = false;
            try {
                state.groups =
                    std::make_shared<const Groups>(_index_groups(_read(path, stamp, missing)));
                state.groups_seen = stamp;
            } catch (const Tarvok::Error& failure) {
                // No group file: no account is in a group; an unreadable one counts the same.
                if (!missing) Tarvok::Debug::log_warn(std::string("cannot read ") + failure.what());
                state.groups = std::make_shared<const Groups>();
                state.groups_seen.reset();
            }
        }
        groups = state.groups;
    }
    std::vector<std::string> names;
    if (primary_gid) {
        for (auto [it, end] = groups->by_gid.equal_range(*primary_gid); it != end; ++it) {
            names.push_back(it->second);
        }
    }
    for (auto [it, end] = groups->by_member.equal_range(account); it != end; ++it) {
        names.push_back(it->second);
    }
    return names;
}

}  // namespace Tvwrapd::Policy
