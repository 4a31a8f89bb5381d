// Tarvok::Debug: the one place through which library modules log.
//
// Holds the process-wide debug level and the process logger, a Tarvok::Logger created on first
// use (a run that logs nothing creates none). Every message function keeps the caller's errno,
// even when the logger fails to write, so logging never disturbs a failure about to be reported:
//
//     if (mkdir(path.c_str(), 0700) != 0) {
//         Tarvok::Debug::log_warn("Could not create '" + path + "'");
//         return errno;  // still mkdir's error
//     }
#pragma once

#include <rapidjson/fwd.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Tarvok/Logger.hpp"

namespace Tarvok::Debug {

/// The process-wide debug level: 0 by default; non-zero enables debug lines; above 2 the request
/// client copies raw requests and answers to standard error.
extern int level;

/// Sets the level when one is given; returns the current level.
int debug_level(std::optional<int> new_level = std::nullopt);

/// The process logger, created on first use.
Logger& logger();
/// Replaces the process logger (the previous one is destroyed) and returns the new one.
Logger& logger(std::unique_ptr<Logger> new_logger);

/// One message each, passed to the logger operation of the same name; each answers what the
/// operation answered (true when the line was written).
bool log_info(std::string_view message);
bool log_warn(std::string_view message);
/// A warning without a call trace, whatever the logger's ENABLE_BACKTRACE says.
bool log_warn_no_backtrace(std::string_view message);
bool log_error(std::string_view message);
/// Logs the message, then raises it. Never returns.
[[noreturn]] void log_die(std::string_view message);
bool log_panic(std::string_view message);
bool log_invalid(std::string_view message);
bool log_deprecated(std::string_view message);
/// Does not look at `level`: callers check it first.
bool log_debug(std::string_view message);

/// Logs a readable dump of `value` (map keys in sorted order) at info level.
bool log_dump(const std::map<std::string, std::string>& value);
bool log_dump(const rapidjson::Value& value);
/// The dump text that log_dump logs.
std::string dump(const std::map<std::string, std::string>& value);
std::string dump(const rapidjson::Value& value);

/// The file whose size is the hooks debug value.
inline constexpr std::string_view HOOKS_DEBUG_FILE = "/var/tarvok/debughooks";

/// The size in bytes of HOOKS_DEBUG_FILE (0 when missing or empty), examined once per process.
long long debug_hooks_value();

/// Forgets the logger and the hooks debug value and sets the level to 0 (tests only).
void reset();

}  // namespace Tarvok::Debug
