// Tarvok::Autodie: system calls that raise instead of returning a failure.
//
// Each wrapper returns what the call returns on success and leaves errno as the caller had it;
// on failure it raises the Tarvok::Exception class named after the call, carrying the OS error
// (a plain Tarvok::Error where the family has no such class). The `_sigguard` wrappers also ride
// out signals: a call interrupted before it moved any data is simply issued again.
//
//     int flags = Tarvok::Autodie::fcntl(fd, F_GETFL);   // raises FcntlFailed on EBADF
//     while (Tarvok::Autodie::sysread_sigguard(in, chunk, 65536) != 0)
//         Tarvok::Autodie::syswrite_sigguard(out, chunk);
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "Tarvok/FHUtils/Handle.hpp"

namespace Tarvok::Autodie {

/// OS error numbers the wrappers' callers test for (x86-64 Linux values).
inline constexpr int _ENOENT = 2;
inline constexpr int _EEXIST = 17;
inline constexpr int _EINTR = 4;

/// fcntl(fd, function, argument). The result may be 0 on success (F_SETFL); failure raises
/// FcntlFailed with `error` = the OS error.
int fcntl(int fd, int function, long argument = 0);

/// One read of up to `length` bytes from `fd`; the bytes read replace `buffer`. Returns their
/// number, 0 at end of input. Failure (also EAGAIN on a non-blocking descriptor) raises
/// ReadFailed with `path` = "descriptor N" and `error` = the OS error.
std::size_t sysread_sigguard(FHUtils::Handle fd, std::string& buffer, std::size_t length);

/// Writes all of `buffer` to `fd`, continuing after short writes, and waiting for room when a
/// non-blocking descriptor has none. Returns the number of bytes written (the whole buffer).
/// Failure raises Tarvok::Error naming the descriptor and the OS error.
std::size_t syswrite_sigguard(FHUtils::Handle fd, std::string_view buffer);

}  // namespace Tarvok::Autodie
