#include "Tarvok/PwCache/Cache.hpp"

namespace Tarvok::PwCache::Cache {
namespace {

struct State {
    CacheMap cache;
    HomedirMap homedir_cache;
    bool pwcache_is_safe = true;
    bool pwcache_inited = false;
};

State& _state() {
    static State state;
    return state;
}

}  // namespace

CacheMap& get_cache() {
    return _state().cache;
}
HomedirMap& get_homedir_cache() {
    return _state().homedir_cache;
}

void clear() {
    State& state = _state();
    state.cache.clear();
    state.homedir_cache.clear();
    state.pwcache_inited = false;
}

bool is_safe(std::optional<bool> flag) {
    if (flag) _state().pwcache_is_safe = *flag;
    return _state().pwcache_is_safe;
}

void pwmksafecache() {
    State& state = _state();
    if (state.pwcache_is_safe) return;
    for (auto& [key, entry] : state.cache) {
        if (entry.contents.size() > Pos::PASSWORD) {
            entry.contents[Pos::PASSWORD] = std::string(PASSWORD_PLACEHOLDER);
        }
        entry.encrypted = false;
    }
    state.pwcache_is_safe = true;
}

void replace(const CacheMap& map) {
    _state().cache = map;
}

std::optional<CacheEntry> remove_key(std::string_view key) {
    auto& cache = _state().cache;
    const auto it = cache.find(std::string(key));
    if (it == cache.end()) return std::nullopt;
    CacheEntry entry = std::move(it->second);
    cache.erase(it);
    return entry;
}

bool pwcache_inited() {
    return _state().pwcache_inited;
}
void set_pwcache_inited(bool inited) {
    _state().pwcache_inited = inited;
}

}  // namespace Tarvok::PwCache::Cache
