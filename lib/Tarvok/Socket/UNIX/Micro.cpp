#include "Tarvok/Socket/UNIX/Micro.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "Tarvok/Error.hpp"
#include "Tarvok/FHUtils/WholeIO.hpp"

namespace Tarvok::Socket::UNIX::Micro {
namespace {

static_assert(sizeof(sockaddr_un::sun_path) == MAX_PATH_LENGTH + 1);

void _warn(std::string_view text) {
    std::string line(text);
    line.push_back('\n');
    FHUtils::WholeIO::write_all(FHUtils::Handle{STDERR_FILENO}, line);
}

}  // namespace

Address unix_address(std::string_view name) {
    if (name.size() > MAX_PATH_LENGTH) {
        throw Error("Name '" + std::string(name) + "' is " +
                    std::to_string(name.size() - MAX_PATH_LENGTH) +
                    " byte(s) too long: a UNIX socket name may hold at most " +
                    std::to_string(MAX_PATH_LENGTH) + " bytes on Linux.");
    }
    Address address;
    address.storage.sun_family = AF_UNIX;
    std::memcpy(address.storage.sun_path, name.data(), name.size());
    // Abstract names are taken byte for byte: their length is part of the name.
    const bool abstract = !name.empty() && name.front() == '\0';
    address.length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + (abstract ? 0 : 1));
    return address;
}

std::string micro_sockaddr_un(std::string_view name) {
    const Address address = unix_address(name);
    return std::string(reinterpret_cast<const char*>(&address.storage), address.length);
}

std::string unpack_sockaddr_un(std::string_view packed) {
    if (packed.size() <= 2) return {};
    std::string_view name = packed.substr(2);
    if (name.front() == '\0') return std::string(name);
    return std::string(name.substr(0, name.find('\0')));
}

bool connect(UniqueFd& slot, std::string_view name) {
    slot.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!slot) _warn(std::string("Failed to create UNIX socket: ") + std::strerror(errno));
    const Address address = unix_address(name);
    return ::connect(slot.get(), address.get(), address.length) == 0;
}

}  // namespace Tarvok::Socket::UNIX::Micro
