// Tarvok::Fcntl::Constants: the open flags, descriptor-control codes, lock operations, seek origins
// and file-mode bits that the system names, with their x86-64 Linux values.
//
// The C library defines every one of these names as a macro, so they cannot be C++ identifiers
// here; they are reached by name instead. Lookups are constexpr, so a fixed name costs nothing at
// run time and a misspelt one does not compile:
//
//     constexpr int kSeekCur = Tarvok::Fcntl::Constants::get("SEEK_CUR");   // 1
//
// The build checks every value against the platform's own headers (see Constants.cpp).
#pragma once

#include <optional>
#include <string_view>

#include "Tarvok/NamedConstants.hpp"

namespace Tarvok::Fcntl::Constants {

using NamedConstants::Entry;

inline constexpr std::array<Entry, 35> TABLE = {{
    // open flags
    {"O_RDONLY", 0},
    {"O_WRONLY", 1},
    {"O_RDWR", 2},
    {"O_ACCMODE", 3},
    {"O_CREAT", 64},
    {"O_EXCL", 128},
    {"O_TRUNC", 512},
    {"O_APPEND", 1024},
    {"O_NONBLOCK", 2048},
    {"O_DIRECTORY", 65536},
    {"O_NOFOLLOW", 131072},
    {"O_CLOEXEC", 524288},
    // descriptor control
    {"F_GETFD", 1},
    {"F_SETFD", 2},
    {"F_GETFL", 3},
    {"F_SETFL", 4},
    {"FD_CLOEXEC", 1},
    // locks
    {"LOCK_SH", 1},
    {"LOCK_EX", 2},
    {"LOCK_NB", 4},
    {"LOCK_UN", 8},
    // seek origins
    {"SEEK_SET", 0},
    {"SEEK_CUR", 1},
    {"SEEK_END", 2},
    // file modes
    {"S_IFMT", 61440},
    {"S_IFIFO", 4096},
    {"S_IFCHR", 8192},
    {"S_IFDIR", 16384},
    {"S_IFBLK", 24576},
    {"S_IFREG", 32768},
    {"S_IFLNK", 40960},
    {"S_IFSOCK", 49152},
    {"S_ISUID", 2048},
    {"S_ISGID", 1024},
    {"S_IWOTH", 2},
}};

/// The value of the constant called `name`, or nullopt when there is none.
constexpr std::optional<int> find(std::string_view name) {
    return NamedConstants::find(TABLE, name);
}

/// The value of the constant called `name`; raises Tarvok::Error for an unknown name (and fails
/// to compile when evaluated as a constant).
constexpr int get(std::string_view name) {
    return NamedConstants::get(TABLE, name, "file-control");
}

}  // namespace Tarvok::Fcntl::Constants
