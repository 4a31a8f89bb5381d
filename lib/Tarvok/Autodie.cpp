#include "Tarvok/Autodie.hpp"

#include <fcntl.h>

#include <cerrno>

#include "Tarvok/Exception.hpp"

namespace Tarvok::Autodie {

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

}  // namespace Tarvok::Autodie
