// Tarvok::Socket::UNIX::Micro: UNIX-domain socket addresses and a one-call stream connect.
//
// Every UNIX address of the system is built by unix_address: the Linux sockaddr_un layout, that is
// the family (1, 16-bit little-endian), then either a path and its terminating zero byte, or an
// abstract-namespace name (one that begins with a zero byte) exactly as given. Names longer than
// MAX_PATH_LENGTH bytes raise Tarvok::Error.
//
//     const auto address = Tarvok::Socket::UNIX::Micro::unix_address(path);
//     ::bind(fd, address.get(), address.length);
//
//     Tarvok::UniqueFd sock;
//     if (Tarvok::Socket::UNIX::Micro::connect(sock, "/var/run/nscd/socket")) { ... }
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "Tarvok/UniqueFd.hpp"

namespace Tarvok::Socket::UNIX::Micro {

/// The longest name accepted, in bytes: sockaddr_un holds 108, one is kept for the terminator.
inline constexpr std::size_t MAX_PATH_LENGTH = 107;

/// An address ready for bind() or connect().
struct Address {
    sockaddr_un storage{};
    /// The bytes of `storage` in use: the family and the name.
    socklen_t length = 0;

    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

/// The address of `name` (a path, or an abstract name beginning with a zero byte).
Address unix_address(std::string_view name);

/// unix_address as bytes: the packed address of `name` (a path, or an abstract name beginning with
/// a zero byte).
std::string micro_sockaddr_un(std::string_view name);

/// The name inside a packed address: the path up to its terminator, or the whole abstract name
/// with its leading zero byte.
std::string unpack_sockaddr_un(std::string_view packed);

/// Creates a UNIX stream socket into `slot` and connects it to `name`. True when connected; the
/// slot holds the socket either way (when it could be created). A socket that cannot be created
/// is reported on standard error and makes the connect fail.
bool connect(UniqueFd& slot, std::string_view name);

}  // namespace Tarvok::Socket::UNIX::Micro
