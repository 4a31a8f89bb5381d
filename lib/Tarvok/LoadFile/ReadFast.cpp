#include "Tarvok/LoadFile/ReadFast.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Tarvok/Error.hpp"

namespace Tarvok::LoadFile::ReadFast {
namespace {

[[noreturn]] void _fail(int error) {
    Error failure(std::string("Failed to read file: ") + std::strerror(error));
    errno = error;
    throw failure;
}

// Reads into buffer[at, at + length) and trims the buffer to what arrived. A failed read stores
// nothing, so the buffer is then left exactly as the caller passed it.
std::size_t read_into(int fd, std::string& buffer, std::size_t at, std::size_t length) {
    const std::size_t before = buffer.size();
    if (buffer.size() < at + length) buffer.resize(at + length);
    try {
        const std::size_t n = read_fast(fd, buffer.data() + at, length);
        buffer.resize(at + n);
        return n;
    } catch (...) {
        const int error = errno;
        buffer.resize(before);
        errno = error;
        throw;
    }
}

}  // namespace

std::size_t read_fast(int fd, char* buffer, std::size_t length) {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, length);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != _EINTR) _fail(errno);
    }
}

std::size_t read_fast(int fd, std::string& buffer, std::size_t length,
                      std::optional<std::size_t> offset) {
    // An offset past the end pads with zero bytes (read_into grows the buffer), as a byte string
    // would.
    return read_into(fd, buffer, offset.value_or(0), length);
}

void read_all_fast(int fd, std::string& buffer, std::size_t limit) {
    const FHUtils::WholeIO::Transfer got =
        FHUtils::WholeIO::read_to_end(FHUtils::Handle{fd}, buffer, limit);
    if (!got) _fail(got.error);
}

}  // namespace Tarvok::LoadFile::ReadFast
