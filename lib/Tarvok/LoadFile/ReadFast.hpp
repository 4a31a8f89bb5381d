// Tarvok::LoadFile::ReadFast: the raw reads that every file read of the system goes through.
// Reads go straight into the caller's buffer, without a buffering layer, and are repeated when a
// signal interrupts them; any other read failure raises Tarvok::Error. Reading to the end is
// Tarvok::FHUtils::WholeIO::read_to_end, with its failure raised.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "Tarvok/FHUtils/WholeIO.hpp"

namespace Tarvok::LoadFile::ReadFast {

/// Bytes requested per read by read_all_fast (and the first read of the load family).
inline constexpr std::size_t READ_CHUNK = FHUtils::WholeIO::CHUNK;
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

/// Reads `fd` to its end (or `limit` bytes), appending to `buffer` in reads of up to READ_CHUNK
/// bytes (one larger read when the buffer has room reserved). What arrived before a failure stays.
void read_all_fast(int fd, std::string& buffer, std::size_t limit = FHUtils::WholeIO::NO_LIMIT);

}  // namespace Tarvok::LoadFile::ReadFast
