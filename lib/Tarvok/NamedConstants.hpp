// Tarvok::NamedConstants: a fixed table of named integers, looked up by name at compile time.
//
// The C library defines most constant names the system uses (O_RDONLY, AF_UNIX, ...) as macros,
// so they cannot be C++ identifiers; Tarvok::Fcntl::Constants and Tarvok::Socket::Constants are
// tables of this kind instead. A lookup of a fixed name costs nothing at run time and a misspelt
// one does not compile.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "Tarvok/Error.hpp"

namespace Tarvok::NamedConstants {

struct Entry {
    std::string_view name;
    int value;
};

/// The value called `name` in `table`, or nullopt when there is none.
template <std::size_t N>
constexpr std::optional<int> find(const std::array<Entry, N>& table, std::string_view name) {
    for (const Entry& entry : table) {
        if (entry.name == name) return entry.value;
    }
    return std::nullopt;
}

/// The value called `name` in `table`; raises Tarvok::Error("Unknown KIND constant 'NAME'") for
/// an unknown name (and fails to compile when evaluated as a constant).
template <std::size_t N>
constexpr int get(const std::array<Entry, N>& table, std::string_view name, std::string_view kind) {
    if (const auto value = find(table, name)) return *value;
    throw Tarvok::Error("Unknown " + std::string(kind) + " constant '" + std::string(name) + "'");
}

}  // namespace Tarvok::NamedConstants
