#include "Tarvok/Autodie.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Tarvok/Error.hpp"
#include "Tarvok/Exception.hpp"
#include "Tarvok/FHUtils/WholeIO.hpp"

namespace Tarvok::Autodie {
namespace {

std::string _descriptor_name(FHUtils::Handle fd) {
    return "descriptor " + std::to_string(fd.fd());
}

}  // namespace

int fcntl(int fd, int function, long argument) {
    const int saved = errno;
    const int result = ::fcntl(fd, function, argument);
    if (result != -1) {
        errno = saved;
        return result;
    }
    // errno stays the failure's: it is the pending error an uncaught failure exits with.
    const int error = errno;
    throw Exception::create<Exception::FcntlFailed>(Exception::Params{{"error", error}});
}

std::size_t sysread_sigguard(FHUtils::Handle fd, std::string& buffer, std::size_t length) {
    const int saved = errno;
    buffer.resize(length);
    ssize_t got;
    do {
        got = ::read(fd.fd(), buffer.data(), length);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        const int error = errno;
        buffer.clear();
        throw Exception::create<Exception::ReadFailed>(
            Exception::Params{{"path", _descriptor_name(fd)}, {"error", error}});
    }
    buffer.resize(static_cast<std::size_t>(got));
    errno = saved;
    return buffer.size();
}

std::size_t syswrite_sigguard(FHUtils::Handle fd, std::string_view buffer) {
    const FHUtils::WholeIO::Transfer wrote =
        FHUtils::WholeIO::write_all(fd, buffer, FHUtils::WholeIO::WAIT_FOREVER);
    if (wrote) return wrote.bytes;
    Error failure("Could not write to " + _descriptor_name(fd) + ": " + std::strerror(wrote.error));
    errno = wrote.error;  // the failure's own, for the exit status of an uncaught failure
    throw failure;
}

}  // namespace Tarvok::Autodie
