#include "PolicyCheck.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "Printable.hpp"
#include "Schedule.hpp"
#include "Spool.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/FHUtils/WholeIO.hpp"
#include "Tarvok/PenSafe.hpp"
#include "Tarvok/PwCache.hpp"
#include "Tarvok/SysRoot.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Tvwrapd::PolicyCheck {
namespace {

using CrontabCheck::Problem;
using Printable::printable;
namespace PwCache = Tarvok::PwCache;

constexpr int ACCEPTED = 0;
constexpr int REFUSED = 1;
constexpr int TROUBLE = 2;

constexpr const char* CHECK_USAGE = "Usage: tvwrapd --check [--policy FILE] [--user NAME] FILE\n";
constexpr const char* AUDIT_USAGE = "Usage: tvwrapd --audit [--policy FILE]\n";

// "15 minutes", "hour", "1461 days": the largest unit that divides it.
std::string _duration(std::int64_t minutes) {
    std::string unit = "minute";
    std::int64_t count = minutes;
    if (minutes % Schedule::MINUTES_PER_DAY == 0) {
        unit = "day";
        count = minutes / Schedule::MINUTES_PER_DAY;
    } else if (minutes % 60 == 0) {
        unit = "hour";
        count = minutes / 60;
    }
    return count == 1 ? unit : std::to_string(count) + " " + unit + "s";
}

std::string _jobs(std::int64_t count) {
    return std::to_string(count) + (count == 1 ? " job" : " jobs");
}

std::string _numbered(const Problem& problem) {
    if (problem.line == 0) return problem.reason;
    return "line " + std::to_string(problem.line) + ": " + problem.reason;
}

// "WHERE:LINE: reason", or "WHERE: reason" for the text as a whole.
void _print(const std::string& where, const Problem& problem) {
    if (problem.line == 0) {
        std::printf("%s: %s\n", where.c_str(), problem.reason.c_str());
    } else {
        std::printf("%s:%zu: %s\n", where.c_str(), problem.line, problem.reason.c_str());
    }
}

// What in the jobs of `reading` breaks `rules`: the number of jobs first, then line by line.
std::vector<Problem> _breaches(const CrontabCheck::Reading& reading, const Policy::Rules& rules) {
    std::vector<Problem> breaches;
    const std::size_t jobs = reading.jobs.size();
    if (rules.max_jobs && static_cast<std::int64_t>(jobs) > *rules.max_jobs) {
        const std::int64_t most = *rules.max_jobs;
        breaches.push_back({0, _jobs(static_cast<std::int64_t>(jobs)) + "; this server allows " +
                                   (most == 0 ? "no jobs" : "at most " + _jobs(most))});
    }
    const bool limits_interval = rules.min_interval && *rules.min_interval > 0;
    if (!limits_interval && rules.reboot.value_or(true)) return breaches;
    Schedule::Intervals intervals;
    for (const CrontabCheck::Job& job : reading.jobs) {
        if (job.reboot) {
            if (!rules.reboot.value_or(true)) {
                breaches.push_back({job.line, "@reboot jobs are not allowed on this server"});
            }
            continue;
        }
        if (!limits_interval) continue;
        const auto every = intervals.shortest(job.times);
        if (every && *every < *rules.min_interval) {
            breaches.push_back({job.line, "runs every " + _duration(*every) +
                                              "; this server allows each job at most once every " +
                                              _duration(*rules.min_interval)});
        }
    }
    return breaches;
}

// The installed policy file read afresh, for the tools (the daemon keeps its own copy); nothing
// when there is none. Throws Policy::Broken.
std::optional<Policy::Policy> _policy(const std::optional<std::string>& path) {
    if (path) return Policy::load(*path);
    const std::string installed = Tarvok::SysRoot::path(Policy::POLICY_FILE);
    struct stat st {};
    if (stat(installed.c_str(), &st) != 0 && errno == ENOENT) return std::nullopt;
    return Policy::load(installed);
}

struct Account {
    std::string uid;
    std::optional<std::string> gid;
    std::string shell;
};

std::optional<Account> _account(std::string_view name) {
    const auto record = PwCache::getpwnam_noshadow(name);
    const auto uid = PwCache::field(record, PwCache::Pos::UID);
    if (!uid) return std::nullopt;
    return Account{*uid, PwCache::field(record, PwCache::Pos::GID),
                   PwCache::field(record, PwCache::Pos::SHELL).value_or("")};
}

Policy::Rules _rules(const std::optional<Policy::Policy>& policy, std::string_view name,
                     const std::optional<std::string>& gid) {
    if (!policy) return {};
    if (!policy->has_groups() && policy->accounts.empty()) return policy->defaults;
    return policy->rules_for(name, Policy::groups_of(name, gid));
}

// Options of the form "--name VALUE" into `values`; the rest, in order, into `operands`. False,
// with the reason printed, for an unknown option or one without its value.
bool _options(const std::vector<std::string_view>& args,
              std::map<std::string_view, std::optional<std::string>>& values,
              std::vector<std::string_view>& operands, const char* usage) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg.size() > 2 && arg.starts_with("--")) {
            const auto option = values.find(arg);
            if (option == values.end() || i + 1 == args.size()) {
                std::fprintf(stderr, "tvwrapd: %s '%s'\n%s",
                             option == values.end() ? "unknown option" : "no value after",
                             printable(arg).c_str(), usage);
                return false;
            }
            option->second = std::string(args[++i]);
        } else {
            operands.push_back(arg);
        }
    }
    return true;
}

}  // namespace

