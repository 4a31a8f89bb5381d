// Tarvok::Socket::Constants: named numbers for socket calls, with their x86-64 Linux values.
//
// Fixed here rather than taken from the C headers so that every build speaks the same numbers
// on the wire and in code that packs socket arguments by hand. The C library defines most of these
// names as macros, so they cannot be C++ identifiers; they are reached by name instead, and the C
// library's own macros stay untouched for code that calls it:
//
//     constexpr int kUnix = Tarvok::Socket::Constants::get("AF_UNIX");   // 1
//
// Lookups are constexpr, so a misspelt fixed name does not compile. The tests check every value
// against the platform's headers.
#pragma once

#include <optional>
#include <string_view>

#include "Tarvok/NamedConstants.hpp"

namespace Tarvok::Socket::Constants {

using NamedConstants::Entry;

inline constexpr std::array<Entry, 20> TABLE = {{
    {"AF_INET", 2},          {"AF_INET6", 10},  {"AF_UNIX", 1},      {"IPPROTO_TCP", 6},
    {"MSG_NOSIGNAL", 16384}, {"MSG_PEEK", 2},   {"PF_INET", 2},      {"PF_INET6", 10},
    {"PROTO_ICMP", 1},       {"PROTO_IP", 0},   {"PROTO_TCP", 6},    {"PROTO_UDP", 17},
    {"SHUT_RD", 0},          {"SHUT_RDWR", 2},  {"SHUT_WR", 1},      {"SOCK_NONBLOCK", 2048},
    {"SOCK_STREAM", 1},      {"SOL_SOCKET", 1}, {"SO_PEERCRED", 17}, {"SO_REUSEADDR", 2},
}};

/// The value of the constant called `name`, or nullopt when there is none.
constexpr std::optional<int> find(std::string_view name) {
    return NamedConstants::find(TABLE, name);
}

/// The value of the constant called `name`; raises Tarvok::Error for an unknown name (and fails
/// to compile when evaluated as a constant).
constexpr int get(std::string_view name) {
    return NamedConstants::get(TABLE, name, "socket");
}

}  // namespace Tarvok::Socket::Constants
