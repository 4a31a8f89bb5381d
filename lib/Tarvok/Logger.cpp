#include "Tarvok/Logger.hpp"

#include <execinfo.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>

#include "Tarvok/ErrnoGuard.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/FHUtils/WholeIO.hpp"

namespace Tarvok {
namespace {

constexpr int kTraceFrames = 12;

int g_instances = 0;

std::string _timestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    char text[40];
    if (gmtime_r(&now, &utc) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &utc) == 0) {
        return "?";
    }
    return text;
}

// The caller's frames, one per line, without this file's own.
[[gnu::noinline]] std::string _call_trace() {
    void* frames[kTraceFrames];
    const int n = backtrace(frames, kTraceFrames);
    char** symbols = backtrace_symbols(frames, n);
    if (symbols == nullptr) return {};
    std::string trace;
    constexpr int kOwnFrames = 2;  // _call_trace and warn
    for (int i = kOwnFrames; i < n; ++i) {
        trace += "\tat ";
        trace += symbols[i];
        trace += '\n';
    }
    std::free(symbols);
    return trace;
}

}  // namespace

int Logger::ENABLE_BACKTRACE = 0;

Logger::Logger() {
    ++g_instances;
}

int Logger::instances_created() {
    return g_instances;
}

bool Logger::write_line(std::string_view level, std::string_view message,
                        std::string_view trailer) {
    ErrnoGuard keep;
    if (!message.empty() && message.back() == '\n') message.remove_suffix(1);
    std::string line = "[" + _timestamp() + "] ";
    line += level;
    line += " [";
    line += program_invocation_short_name;
    line += "] ";
    line += message;
    line += '\n';
    line += trailer;
    return static_cast<bool>(FHUtils::WholeIO::write_all(FHUtils::Handle{STDERR_FILENO}, line));
}

bool Logger::info(std::string_view message) {
    return write_line("info", message);
}

bool Logger::warn(std::string_view message) {
    if (!ENABLE_BACKTRACE) return write_line("warn", message);
    ErrnoGuard keep;
    return write_line("warn", message, _call_trace());
}

bool Logger::error(std::string_view message) {
    return write_line("error", message);
}
bool Logger::panic(std::string_view message) {
    return write_line("panic", message);
}
bool Logger::invalid(std::string_view message) {
    return write_line("invalid", message);
}
bool Logger::deprecated(std::string_view message) {
    return write_line("deprecated", message);
}
bool Logger::debug(std::string_view message) {
    return write_line("debug", message);
}

void Logger::die(std::string_view message) {
    write_line("die", message);
    throw Error(std::string(message));
}

}  // namespace Tarvok
