// Tvwrapd::PolicyCheck: a crontab held against the host's rules (Tvwrapd::Policy), at a save and
// in the administrator's tools.
//
// A save that breaks a rule is refused like any text cron would not take, with a reason in the
// customer's terms:
//
//     line 3: runs every 5 minutes; this server allows each job at most once every 15 minutes
//
// The administrator's tools run the same checks without a daemon:
//
//     tvwrapd --check [--policy FILE] [--user NAME] FILE   # FILE:LINE: reason; exit 0, 1 or 2
//     tvwrapd --audit [--policy FILE]                      # ACCOUNT:LINE: reason; exit 0, 1 or 2
//
// A policy never changes a stored crontab.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CrontabCheck.hpp"
#include "Policy.hpp"

namespace Tvwrapd::PolicyCheck {

/// Answers an account's primary group id (as text), when a rule depends on its groups.
using PrimaryGid = std::function<std::optional<std::string>()>;

/// Every reason a save of `text` would be refused under `rules`: the lines cron would not take,
/// then what breaks a rule (the number of jobs first, as a problem of the whole text, line 0),
/// in line order.
std::vector<CrontabCheck::Problem> problems(std::string_view text, const Policy::Rules& rules);

/// Why a save of `text` by `account` is refused: the first line cron would not take (as
/// CrontabCheck::check says), else the first rule of the installed policy it breaks; nothing
/// when it is accepted. The text is read once.
std::optional<std::string> save_refusal(std::string_view account, std::string_view text,
                                        const PrimaryGid& primary_gid);

/// `tvwrapd --check ARGS` and `tvwrapd --audit ARGS` (ARGS without the option itself): their
/// exit status.
int check_command(const std::vector<std::string_view>& args);
int audit_command(const std::vector<std::string_view>& args);

/// What in `account`'s stored crontab breaks the installed policy, one "line N: reason" each.
std::vector<std::string> stored_problems(std::string_view account);

}  // namespace Tvwrapd::PolicyCheck