std::vector<Problem> problems(std::string_view text, const Policy::Rules& rules) {
    const CrontabCheck::Reading reading = CrontabCheck::read(text);
    std::vector<Problem> found = reading.problems;
    if (!found.empty() && found.front().line == 0) return found;
    std::vector<Problem> breaches = _breaches(reading, rules);
    found.insert(found.end(), breaches.begin(), breaches.end());
    std::stable_sort(found.begin(), found.end(),
                     [](const Problem& a, const Problem& b) { return a.line < b.line; });
    return found;
}

std::optional<std::string> save_refusal(std::string_view account, std::string_view text,
                                        const PrimaryGid& primary_gid) {
    const auto policy = Policy::installed();
    Policy::Rules rules;
    if (policy) {
        rules = policy->rules_for(account, policy->has_groups()
                                               ? Policy::groups_of(account, primary_gid())
                                               : std::vector<std::string>());
    }
    if (!rules.min_interval && !rules.max_jobs && !rules.reboot) return CrontabCheck::check(text);
    const CrontabCheck::Reading reading = CrontabCheck::read(text);
    if (!reading.problems.empty()) return _numbered(reading.problems.front());
    const std::vector<Problem> breaches = _breaches(reading, rules);
    if (breaches.empty()) return std::nullopt;
    return _numbered(breaches.front());
}

