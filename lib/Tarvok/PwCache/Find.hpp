// Tarvok::PwCache::Find: finds the line of a colon-separated account file (passwd, shadow) whose
// given field holds a given value, reading the open file in PW_CHUNK_SIZE pieces.
//
// Only the matching line is split; the rest of the file is scanned as raw bytes. A uid search is
// never satisfied by another field holding the same digits, nor by a longer number that starts
// with them:
//
//     std::vector<std::string> f = field_with_value_in_pw_file(fd, 2, "1000");
//     if (!f.empty()) name = f[0];
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace Tarvok::PwCache::Find {

/// Bytes requested per read while searching a file.
inline constexpr std::size_t PW_CHUNK_SIZE = 131072;

/// False for values that cannot be one field of one line (they hold a separator or a line end).
bool is_single_field_value(std::string_view value);

/// `line` split at ":" with trailing empty fields dropped.
std::vector<std::string> split_pw_line(std::string_view line);

/// The fields of the first line of `fd` (read from its current position) whose field number
/// `field` (0-based) equals `value`, split at ":" with trailing empty fields dropped; empty when
/// there is none. With `lc_flag` the comparison ignores ASCII case and the fields come back in
/// lower case. Read errors other than interruptions raise Tarvok::Error.
std::vector<std::string> field_with_value_in_pw_file(int fd, std::size_t field,
                                                     std::string_view value, bool lc_flag = false);

}  // namespace Tarvok::PwCache::Find
