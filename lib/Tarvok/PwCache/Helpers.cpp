#include "Tarvok/PwCache/Helpers.hpp"

#include <cxxabi.h>
#include <execinfo.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "Tarvok/ErrnoGuard.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/FHUtils/WholeIO.hpp"

namespace Tarvok::PwCache::Helpers {
namespace {

struct State {
    bool pwcacheistied = false;
    std::optional<Cache::CacheMap> pwcachetie;
    bool skip_uid_cache = false;
};

State& _state() {
    static State state;
    return state;
}

// "binary(mangled+0x1f) [0x...]" becomes "demangled(args) +0x1f"; anything else stays as it is.
std::string _describe_frame(const char* symbol) {
    std::string text(symbol);
    const std::size_t open = text.find('(');
    const std::size_t plus = text.find('+', open == std::string::npos ? 0 : open);
    if (open == std::string::npos || plus == std::string::npos || plus == open + 1) return text;
    const std::string mangled = text.substr(open + 1, plus - open - 1);
    int status = -1;
    std::unique_ptr<char, decltype(&std::free)> name(
        abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status), &std::free);
    if (status != 0 || !name) return text;
    const std::size_t close = text.find(')', plus);
    return std::string(name.get()) + " " +
           text.substr(plus, close == std::string::npos ? std::string::npos : close - plus);
}

// One line per caller, innermost first, leaving out the frames of this file. Without unwind
// support at run time (a restricted environment may lack it) the trace is simply empty.
std::string _call_trace(int skip) {
    void* frames[64];
    const int count = ::backtrace(frames, 64);
    std::unique_ptr<char*, decltype(&std::free)> symbols(::backtrace_symbols(frames, count),
                                                         &std::free);
    std::string trace;
    for (int i = skip; symbols && i < count; ++i) {
        trace += "\tcalled from " + _describe_frame(symbols.get()[i]) + "\n";
    }
    return trace;
}

}  // namespace

std::string_view default_conf_dir() {
    return SYSTEM_CONF_DIR;
}
std::string_view default_product_dir() {
    return PRODUCT_CONF_DIR;
}

void init(Cache::CacheMap map, bool skip_uid_cache_value) {
    tiedto(std::move(map));
    _state().skip_uid_cache = skip_uid_cache_value;
}

void tiedto(Cache::CacheMap map) {
    _state().pwcachetie = std::move(map);
    _state().pwcacheistied = true;
}

const Cache::CacheMap* tiedto() {
    const State& state = _state();
    return state.pwcacheistied && state.pwcachetie ? &*state.pwcachetie : nullptr;
}

bool istied() {
    return _state().pwcacheistied;
}
void deinit() {
    _state().pwcacheistied = false;
}

void no_uid_cache() {
    _state().skip_uid_cache = true;
}
void uid_cache() {
    _state().skip_uid_cache = false;
}
bool skip_uid_cache() {
    return _state().skip_uid_cache;
}

void cluck(std::string_view message) {
    ErrnoGuard keep;
    std::string text(message);
    if (text.empty() || text.back() != '\n') text.push_back('\n');
    text += _call_trace(2);
    FHUtils::WholeIO::write_all(FHUtils::Handle{STDERR_FILENO}, text);
}

void confess(std::string_view message) {
    std::string text(message);
    if (text.empty() || text.back() != '\n') text.push_back('\n');
    throw Error(text + _call_trace(2));
}

}  // namespace Tarvok::PwCache::Helpers