int check_command(const std::vector<std::string_view>& args) {
    std::map<std::string_view, std::optional<std::string>> options{{"--policy", std::nullopt},
                                                                   {"--user", std::nullopt}};
    std::vector<std::string_view> files;
    if (!_options(args, options, files, CHECK_USAGE)) return TROUBLE;
    if (files.size() != 1) {
        std::fprintf(stderr, "tvwrapd: --check needs one file (- for standard input)\n%s",
                     CHECK_USAGE);
        return TROUBLE;
    }
    const std::string file(files.front());
    const std::string shown = file == "-" ? "<stdin>" : printable(file, 4096);
    std::optional<Policy::Policy> policy;
    Policy::Rules rules;
    try {
        policy = _policy(options["--policy"]);
        if (const auto& user = options["--user"]) {
            const auto account = _account(*user);
            if (!account) {
                std::fprintf(stderr, "tvwrapd: no account '%s' on this system\n",
                             printable(*user).c_str());
                return TROUBLE;
            }
            rules = _rules(policy, *user, account->gid);
        } else if (policy) {
            rules = policy->defaults;
        }
    } catch (const Policy::Broken& broken) {
        std::fprintf(stderr, "tvwrapd: %s\n", broken.what());
        return TROUBLE;
    }
    Tarvok::UniqueFd opened(file == "-" ? -1 : open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (file != "-" && !opened) {
        std::fprintf(stderr, "tvwrapd: cannot read '%s': %s\n", shown.c_str(),
                     std::strerror(errno));
        return TROUBLE;
    }
    std::string text;
    const auto got = Tarvok::FHUtils::WholeIO::read_to_end(
        Tarvok::FHUtils::Handle(file == "-" ? 0 : opened.get()), text,
        CrontabCheck::MAX_LENGTH + 1);
    if (!got) {
        std::fprintf(stderr, "tvwrapd: cannot read '%s': %s\n", shown.c_str(),
                     std::strerror(got.error));
        return TROUBLE;
    }
    if (text.size() > CrontabCheck::MAX_LENGTH) {
        std::printf("%s: crontab is too large (more than %zu bytes)\n", shown.c_str(),
                    CrontabCheck::MAX_LENGTH);
        return REFUSED;
    }
    const std::vector<Problem> found = problems(text, rules);
    for (const Problem& problem : found) _print(shown, problem);
    return found.empty() ? ACCEPTED : REFUSED;
}

int audit_command(const std::vector<std::string_view>& args) {
    std::map<std::string_view, std::optional<std::string>> options{{"--policy", std::nullopt}};
    std::vector<std::string_view> extra;
    if (!_options(args, options, extra, AUDIT_USAGE)) return TROUBLE;
    if (!extra.empty()) {
        std::fprintf(stderr, "tvwrapd: unexpected argument '%s'\n%s",
                     printable(extra.front()).c_str(), AUDIT_USAGE);
        return TROUBLE;
    }
    if (!Tarvok::SysRoot::is_sandbox() && geteuid() != 0) {
        std::fputs("tvwrapd: must run as root to read every crontab\n", stderr);
        return TROUBLE;
    }
    std::optional<Policy::Policy> policy;
    try {
        policy = _policy(options["--policy"]);
    } catch (const Policy::Broken& broken) {
        std::fprintf(stderr, "tvwrapd: %s\n", broken.what());
        return TROUBLE;
    }
    const std::string spool = Tarvok::SysRoot::path(Spool::SPOOL_DIR);
    std::vector<std::string> names;
    if (DIR* dir = opendir(spool.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (Spool::usable_name(entry->d_name)) names.emplace_back(entry->d_name);
        }
        closedir(dir);
    } else if (errno != ENOENT) {
        std::fprintf(stderr, "tvwrapd: cannot read '%s': %s\n", spool.c_str(),
                     std::strerror(errno));
        return TROUBLE;
    }
    std::sort(names.begin(), names.end());
    std::size_t audited = 0;
    std::size_t breaking = 0;
    bool incomplete = false;
    for (const std::string& name : names) {
        const auto account = _account(name);
        // Ordinary accounts save with Debian's crontab, which no policy governs; a crontab
        // without an account is cron's business.
        if (!account || !Tarvok::PenSafe::is_restricted_shell(account->shell)) {
            continue;
        }
        std::string text;
        try {
            text = Spool::read(name, static_cast<uid_t>(std::stoul(account->uid)));
        } catch (const std::exception& failure) {
            std::fprintf(stderr, "tvwrapd: cannot audit '%s': %s\n", printable(name).c_str(),
                         failure.what());
            incomplete = true;
            continue;
        }
        ++audited;
        const std::vector<Problem> found = problems(text, _rules(policy, name, account->gid));
        if (!found.empty()) ++breaking;
        for (const Problem& problem : found) _print(printable(name), problem);
    }
    std::fprintf(stderr, "tvwrapd: %zu crontab(s) audited, %zu break the rules%s\n", audited,
                 breaking, incomplete ? ", some could not be read" : "");
    if (breaking > 0) return REFUSED;
    return incomplete ? TROUBLE : ACCEPTED;
}

std::vector<std::string> stored_problems(std::string_view name) {
    try {
        const auto policy = _policy(std::nullopt);
        const auto account = _account(name);
        if (!policy || !account) return {};
        const std::string text = Spool::read(name, static_cast<uid_t>(std::stoul(account->uid)));
        std::vector<std::string> lines;
        for (const Problem& problem : problems(text, _rules(policy, name, account->gid))) {
            lines.push_back(_numbered(problem));
        }
        return lines;
    } catch (const std::exception& failure) {
        return {std::string("not checked against the policy: ") + failure.what()};
    }
}

}  // namespace Tvwrapd::PolicyCheck
