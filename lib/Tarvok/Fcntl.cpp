#include "Tarvok/Fcntl.hpp"

#include <string>
#include <unordered_map>

#include "Tarvok/Error.hpp"
#include "Tarvok/Fcntl/Constants.hpp"

namespace Tarvok::Fcntl {
namespace {

// Joins the names of a list into its CACHE key. No constant name holds it, so a name that does is
// unknown and must not be allowed to look like two.
constexpr char kKeySeparator = '|';

// Joined name list -> combined value.
std::unordered_map<std::string, int>& CACHE() {
    static std::unordered_map<std::string, int> cache;
    return cache;
}

// Single name -> value. Names worth 0 are not kept: they are looked up again each time.
std::unordered_map<std::string, int>& CONSTANTS() {
    static std::unordered_map<std::string, int> constants;
    return constants;
}

[[noreturn]] void _unknown_name(std::string_view name) {
    throw Tarvok::Error("Cannot build file flags from the name '" + std::string(name) +
                        "': no such constant is known");
}

int _constant(std::string_view name) {
    auto& constants = CONSTANTS();
    if (auto hit = constants.find(std::string(name)); hit != constants.end()) return hit->second;
    const auto value = Constants::find(name);
    if (!value) _unknown_name(name);
    if (*value != 0) constants.emplace(std::string(name), *value);
    return *value;
}

}  // namespace

int or_flags(std::span<const std::string_view> names) {
    std::string key;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i].find(kKeySeparator) != std::string_view::npos) _unknown_name(names[i]);
        if (i > 0) key.push_back(kKeySeparator);
        key.append(names[i]);
    }
    auto& cache = CACHE();
    if (auto hit = cache.find(key); hit != cache.end()) return hit->second;

    int value = 0;
    for (std::string_view name : names) value |= _constant(name);
    cache.emplace(std::move(key), value);
    return value;
}

}  // namespace Tarvok::Fcntl
