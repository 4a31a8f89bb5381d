#include "Tarvok/FDPass.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace Tarvok::FDPass {

bool send(FHUtils::Handle socket, FHUtils::Handle fd) {
    char carrier = CARRIER_BYTE;
    iovec data{&carrier, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    const int number = fd.fd();
    std::memcpy(CMSG_DATA(header), &number, sizeof number);
    ssize_t sent;
    do {
        sent = ::sendmsg(socket.fd(), &message, 0);
    } while (sent < 0 && errno == EINTR);
    return sent == 1;
}

std::optional<UniqueFd> recv(FHUtils::Handle socket) {
    char carrier = 0;
    iovec data{&carrier, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do {
        got = ::recvmsg(socket.fd(), &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) return std::nullopt;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
            header->cmsg_len == CMSG_LEN(sizeof(int))) {
            int number = -1;
            std::memcpy(&number, CMSG_DATA(header), sizeof number);
            return UniqueFd(number);
        }
    }
    return std::nullopt;
}

}  // namespace Tarvok::FDPass
