// Tarvok::Fcntl: one numeric flag value from a list of constant names.
//
//     int flags = Tarvok::Fcntl::or_flags({"O_WRONLY", "O_CREAT", "O_EXCL"});   // 193
//
// Names are those of Tarvok::Fcntl::Constants. Results are kept for the life of the process, per
// name list and per name; an unknown name raises Tarvok::Error naming it.
#pragma once

#include <initializer_list>
#include <span>
#include <string_view>

namespace Tarvok::Fcntl {

/// The bitwise OR of the named constants.
int or_flags(std::span<const std::string_view> names);
inline int or_flags(std::initializer_list<std::string_view> names) {
    return or_flags(std::span<const std::string_view>(names.begin(), names.size()));
}

}  // namespace Tarvok::Fcntl
