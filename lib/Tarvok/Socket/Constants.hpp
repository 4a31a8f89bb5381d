// Tarvok::Socket::Constants: named numbers for socket calls, with their x86-64 Linux values.
//
// Fixed here rather than taken from the C headers so that every build speaks the same numbers
// on the wire and in code that packs socket arguments by hand.
//
// The C headers spell several of these names as macros, which would swallow the qualified names
// below. This header therefore pulls those headers in first and retires the macros: after it,
// write Constants::AF_UNIX (or the C library's PF_UNIX) in code; the C enumerators of the same
// names (SOCK_STREAM, SHUT_WR, ...) stay usable unqualified.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#undef AF_INET
#undef AF_INET6
#undef AF_UNIX
#undef IPPROTO_TCP
#undef MSG_NOSIGNAL
#undef MSG_PEEK
#undef PF_INET
#undef PF_INET6
#undef PROTO_ICMP
#undef PROTO_IP
#undef PROTO_TCP
#undef PROTO_UDP
#undef SHUT_RD
#undef SHUT_RDWR
#undef SHUT_WR
#undef SOCK_NONBLOCK
#undef SOCK_STREAM
#undef SOL_SOCKET
#undef SO_PEERCRED
#undef SO_REUSEADDR

namespace Tarvok::Socket::Constants {

inline constexpr int AF_INET = 2;
inline constexpr int AF_INET6 = 10;
inline constexpr int AF_UNIX = 1;
inline constexpr int IPPROTO_TCP = 6;
inline constexpr int MSG_NOSIGNAL = 16384;
inline constexpr int MSG_PEEK = 2;
inline constexpr int PF_INET = 2;
inline constexpr int PF_INET6 = 10;
inline constexpr int PROTO_ICMP = 1;
inline constexpr int PROTO_IP = 0;
inline constexpr int PROTO_TCP = 6;
inline constexpr int PROTO_UDP = 17;
inline constexpr int SHUT_RD = 0;
inline constexpr int SHUT_RDWR = 2;
inline constexpr int SHUT_WR = 1;
inline constexpr int SOCK_NONBLOCK = 2048;
inline constexpr int SOCK_STREAM = 1;
inline constexpr int SOL_SOCKET = 1;
inline constexpr int SO_PEERCRED = 17;
inline constexpr int SO_REUSEADDR = 2;

}  // namespace Tarvok::Socket::Constants
