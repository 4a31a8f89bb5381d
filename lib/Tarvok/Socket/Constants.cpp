// The table is written out with x86-64 Linux values so that it reads the same on every machine;
// on that platform the build refuses to go on if the C library disagrees with any of them.
#include "Tarvok/Socket/Constants.hpp"

#if defined(__linux__) && defined(__x86_64__)
#include <netinet/in.h>
#include <sys/socket.h>

namespace Tarvok::Socket::Constants {
namespace {

// The PROTO_* names are this system's own; the C library has no macros of those names.
static_assert(get("AF_INET") == AF_INET && get("AF_INET6") == AF_INET6 &&
                  get("AF_UNIX") == AF_UNIX && get("PF_INET") == PF_INET &&
                  get("PF_INET6") == PF_INET6 && get("IPPROTO_TCP") == IPPROTO_TCP &&
                  get("PROTO_ICMP") == IPPROTO_ICMP && get("PROTO_IP") == IPPROTO_IP &&
                  get("PROTO_TCP") == IPPROTO_TCP && get("PROTO_UDP") == IPPROTO_UDP,
              "socket families and protocols differ from the C library's");
static_assert(get("MSG_NOSIGNAL") == MSG_NOSIGNAL && get("MSG_PEEK") == MSG_PEEK &&
                  get("SHUT_RD") == SHUT_RD && get("SHUT_RDWR") == SHUT_RDWR &&
                  get("SHUT_WR") == SHUT_WR && get("SOCK_NONBLOCK") == SOCK_NONBLOCK &&
                  get("SOCK_STREAM") == SOCK_STREAM && get("SOL_SOCKET") == SOL_SOCKET &&
                  get("SO_PEERCRED") == SO_PEERCRED && get("SO_REUSEADDR") == SO_REUSEADDR,
              "socket call constants differ from the C library's");

}  // namespace
}  // namespace Tarvok::Socket::Constants
#endif
