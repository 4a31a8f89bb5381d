// Tvwrapd::Service: what the daemon does for one caller, from request text to answer text.
//
// The caller is known only by the uid the connection carries; the account is looked up from it,
// and nothing in a request can name another one. Every request, served or not, leaves one audit
// line (uid, account, function, outcome) on standard error. Nothing here throws: every failure
// becomes an answer.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace Tvwrapd::Service {

/// The answer to `request` (the JSON text, marker removed) from the account with `uid`.
std::string answer(uid_t uid, std::string_view request);

/// The answer to a connection whose request could not be taken in (too large, cut short, too
/// slow): an error answer giving `reason`.
std::string refuse(uid_t uid, std::string_view reason);

/// Puts the backup generation of `account`'s crontab back, through the checks and the storage of a
/// save by that account (the crontab it replaces becomes the backup). Why it could not; nothing
/// once restored. Leaves one audit line, function "restore".
std::optional<std::string> restore(std::string_view account);

/// The text a refused account gets when it tries to install a crontab.
std::string not_allowed_reason(std::string_view account);

}  // namespace Tvwrapd::Service
