// Tarvok::Wrap::Config: which parts of the environment may travel to the privileged daemon.
//
// Every request carries a filtered copy of the caller's environment. Only the twelve names of
// ALLOWED_ENV cross, compared exactly (case included), and each value is cut to
// MAX_ENV_VALUE_LENGTH bytes; everything else (PATH, VISUAL, the sandbox root, ...) stays here.
//
//     auto env = Tarvok::Wrap::Config::safe_hashref_of_allowed_env();
//     Tarvok::Wrap::send_tvwrapd_request({..., .env = std::move(env)});
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <utility>

namespace Tarvok::Wrap::Config {

/// A variable's name and whether it may be passed to the daemon.
using AllowedEnvEntry = std::pair<std::string_view, bool>;

/// The variables the daemon may see. Read-only for the life of the process.
inline constexpr std::array<AllowedEnvEntry, 12> ALLOWED_ENV = {{
    {"APITOOL", true},
    {"HTTP_COOKIE", true},
    {"REMOTE_ADDR", true},
    {"REMOTE_PASSWORD", true},
    {"TEAM_LOGIN_DOMAIN", true},
    {"TEAM_OWNER", true},
    {"TEAM_USER", true},
    {"TVRESELLER", true},
    {"TVRESELLERSESSION", true},
    {"TVRESELLERSESSIONKEY", true},
    {"ZUL50", true},
    {"tv_security_token", true},
}};

/// The most bytes of one value that are passed on.
inline constexpr std::size_t MAX_ENV_VALUE_LENGTH = 1024;

/// Variable name to value, as sent in a request's `env` member.
using Env = std::map<std::string, std::string>;

/// True when `name` is on ALLOWED_ENV with its flag set.
bool is_allowed(std::string_view name);

/// A fresh copy of the allowed variables that are set in the process environment now. A value
/// of "0" becomes the empty text; longer values keep their first MAX_ENV_VALUE_LENGTH bytes.
/// Allowed names that are not set do not appear at all.
Env safe_hashref_of_allowed_env();

}  // namespace Tarvok::Wrap::Config
