#include "Tarvok/Debug.hpp"

#include <rapidjson/document.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "Tarvok/ErrnoGuard.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/SysRoot.hpp"

namespace Tarvok::Debug {

int level = 0;

namespace {

// Never destroyed: objects that log from their destructors in the final teardown still find it.
Logger* g_logger = nullptr;
std::optional<long long> g_hooks_value;

constexpr std::string_view kIndent = "    ";

template <class Operation>
bool _log(Operation operation, std::string_view message) {
    ErrnoGuard keep(true);
    return (logger().*operation)(message);
}

void _quote(std::string& out, std::string_view text) {
    out += '"';
    for (const unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02x", c);
                    out += hex;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
}

void _newline(std::string& out, int depth) {
    out += '\n';
    for (int i = 0; i < depth; ++i) out += kIndent;
}

void _dump(std::string& out, const rapidjson::Value& value, int depth) {
    if (value.IsObject()) {
        if (value.MemberCount() == 0) {
            out += "{}";
            return;
        }
        std::vector<const rapidjson::Value::Member*> members;
        for (const auto& member : value.GetObject()) members.push_back(&member);
        auto key = [](const rapidjson::Value::Member* m) {
            return std::string_view(m->name.GetString(), m->name.GetStringLength());
        };
        std::stable_sort(members.begin(), members.end(),
                         [&](auto* a, auto* b) { return key(a) < key(b); });
        out += '{';
        const char* separator = "";
        for (const auto* member : members) {
            out += separator;
            _newline(out, depth + 1);
            _quote(out, key(member));
            out += ": ";
            _dump(out, member->value, depth + 1);
            separator = ",";
        }
        _newline(out, depth);
        out += '}';
    } else if (value.IsArray()) {
        if (value.Empty()) {
            out += "[]";
            return;
        }
        out += '[';
        const char* separator = "";
        for (const auto& element : value.GetArray()) {
            out += separator;
            _newline(out, depth + 1);
            _dump(out, element, depth + 1);
            separator = ",";
        }
        _newline(out, depth);
        out += ']';
    } else if (value.IsString()) {
        _quote(out, std::string_view(value.GetString(), value.GetStringLength()));
    } else if (value.IsBool()) {
        out += value.GetBool() ? "true" : "false";
    } else if (value.IsInt64()) {
        out += std::to_string(value.GetInt64());
    } else if (value.IsUint64()) {
        out += std::to_string(value.GetUint64());
    } else if (value.IsNumber()) {
        char number[32];
        std::snprintf(number, sizeof number, "%.17g", value.GetDouble());
        out += number;
    } else {
        out += "null";
    }
}

}  // namespace

int debug_level(std::optional<int> new_level) {
    if (new_level) level = *new_level;
    return level;
}

Logger& logger() {
    if (g_logger == nullptr) {
        ErrnoGuard keep(true);
        g_logger = new Logger();
    }
    return *g_logger;
}

Logger& logger(std::unique_ptr<Logger> new_logger) {
    if (new_logger) delete std::exchange(g_logger, new_logger.release());
    return logger();
}

bool log_info(std::string_view message) {
    return _log(&Logger::info, message);
}
bool log_warn(std::string_view message) {
    return _log(&Logger::warn, message);
}
bool log_error(std::string_view message) {
    return _log(&Logger::error, message);
}
bool log_panic(std::string_view message) {
    return _log(&Logger::panic, message);
}
bool log_invalid(std::string_view message) {
    return _log(&Logger::invalid, message);
}
bool log_deprecated(std::string_view message) {
    return _log(&Logger::deprecated, message);
}
bool log_debug(std::string_view message) {
    return _log(&Logger::debug, message);
}

bool log_warn_no_backtrace(std::string_view message) {
    Logger& target = logger();
    struct Restore {
        int saved;
        ~Restore() { Logger::ENABLE_BACKTRACE = saved; }
    } restore{Logger::ENABLE_BACKTRACE};
    Logger::ENABLE_BACKTRACE = 0;
    ErrnoGuard keep(true);
    return target.warn(message);
}

void log_die(std::string_view message) {
    {
        ErrnoGuard keep(true);
        logger().die(message);
    }
    // A replaced logger whose die() came back: callers rely on not getting here.
    throw Error(std::string(message));
}

std::string dump(const std::map<std::string, std::string>& value) {
    rapidjson::Document document(rapidjson::kObjectType);
    auto& allocator = document.GetAllocator();
    for (const auto& [key, text] : value) {
        document.AddMember(
            rapidjson::Value(key.data(), static_cast<rapidjson::SizeType>(key.size()), allocator),
            rapidjson::Value(text.data(), static_cast<rapidjson::SizeType>(text.size()), allocator),
            allocator);
    }
    return dump(static_cast<const rapidjson::Value&>(document));
}

std::string dump(const rapidjson::Value& value) {
    std::string out;
    _dump(out, value, 0);
    return out;
}

bool log_dump(const std::map<std::string, std::string>& value) {
    return log_info(dump(value));
}

bool log_dump(const rapidjson::Value& value) {
    return log_info(dump(value));
}

long long debug_hooks_value() {
    if (!g_hooks_value) {
        ErrnoGuard keep;
        struct stat st {};
        const std::string path = SysRoot::path(HOOKS_DEBUG_FILE);
        g_hooks_value = (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ? st.st_size : 0;
    }
    return *g_hooks_value;
}

void reset() {
    delete std::exchange(g_logger, nullptr);
    g_hooks_value.reset();
    level = 0;
}

}  // namespace Tarvok::Debug
