// Tarvok::FHUtils::WholeIO: writing a whole buffer to a descriptor and reading one to its end.
//
// Every write-everything and read-until-the-end loop of the system is one of these two. Both
// repeat a call that a signal interrupted and answer what they did as a Transfer: the bytes moved
// and the error number that stopped them early (0 when they finished). They never raise and never
// change errno, so a caller reports the failure in its own words, or not at all:
//
//     if (const auto wrote = WholeIO::write_all(fd, text); !wrote)
//         fail("Cannot write", path, wrote.error);
//
//     std::string answer;
//     const auto got = WholeIO::read_to_end(socket, answer, WholeIO::NO_LIMIT, deadline);
//     if (got.error == ETIMEDOUT) ...   // what arrived before stays in `answer`
//
// A non-blocking descriptor that has no room or no data yet ends the transfer with EAGAIN, unless
// the caller gives a deadline: then the transfer waits for it (poll) until that time, and ends
// with ETIMEDOUT after it (WAIT_FOREVER waits as long as it takes). A blocking descriptor is the
// caller's to bound. A regular file is read in one read sized from its status (room the caller
// reserved counts as that size); anything else in reads that start at a page and double up to
// CHUNK, so a small answer costs little memory. Only running out of memory raises.
#pragma once

#include <chrono>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "Tarvok/FHUtils/Handle.hpp"

namespace Tarvok::FHUtils::WholeIO {

/// The most bytes one read asks for, unless the caller reserved more.
inline constexpr std::size_t CHUNK = 262144;
/// What the first read asks for when the caller reserved less.
inline constexpr std::size_t FIRST_READ = 4096;
/// read_to_end without a limit.
inline constexpr std::size_t NO_LIMIT = std::numeric_limits<std::size_t>::max();

/// How long a transfer waits for a non-blocking descriptor; nullopt: not at all.
using Deadline = std::optional<std::chrono::steady_clock::time_point>;
inline constexpr std::chrono::steady_clock::time_point WAIT_FOREVER =
    std::chrono::steady_clock::time_point::max();

/// What a whole transfer did.
struct Transfer {
    /// Bytes written or read (also those moved before a failure).
    std::size_t bytes = 0;
    /// 0 when the transfer finished, else the error number that ended it.
    int error = 0;

    explicit operator bool() const { return error == 0; }
};

/// Writes all of `bytes` to `fd`. A write that makes no progress ends it with ENOSPC.
Transfer write_all(Handle fd, std::string_view bytes, Deadline deadline = std::nullopt);

/// Appends what `fd` holds to `into` until its end, or until `limit` bytes have arrived (what
/// lies beyond stays unread). Memory is touched only by bytes that arrive.
Transfer read_to_end(Handle fd, std::string& into, std::size_t limit = NO_LIMIT,
                     Deadline deadline = std::nullopt);

}  // namespace Tarvok::FHUtils::WholeIO
