// Tarvok::Rand::Get: random text drawn uniformly from an alphabet, or raw random bytes.
//
// Sources, in the order tried within each call: the process's pool of characters already
// prepared for that alphabet, the getrandom system call, the random device, and as a last
// resort a pseudo-random generator (with a warning). The caller always gets exactly the number
// of characters asked for:
//
//     std::string trailer = Tarvok::Rand::Get::getranddata(8);           // "x3_Qa09Z"
//     std::string hex = Tarvok::Rand::Get::getranddata(4, "0123456789abcdef");
//     std::string bytes = Tarvok::Rand::Get::getranddata(16, Tarvok::Rand::Get::raw_bytes);
//
// Promises:
//   - Every alphabet entry is equally likely: bytes at or above the largest multiple of the
//     alphabet size are thrown away, never folded in (for the default alphabet of 63 entries
//     bytes 252 to 255 never reach the output).
//   - One kernel request fills the pool (3200 bytes by default), so short draws cost no system
//     call. Pools belong to one process: a forked child never hands out characters that its
//     parent also holds.
//   - getrandom failing with ENOSYS switches to the random device silently and for good; any
//     other failure does the same with one warning on standard error.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace Tarvok::Rand::Get {

inline constexpr std::size_t DEFAULT_LENGTH = 10;
/// The pool is filled up to this many units of 16 bytes.
inline constexpr std::size_t DEFAULT_PRELOAD_16TH = 200;
inline constexpr std::size_t NUMBER_OF_ASCII_CHARS = 256;
/// Failed reads from the random device tolerated per call; one more gives the device up.
inline constexpr int MAX_READ_ATTEMPTS = 50;
inline constexpr long SYS_GETRANDOM = 318;
inline constexpr unsigned GRND_NONBLOCK = 1;
inline constexpr int _EINTR = 4;
inline constexpr int _ENOSYS = 38;

/// The default alphabet: the ten digits, the letters, and "_" (the filler of caller names).
inline constexpr std::string_view DEFAULT_CHARACTERS =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_";
static_assert(DEFAULT_CHARACTERS.size() == 63);

/// The random device.
inline constexpr std::string_view random_source = "/dev/urandom";

/// The keyword alphabet: all 256 byte values, untranslated, nothing discarded.
struct RawBytes {};
inline constexpr RawBytes raw_bytes{};

/// std::monostate (the default): DEFAULT_CHARACTERS; raw_bytes; or a text whose every byte is
/// one entry (1 to 256 entries; repeated entries weigh more).
using Alphabet = std::variant<std::monostate, RawBytes, std::string>;

/// `wanted` characters (0: DEFAULT_LENGTH) from `alphabet`. `preload_count` (0: the default)
/// sets the pool target in units of 16 bytes. Raises BadArgument for an alphabet of no or more
/// than 256 entries.
std::string getranddata(std::size_t wanted = 0, const Alphabet& alphabet = {},
                        std::size_t preload_count = 0);

/// The same with the length given as text (empty or "0": DEFAULT_LENGTH). Raises BadArgument
/// when it holds anything but decimal digits, or a number too large to be a count.
std::string getranddata(std::string_view wanted, const Alphabet& alphabet = {},
                        std::size_t preload_count = 0);

/// Empties every pool.
void clear_pool();

// The kernel sources, replaceable so that tests can feed chosen bytes and failures. Each
// behaves like the system call of its name: -1 with errno set on failure.
struct KernelSources {
    long (*getrandom)(void* buffer, std::size_t length, unsigned flags);
    int (*open)(const char* path, int flags);
    ssize_t (*read)(int fd, void* buffer, std::size_t length);
};

/// The real system calls.
KernelSources real_kernel_sources();

/// Replaces the kernel sources for the rest of the process (or until reset()).
void set_kernel_sources(const KernelSources& sources);

/// The process-wide verdict on getrandom: std::nullopt until it was first tried.
std::optional<bool> getrandom_syscall_is_usable();

/// Forgets every pool, the getrandom verdict and the weak generator's seeding, and puts the
/// real kernel sources back (tests only).
void reset();

}  // namespace Tarvok::Rand::Get
