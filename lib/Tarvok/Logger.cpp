#include "Tarvok/Logger.hpp"

#include <execinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>

#include "Tarvok/ErrnoGuard.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/FHUtils/WholeIO.hpp"

namespace Tarvok {
namespace {

constexpr int kTraceFrames = 12;

int g_instances = 0;

// Syslog priorities by level word; info for any other.
int _priority(std::string_view level) {
    constexpr std::pair<std::string_view, int> kPriorities[] = {
        {"panic", 2},   {"error", 3},      {"die", 3},   {"warn", 4},
        {"invalid", 4}, {"deprecated", 5}, {"debug", 7},
    };
    for (const auto& [word, priority] : kPriorities) {
        if (word == level) return priority;
    }
    return 6;
}

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

// A child of a service inherits JOURNAL_STREAM ("DEVICE:INODE") with its standard error
// elsewhere: the descriptor decides.
bool Logger::stderr_is_journal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr) return false;
    unsigned long long device = 0, inode = 0;
    char end = 0;
    if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &end) != 2) return false;
    struct stat st {};
    return fstat(STDERR_FILENO, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

int Logger::ENABLE_BACKTRACE = 0;

Logger::Logger() {
    ErrnoGuard keep;
    journal_ = stderr_is_journal();
    ++g_instances;
}

int Logger::instances_created() {
    return g_instances;
}

bool Logger::write_line(std::string_view level, std::string_view message,
                        std::string_view trailer) {
    ErrnoGuard keep;
    if (!message.empty() && message.back() == '\n') message.remove_suffix(1);
    std::string text(level);
    text += " [";
    text += program_invocation_short_name;
    text += "] ";
    text += message;
    text += '\n';
    text += trailer;
    std::string line;
    if (!journal_) {
        line = "[" + _timestamp() + "] " + text;
    } else {
        // The journal takes each line for an entry of its own: each carries the priority.
        const std::string priority = "<" + std::to_string(_priority(level)) + ">";
        for (size_t from = 0; from < text.size();) {
            const size_t end = std::min(text.find('\n', from), text.size());
            line += priority;
            line.append(text, from, end - from);
            line += '\n';
            from = end + 1;
        }
    }
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
