// Tarvok::FHUtils::Tiny: telling file handles from other values, comparing handles, and building
// descriptor bit masks for select().
//
// What counts as a file handle (see Handle.hpp): a Handle or a Tarvok::UniqueFd that holds an
// open descriptor. Paths, descriptor numbers given as plain integers, maps and every other value
// are not handles. A std::variant is a handle when the alternative it holds is one.
//
// A descriptor bit mask is a byte string (std::string) laid out as select()'s descriptor set:
// descriptor n is bit n % 8 (least significant first) of byte n / 8. It is exactly as long as its
// highest set bit needs, and empty for no descriptors:
//
//     to_bitmask(0, 9)                   // "\x01\x02"
//     to_bitmask(3, Handle{3})           // "\x08"
#pragma once

#include <string>
#include <variant>

#include "Tarvok/FHUtils/Handle.hpp"
#include "Tarvok/UniqueFd.hpp"

namespace Tarvok::FHUtils::Tiny {

/// Any value that is not a handle.
template <class T>
constexpr bool is_a(const T&) {
    return false;
}
/// True when the handle names an open descriptor.
bool is_a(Handle handle);
/// True when the owner holds an open descriptor.
bool is_a(const UniqueFd& owner);
/// True when the alternative held is a handle.
template <class... T>
bool is_a(const std::variant<T...>& value) {
    return std::visit([](const auto& held) { return is_a(held); }, value);
}

/// True for the same owner object, or for two owners of the same real descriptor number.
/// Descriptor 0 only ever matches itself by identity; an empty owner matches nothing else.
bool are_same(const UniqueFd& a, const UniqueFd& b);
/// Handles are values without identity: true when both name the same descriptor number other than
/// 0 (and other than -1).
bool are_same(Handle a, Handle b);

namespace detail {
inline int descriptor_number(int number) {
    return number;
}
inline int descriptor_number(Handle handle) {
    return handle.fd();
}
inline int descriptor_number(const UniqueFd& owner) {
    return owner.get();
}
/// Sets bit `fd` of `mask`, growing it with zero bytes; a negative number (a closed or empty
/// handle) raises Tarvok::Error.
void set_bit(std::string& mask, int fd);
}  // namespace detail

/// The bit mask of any number of descriptor numbers, Handles and owners.
template <class... Args>
std::string to_bitmask(const Args&... args) {
    std::string mask;
    (detail::set_bit(mask, detail::descriptor_number(args)), ...);
    return mask;
}

}  // namespace Tarvok::FHUtils::Tiny
