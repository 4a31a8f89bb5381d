// Tarvok::LoadFile::ReadFast: the raw read loops that every file read of the system goes through.
// Reads go straight into the caller's buffer, without a buffering layer, and are repeated when a
// signal interrupts them; any other read failure raises Tarvok::Error.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace Tarvok::LoadFile::ReadFast {

/// Bytes requested per read by read_all_fast (and the first read of the load family).
inline constexpr std::size_t READ_CHUNK = 262144;
/// The OS error number of a read interrupted by a signal.
inline constexpr int _EINTR = 4;

/// One read of up to `length` bytes from `fd`. With `offset` the bytes are stored from that
/// position on and the buffer ends after them; without it they replace the buffer.
/// Returns the number of bytes read, 0 at end of file.
std::size_t read_fast(int fd, std::string& buffer, std::size_t length,
                      std::optional<std::size_t> offset = std::nullopt);

/// One read of up to `length` bytes into memory the caller owns, for callers that manage their
/// own buffer (no resizing, no zero-filling). Returns the number of bytes read, 0 at end of file.
std::size_t read_fast(int fd, char* buffer, std::size_t length);

/// Reads `fd` to its end, appending to `buffer` in READ_CHUNK pieces.
void read_all_fast(int fd, std::string& buffer);

}  // namespace Tarvok::LoadFile::ReadFast
