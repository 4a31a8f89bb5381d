// Tarvok::LoadFile: reads a whole file, or a slice of it, into memory.
//
// Two families that differ only in how they fail:
//
//   - the loadfile family never raises for an input/output problem; it answers std::nullopt and
//     leaves errno telling why (the front end prints that text):
//
//         errno = 0;
//         std::optional<std::string> text = Tarvok::LoadFile::loadfile(path);
//         if (!text && errno != 0) report(std::strerror(errno));
//
//   - the load family raises typed failures: FileNotFound (load, load_r only), OpenFailed,
//     SeekFailed, ReadFailed, and the read loops' Tarvok::Error for a failed read. Unless it
//     raises, the caller's errno is what it was before the call.
//
// Every read is a raw read straight into the result (Tarvok::LoadFile::ReadFast); a read
// interrupted by a signal is repeated and never reported. No function leaves a descriptor open.
// Contents are bytes; nothing is decoded. Binary mode changes nothing on Linux, so `binmode`
// and loadbinfile behave like their plain forms.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace Tarvok::LoadFile {

/// The OS error number of a missing file or directory.
inline constexpr int _ENOENT = 2;

/// The read mode that OpenFailed reports.
inline constexpr std::string_view READ_MODE = "reading";

/// The options record of loadfile_r and loadfile.
struct LoadOptions {
    /// Put the handle into binary mode before reading (no effect on Linux).
    bool binmode = false;
    /// Answer the file as its lines instead of one text.
    bool array_ref = false;
};

/// A file's lines, each with its line feed (the last may lack it).
using Lines = std::vector<std::string>;

/// What loadfile_r hands back: the content, or its lines when `array_ref` was asked for.
using Loaded = std::variant<std::string, Lines>;

/// The content, or its lines with `array_ref`; std::nullopt when the file cannot be opened or
/// read. With `array_ref`, a read failure answers the lines read before it.
std::optional<Loaded> loadfile_r(std::string_view path, const LoadOptions& options = {});

/// The content as one text. With `array_ref` no text comes back, so the answer is std::nullopt.
std::optional<std::string> loadfile(std::string_view path, const LoadOptions& options = {});

/// The content, read in binary mode.
std::optional<std::string> loadbinfile(std::string_view path);

/// The file's lines.
std::optional<Lines> loadfileasarrayref(std::string_view path);

/// Writes the content of `path` to `out_fd`; writes nothing when the file cannot be loaded.
void slurpfile(int out_fd, std::string_view path);

// The load family. `offset` (0: no positioning) is where reading starts; `length`, when given,
// is the most bytes read. The _r forms fill the caller's buffer in place of returning a copy
// (the buffer is replaced, not appended to).

/// Raises FileNotFound for a missing file.
std::string load(std::string_view path, off_t offset = 0,
                 std::optional<std::size_t> length = std::nullopt);

/// Raises FileNotFound for a missing file.
void load_r(std::string_view path, std::string& content, off_t offset = 0,
            std::optional<std::size_t> length = std::nullopt);

/// std::nullopt for a missing file.
std::optional<std::string> load_if_exists(std::string_view path, off_t offset = 0,
                                          std::optional<std::size_t> length = std::nullopt);

/// False for a missing file (the buffer is then untouched); true once loaded into `content`.
bool load_r_if_exists(std::string_view path, std::string& content, off_t offset = 0,
                      std::optional<std::size_t> length = std::nullopt);

}  // namespace Tarvok::LoadFile
