#include "Tarvok/Socket/UNIX/Micro.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Tarvok/ErrnoGuard.hpp"
#include "Tarvok/Error.hpp"
#include "Tarvok/Socket/Constants.hpp"

namespace Tarvok::Socket::UNIX::Micro {
namespace {

static_assert(sizeof(sockaddr_un::sun_path) == MAX_PATH_LENGTH + 1);
static_assert(Constants::AF_UNIX == PF_UNIX && Constants::SOCK_STREAM == ::SOCK_STREAM);

void _warn(std::string_view text) {
    ErrnoGuard keep;
    std::string line(text);
    line.push_back('\n');
    if (::write(STDERR_FILENO, line.data(), line.size()) < 0) {
        // Nowhere left to report to.
    }
}

}  // namespace

std::string micro_sockaddr_un(std::string_view name) {
    if (name.size() > MAX_PATH_LENGTH) {
        throw Error("Name '" + std::string(name) + "' is " +
                    std::to_string(name.size() - MAX_PATH_LENGTH) +
                    " byte(s) too long: a UNIX socket name may hold at most " +
                    std::to_string(MAX_PATH_LENGTH) + " bytes on Linux.");
    }
    std::string packed;
    packed.reserve(2 + name.size() + 1);
    packed.push_back(static_cast<char>(Constants::AF_UNIX & 0xff));
    packed.push_back(static_cast<char>((Constants::AF_UNIX >> 8) & 0xff));
    packed.append(name);
    // Abstract names are taken byte for byte: their length is part of the name.
    if (name.empty() || name.front() != '\0') packed.push_back('\0');
    return packed;
}

std::string unpack_sockaddr_un(std::string_view packed) {
    if (packed.size() <= 2) return {};
    std::string_view name = packed.substr(2);
    if (name.front() == '\0') return std::string(name);
    return std::string(name.substr(0, name.find('\0')));
}

bool connect(UniqueFd& slot, std::string_view name) {
    slot.reset(::socket(Constants::AF_UNIX, ::SOCK_STREAM | ::SOCK_CLOEXEC, 0));
    if (!slot) _warn(std::string("Failed to create UNIX socket: ") + std::strerror(errno));
    const std::string packed = micro_sockaddr_un(name);
    sockaddr_un address{};
    std::memcpy(&address, packed.data(), packed.size());
    return ::connect(slot.get(), reinterpret_cast<const sockaddr*>(&address),
                     static_cast<socklen_t>(packed.size())) == 0;
}

}  // namespace Tarvok::Socket::UNIX::Micro
