// Tarvok::Autodie: system calls that raise instead of returning a failure.
//
// Each wrapper returns what the call returns on success and leaves errno as the caller had it;
// on failure it raises the Tarvok::Exception class named after the call, carrying the OS error.
//
//     int flags = Tarvok::Autodie::fcntl(fd, F_GETFL);   // raises FcntlFailed on EBADF
#pragma once

namespace Tarvok::Autodie {

/// OS error numbers the wrappers' callers test for (x86-64 Linux values).
inline constexpr int _ENOENT = 2;
inline constexpr int _EEXIST = 17;
inline constexpr int _EINTR = 4;

/// fcntl(fd, function, argument). The result may be 0 on success (F_SETFL); failure raises
/// FcntlFailed with `error` = the OS error.
int fcntl(int fd, int function, long argument = 0);

}  // namespace Tarvok::Autodie
