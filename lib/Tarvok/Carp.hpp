// Tarvok::Carp: error texts that say where they were raised.
//
// safe_longmess() appends the place of the call to a message, for failures whose text alone would
// not tell a reader which load went wrong. It allocates nothing beyond the returned text and
// leaves errno alone, so it can run while a failure is being reported.
#pragma once

#include <string>
#include <string_view>

namespace Tarvok::Carp {

/// `message` followed by " at FILE line N." naming the caller. (The compiler built-ins stand
/// in for std::source_location, which clang 14 cannot provide with this standard library.)
std::string safe_longmess(std::string_view message, const char* file = __builtin_FILE(),
                          unsigned line = __builtin_LINE());

}  // namespace Tarvok::Carp
