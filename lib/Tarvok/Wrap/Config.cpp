#include "Tarvok/Wrap/Config.hpp"

#include <unistd.h>

#include <algorithm>

namespace Tarvok::Wrap::Config {

bool is_allowed(std::string_view name) {
    return std::any_of(ALLOWED_ENV.begin(), ALLOWED_ENV.end(), [&](const AllowedEnvEntry& entry) {
        return entry.second && entry.first == name;
    });
}

Env safe_hashref_of_allowed_env() {
    Env env;
    // Walk the environment itself, not the table: an allowed name that is unset must not show
    // up as an empty value, which the daemon would read as "set".
    for (char** entry = ::environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const auto equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view name = text.substr(0, equals);
        if (!is_allowed(name)) continue;
        std::string_view value = text.substr(equals + 1);
        if (value == "0") value = {};
        // The first of duplicate entries wins, as it does for getenv().
        env.emplace(name, value.substr(0, MAX_ENV_VALUE_LENGTH));
    }
    return env;
}

}  // namespace Tarvok::Wrap::Config
