// Tarvok::PwCache::Find::detail: the raw substring search behind field_with_value_in_pw_file,
// reachable for tests and fuzzing.
#pragma once

#include <cstddef>
#include <string_view>

namespace Tarvok::PwCache::Find::detail {

/// The first position at or after `from` where `needle` (non-empty) occurs in `haystack`, or
/// std::string_view::npos. Same answer as haystack.find(needle, from), only faster.
std::size_t find_needle(std::string_view haystack, std::string_view needle, std::size_t from);

/// The same search as run by CPUs without AVX2.
std::size_t find_needle_baseline(std::string_view haystack, std::string_view needle,
                                 std::size_t from);

}  // namespace Tarvok::PwCache::Find::detail
