// Interim logger: one line per message on standard error. Replaced by Tarvok::Logger.
#include "Tarvok/Debug.hpp"

#include <cstdio>
#include <string>

#include "Tarvok/Error.hpp"
#include "Tarvok/ErrnoGuard.hpp"

namespace Tarvok::Debug {

int level = 0;

int debug_level(std::optional<int> new_level) {
    if (new_level) level = *new_level;
    return level;
}

namespace {
void write_line(std::string_view kind, std::string_view message) {
    ErrnoGuard keep(true);
    std::string line = "[" + std::string(kind) + "] " + std::string(message);
    if (line.back() != '\n') line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
}
}  // namespace

void log_info(std::string_view message) { write_line("info", message); }
void log_warn(std::string_view message) { write_line("warn", message); }
void log_warn_no_backtrace(std::string_view message) { write_line("warn", message); }
void log_error(std::string_view message) { write_line("error", message); }
void log_die(std::string_view message) {
    write_line("die", message);
    throw Error(std::string(message));
}
void log_panic(std::string_view message) { write_line("panic", message); }
void log_invalid(std::string_view message) { write_line("invalid", message); }
void log_deprecated(std::string_view message) { write_line("deprecated", message); }
void log_debug(std::string_view message) { write_line("debug", message); }

}  // namespace Tarvok::Debug
