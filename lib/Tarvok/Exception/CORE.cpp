#include "Tarvok/Exception/CORE.hpp"

#include <execinfo.h>
#include <unistd.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>

#include "Tarvok/ErrnoGuard.hpp"
#include "Tarvok/Error.hpp"

namespace Tarvok::Exception::CORE {

// The one door to the private parts of an exception object.
struct Access {
    static Params& params(Base& e) { return e.params_; }
    static std::optional<std::string>& message(Base& e) { return e.message_; }
    static const std::optional<std::string>& message(const Base& e) { return e.message_; }
    static std::string& full_name(Base& e) { return e.full_name_; }
    static std::string& id(Base& e) { return e.id_; }
    static std::vector<std::exception_ptr>& auxiliaries(Base& e) { return e.auxiliaries_; }
    static const std::vector<std::exception_ptr>& auxiliaries(const Base& e) {
        return e.auxiliaries_;
    }
    static std::vector<void*>& frames(Base& e) { return e.frames_; }
    static const std::vector<void*>& frames(const Base& e) { return e.frames_; }
    static void forget_text(Base& e) { e.text_.clear(); }
};

namespace {

constexpr std::string_view kFamily = "Tarvok::Exception";
constexpr int kMaxFrames = 32;

using Factory = std::unique_ptr<Base> (*)(Params, std::optional<std::string>);

struct ClassInfo {
    std::string full_name;
    Factory make;
    /// The English message; empty for classes that are only ever raised with a message.
    std::string_view message;
};

struct Tables {
    std::map<std::string, ClassInfo, std::less<>> by_short;
    std::map<std::string, std::string, std::less<>> short_by_full;
};

int g_load_count = 0;
int g_suppressors = 0;

template <class E>
std::unique_ptr<Base> _make(Params params, std::optional<std::string> message) {
    if (!message) return std::make_unique<E>(E::short_class, std::move(params));
    auto made = std::make_unique<E>(E::short_class, std::move(*message));
    Access::params(*made) = std::move(params);
    return made;
}

Tables _build() {
    ++g_load_count;
    Tables t;
    auto add = [&t](const char* short_class, Factory make, std::string_view message) {
        std::string full = std::string(kFamily) + "::" + short_class;
        t.short_by_full.emplace(full, short_class);
        t.by_short.emplace(short_class, ClassInfo{std::move(full), make, message});
    };
    add("FcntlFailed", &_make<FcntlFailed>, "The fcntl system call failed: {error}");
    add("TempCreateFailed", &_make<TempCreateFailed>,
        "Could not create a temporary file at '{path}': {error}");
    add("BadArgument", &_make<BadArgument>, "");
    add("DirCreateFailed", &_make<DirCreateFailed>,
        "Could not create the directory '{path}': {error}");
    add("JSONDecodeFailure", &_make<JSONDecodeFailure>,
        "Could not decode JSON[ from '{path}']: {error}");
    add("OpenFailed", &_make<OpenFailed>, "Could not open '{path}'[ (mode {mode})]: {error}");
    add("SeekFailed", &_make<SeekFailed>,
        "Could not seek to offset {position}[ (whence {whence})] in '{path}': {error}");
    add("ReadFailed", &_make<ReadFailed>, "Could not read '{path}': {error}");
    add("FileNotFound", &_make<FileNotFound>, "The file '{path}' does not exist: {error}");
    return t;
}

const Tables& _tables() {
    static const Tables tables = _build();
    return tables;
}

const ClassInfo* _find_short(std::string_view short_class) {
    const auto& by_short = _tables().by_short;
    auto it = by_short.find(short_class);
    return it == by_short.end() ? nullptr : &it->second;
}

// ---- locale ----

std::optional<std::string>& _locale_cache() {
    static std::optional<std::string> locale;
    return locale;
}

// The message locale of the process, looked up once (and again after _reset_locale).
const std::string& _locale() {
    auto& cache = _locale_cache();
    if (!cache) {
        const char* name = std::setlocale(LC_MESSAGES, nullptr);
        cache = name ? name : "C";
    }
    return *cache;
}

// The message catalogue holds the English texts only; every other locale falls back to them.
std::string_view _message_for(const ClassInfo& info, const std::string& /*locale*/) {
    return info.message;
}

// ---- rendering ----

std::string _error_text(const Value& value, bool english) {
    if (const auto* text = std::get_if<std::string>(&value)) return *text;
    const int number = static_cast<int>(std::get<long long>(value));
    if (english) {
        if (const char* desc = strerrordesc_np(number)) return desc;
        return "Unknown error " + std::to_string(number);
    }
    char buffer[256];
    return strerror_r(number, buffer, sizeof buffer);  // GNU form: follows the message locale
}

std::string _value_text(std::string_view name, const Value& value, bool english) {
    if (name == "error") return _error_text(value, english);
    if (const auto* text = std::get_if<std::string>(&value)) return *text;
    return std::to_string(std::get<long long>(value));
}

// Fills "{name}" from the parameters; "[...]" only when all of its parameters are present.
std::string _fill(std::string_view message, const Base& e, bool english) {
    std::string out;
    bool all_present = true;
    std::string* sink = &out;
    std::string optional_part;
    for (size_t i = 0; i < message.size(); ++i) {
        const char c = message[i];
        if (c == '[') {
            optional_part.clear();
            all_present = true;
            sink = &optional_part;
        } else if (c == ']') {
            if (all_present) out += optional_part;
            sink = &out;
        } else if (c == '{') {
            const size_t close = message.find('}', i);
            if (close == std::string_view::npos) break;
            const std::string_view name = message.substr(i + 1, close - i - 1);
            if (const Value* value = e.get(name)) {
                *sink += _value_text(name, *value, english);
            } else {
                all_present = false;
            }
            i = close;
        } else {
            sink->push_back(c);
        }
    }
    return out;
}

std::string _generic(const Base& e, bool english) {
    std::string out = e.short_name();
    const char* separator = ": ";
    for (const Param& p : e.params()) {
        out += separator + p.name + "=" + _value_text(p.name, p.value, english);
        separator = ", ";
    }
    return out;
}

std::string _text(const Base& e, bool english) {
    if (const auto& message = Access::message(e)) return *message;
    const ClassInfo* info = _find_short(e.short_name());
    const std::string_view message = info ? _message_for(*info, _locale()) : std::string_view();
    return message.empty() ? _generic(e, english) : _fill(message, e, english);
}

std::string _with_id(std::string text, const Base& e) {
    return std::move(text) + " (XID " + e.id() + ")";
}

// Practically unique within the process: a mixed counter over a seed taken once.
std::string _new_id() {
    static const std::uint64_t seed = (static_cast<std::uint64_t>(getpid()) << 32) ^
                                      static_cast<std::uint64_t>(std::time(nullptr));
    static std::uint64_t counter = 0;
    std::uint64_t x = seed + 0x9E3779B97F4A7C15ull * ++counter;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    constexpr char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string id(8, '0');
    for (char& d : id) {
        d = digits[x % 36];
        x /= 36;
    }
    return id;
}

std::string _auxiliary_text(const std::exception_ptr& auxiliary) {
    try {
        std::rethrow_exception(auxiliary);
    } catch (const std::exception& failure) {
        return CORE::get_string(failure);
    } catch (...) {
        return "unknown failure";
    }
}

}  // namespace

void load() {
    (void)_tables();
}

bool loaded() {
    return g_load_count > 0;
}

int load_count() {
    return g_load_count;
}

std::string full_name(std::string_view short_class) {
    if (const ClassInfo* info = _find_short(short_class)) return info->full_name;
    return std::string(kFamily) + "::" + std::string(short_class);
}

std::unique_ptr<Base> create(std::string_view short_class, Params params,
                             std::optional<std::string> message) {
    const ClassInfo* info = _find_short(short_class);
    if (!info) throw Error("Unknown exception class '" + full_name(short_class) + "'");
    return info->make(std::move(params), std::move(message));
}

std::unique_ptr<Base> create_raw(std::string_view short_class, std::string message) {
    return CORE::create(short_class, {}, std::move(message));
}

std::unique_ptr<Base> _create(std::string_view full_class, Params params,
                              std::optional<std::string> message) {
    const auto& short_by_full = _tables().short_by_full;
    auto it = short_by_full.find(full_class);
    if (it == short_by_full.end()) {
        throw Error("Unknown exception class '" + std::string(full_class) + "'");
    }
    return CORE::create(it->second, std::move(params), std::move(message));
}

std::unique_ptr<Base> new_(std::string_view full_class, Params params) {
    return CORE::_create(full_class, std::move(params), std::nullopt);
}

void _init(Base& failure) {
    Access::full_name(failure) = full_name(failure.short_name());
    Access::id(failure) = _new_id();
    if (ENABLE_BACKTRACE && g_suppressors == 0) {
        ErrnoGuard keep;  // the first backtrace() loads the unwinder
        void* frames[kMaxFrames];
        const int n = backtrace(frames, kMaxFrames);
        if (n > 1) Access::frames(failure).assign(frames + 1, frames + n);
    }
}

const Value* get(const Base& failure, std::string_view name) {
    return failure.get(name);
}

void set(Base& failure, std::string_view name, Value value) {
    Params& params = Access::params(failure);
    bool found = false;
    for (Param& p : params) {
        if (p.name == name) {
            p.value = value;
            found = true;
        }
    }
    if (!found) params.emplace_back(std::string(name), std::move(value));
    Access::forget_text(failure);
}

const std::string& id(const Base& failure) {
    return failure.id();
}

void set_id(Base& failure, std::string new_id) {
    Access::id(failure) = std::move(new_id);
}

std::string longmess(const Base& failure) {
    std::string out = CORE::to_string(failure);
    const auto& frames = Access::frames(failure);
    if (!frames.empty()) {
        ErrnoGuard keep;
        char** symbols = backtrace_symbols(frames.data(), static_cast<int>(frames.size()));
        for (size_t i = 0; symbols && i < frames.size(); ++i) {
            out += "\n\tat ";
            out += symbols[i];
        }
        std::free(symbols);
    }
    for (const auto& auxiliary : Access::auxiliaries(failure)) {
        out += "\n\tauxiliary failure: " + _auxiliary_text(auxiliary);
    }
    return out;
}

std::string get_string(const std::exception& failure) {
    if (const auto* e = dynamic_cast<const Base*>(&failure)) return CORE::to_string(*e);
    return failure.what();
}

std::string get_string_no_id(const std::exception& failure) {
    if (const auto* e = dynamic_cast<const Base*>(&failure)) return CORE::to_string_no_id(*e);
    return failure.what();
}

std::string to_string(const Base& failure) {
    return _with_id(CORE::to_string_no_id(failure), failure);
}

std::string to_string_no_id(const Base& failure) {
    return LOCALIZE_STRINGS ? CORE::to_locale_string_no_id(failure)
                            : CORE::to_en_string_no_id(failure);
}

std::string to_en_string(const Base& failure) {
    return _with_id(CORE::to_en_string_no_id(failure), failure);
}

std::string to_en_string_no_id(const Base& failure) {
    return _text(failure, true);
}

std::string to_locale_string(const Base& failure) {
    return _with_id(CORE::to_locale_string_no_id(failure), failure);
}

std::string to_locale_string_no_id(const Base& failure) {
    return _text(failure, false);
}

void add_auxiliary_exception(Base& failure, std::exception_ptr auxiliary) {
    if (auxiliary) Access::auxiliaries(failure).push_back(std::move(auxiliary));
}

const std::vector<std::exception_ptr>& get_auxiliary_exceptions(const Base& failure) {
    return Access::auxiliaries(failure);
}

StackTraceSuppressor get_stack_trace_suppressor() {
    return StackTraceSuppressor();
}

void _reset_locale() {
    _locale_cache().reset();
}

}  // namespace Tarvok::Exception::CORE

namespace Tarvok::Exception {

StackTraceSuppressor::StackTraceSuppressor() {
    ++CORE::g_suppressors;
}
StackTraceSuppressor::~StackTraceSuppressor() {
    --CORE::g_suppressors;
}

}  // namespace Tarvok::Exception
