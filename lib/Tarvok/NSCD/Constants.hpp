// Tarvok::NSCD::Constants: where the name-service cache daemon listens.
#pragma once

#include <string_view>

namespace Tarvok::NSCD::Constants {

/// nscd's UNIX socket (looked up through Tarvok::SysRoot).
inline constexpr std::string_view NSCD_SOCKET = "/var/run/nscd/socket";

}  // namespace Tarvok::NSCD::Constants
