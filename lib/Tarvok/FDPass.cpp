#include "Tarvok/FDPass.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace Tarvok::FDPass {
namespace {

// One carrier byte with room for one descriptor beside it. It points into itself, so it stays
// where it was made.
struct OneDescriptorMessage {
    char carrier = 0;
    iovec data{&carrier, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};

    OneDescriptorMessage() {
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
    OneDescriptorMessage(const OneDescriptorMessage&) = delete;
    OneDescriptorMessage& operator=(const OneDescriptorMessage&) = delete;
};

}  // namespace

bool send(FHUtils::Handle socket, FHUtils::Handle fd) {
    OneDescriptorMessage sent_message;
    sent_message.carrier = CARRIER_BYTE;
    msghdr& message = sent_message.message;
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
    OneDescriptorMessage received;
    msghdr& message = received.message;
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
