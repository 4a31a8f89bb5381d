// Tarvok::Debug: the one place through which library modules log.
//
// Holds the process-wide debug level and the process logger (created on first use, so a run that
// logs nothing creates none). Every message function keeps the caller's errno.
#pragma once

#include <optional>
#include <string_view>

namespace Tarvok::Debug {

/// The process-wide debug level: 0 by default; non-zero enables debug lines; above 2 the request
/// client copies raw requests and answers to standard error.
extern int level;

/// Sets the level when one is given; returns the current level.
int debug_level(std::optional<int> new_level = std::nullopt);

void log_info(std::string_view message);
void log_warn(std::string_view message);
void log_warn_no_backtrace(std::string_view message);
void log_error(std::string_view message);
/// Logs the message, then raises it. Never returns.
[[noreturn]] void log_die(std::string_view message);
void log_panic(std::string_view message);
void log_invalid(std::string_view message);
void log_deprecated(std::string_view message);
/// Does not look at `level`: callers check it first.
void log_debug(std::string_view message);

}  // namespace Tarvok::Debug
