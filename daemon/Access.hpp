// Tvwrapd::Access: who may use cron, by Debian's rules, read afresh for every request so that an
// administrator's change applies at once.
//
// root always may. Otherwise, when /etc/cron.allow exists only the accounts listed there may; when
// it does not and /etc/cron.deny exists, the accounts listed there may not; with neither file every
// account may. A list that exists but cannot be read counts against the account.
#pragma once

#include <sys/types.h>

#include <string_view>

namespace Tvwrapd::Access {

inline constexpr std::string_view CRON_ALLOW = "/etc/cron.allow";
inline constexpr std::string_view CRON_DENY = "/etc/cron.deny";

bool may_use_cron(std::string_view account, uid_t uid);

}  // namespace Tvwrapd::Access
