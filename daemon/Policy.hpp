// Tvwrapd::Policy: the host's rules for its customers' jobs, as the administrator wrote them in
// POLICY_FILE: how often one job may run, how many jobs an account may have, whether @reboot is
// allowed. No file, no rules.
//
//     # every account
//     min_interval = 15m        # minutes, or with a unit: 15m, 2h, 1d
//     max_jobs = 20
//     reboot = no
//
//     [group premium]
//     min_interval = 5
//
//     [account alice]
//     max_jobs = 100
//
// Each key is settled on its own: the account's own section wins; else, among the sections of the
// account's groups (primary and supplementary, from the group file), the most permissive value;
// else the top-level default; a key set nowhere sets no limit.
//
// installed() keeps the installed file fresh the way the account files are kept: it is read again
// once its modification time (to the nanosecond), size or inode changes. A broken new version is
// logged as an error and the last good one stays in force.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Tvwrapd::Policy {

inline constexpr std::string_view POLICY_FILE = "/etc/tvwrapd/policy.conf";

struct Rules {
    std::optional<std::int64_t> min_interval;  ///< in minutes
    std::optional<std::int64_t> max_jobs;
    std::optional<bool> reboot;
};

struct Policy {
    Rules defaults;
    std::map<std::string, Rules, std::less<>> groups;
    std::map<std::string, Rules, std::less<>> accounts;

    /// The rules for `account`, whose groups are `groups`.
    Rules rules_for(std::string_view account, const std::vector<std::string>& groups) const;
    /// True when some rule depends on the account's groups.
    bool has_groups() const { return !groups.empty(); }
};

/// A policy file that cannot be used; what() is "FILE:LINE: reason" or "FILE: reason".
struct Broken : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// The policy `text` sets; throws Broken naming `file` and the line for an unknown key, a bad
/// value, a duplicate key or section, or a line that is none of these.
Policy parse(std::string_view text, std::string_view file);

/// The policy in the file at `path` (a path as given, not moved below the system root); throws
/// Broken when it cannot be read or parsed.
Policy load(const std::string& path);

/// The installed policy as it stands now; nothing when there is no file, or none that was ever
/// good in this process.
std::shared_ptr<const Policy> installed();

/// The names of the groups of `account`: those whose group id is `primary_gid` and those that
/// list it as a member, from the group file (re-read when it changes).
std::vector<std::string> groups_of(std::string_view account,
                                   const std::optional<std::string>& primary_gid);

}  // namespace Tvwrapd::Policy
