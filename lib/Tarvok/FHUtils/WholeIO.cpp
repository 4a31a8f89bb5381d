#include "Tarvok/FHUtils/WholeIO.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "Tarvok/ErrnoGuard.hpp"

namespace Tarvok::FHUtils::WholeIO {
namespace {

// Waits until `fd` is ready for `events`: 0 then, ETIMEDOUT once the deadline has passed, or the
// error of a failing poll.
int _wait(int fd, short events, std::chrono::steady_clock::time_point deadline) {
    pollfd watch{fd, events, 0};
    for (;;) {
        int timeout = -1;
        if (deadline != WAIT_FOREVER) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return ETIMEDOUT;
            timeout = static_cast<int>(std::min<long long>(left.count(), INT_MAX));
        }
        const int ready = ::poll(&watch, 1, timeout);
        if (ready > 0) return 0;
        if (ready < 0 && errno != EINTR) return errno;
    }
}

// What to do after a call that moved nothing and failed: 0 to try again, else the error that
// ends the transfer.
int _after_failure(int error, int fd, short events, const Deadline& deadline) {
    if (error == EINTR) return 0;
    if ((error == EAGAIN || error == EWOULDBLOCK) && deadline) return _wait(fd, events, *deadline);
    return error;
}

}  // namespace

Transfer write_all(Handle fd, std::string_view bytes, Deadline deadline) {
    const ErrnoGuard keep;
    Transfer done;
    while (done.bytes < bytes.size() && done.error == 0) {
        const ssize_t n = ::write(fd.fd(), bytes.data() + done.bytes, bytes.size() - done.bytes);
        if (n > 0) {
            done.bytes += static_cast<std::size_t>(n);
        } else if (n == 0) {
            // No progress on a regular file means no room for more.
            done.error = ENOSPC;
        } else {
            done.error = _after_failure(errno, fd.fd(), POLLOUT, deadline);
        }
    }
    return done;
}

Transfer read_to_end(Handle fd, std::string& into, std::size_t limit, Deadline deadline) {
    const ErrnoGuard keep;
    Transfer done;
    // A regular file takes one read sized from its status, a byte more. A read that brings just
    // the size the status gave has met the end, and no read is spent on finding it; a file read
    // short for any other reason is read on to its end. Room the caller reserved is filled by
    // the first read.
    struct stat st {};
    std::size_t expected = 0;
    if (into.capacity() - into.size() < FIRST_READ && ::fstat(fd.fd(), &st) == 0 &&
        S_ISREG(st.st_mode) && st.st_size > 0) {
        expected = static_cast<std::size_t>(st.st_size);
        into.reserve(into.size() + std::min(expected + 1, limit));
    }
    std::size_t want = std::max(FIRST_READ, into.capacity() - into.size());
    bool was_short = false;
    while (done.bytes < limit && done.error == 0) {
        // After a short read, the room left is asked for first: most often the next read only
        // finds the end, and growing the buffer for it would be a copy for nothing.
        const std::size_t room = into.capacity() - into.size();
        const std::size_t ask = std::min(was_short && room > 0 ? room : want, limit - done.bytes);
        const std::size_t at = into.size();
        into.resize(at + ask);
        const ssize_t n = ::read(fd.fd(), into.data() + at, ask);
        const int error = errno;
        into.resize(at + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        if (n == 0) break;
        if (n > 0) {
            done.bytes += static_cast<std::size_t>(n);
            if (done.bytes == expected && static_cast<std::size_t>(n) < ask) break;
            was_short = static_cast<std::size_t>(n) < ask;
            if (!was_short) {
                want = std::max(want, std::min(want * 2, CHUNK));
            }
        } else {
            done.error = _after_failure(error, fd.fd(), POLLIN, deadline);
        }
    }
    return done;
}

}  // namespace Tarvok::FHUtils::WholeIO
