// Tarvok::UTF8::Strict: the check that file contents are well-formed UTF-8 before they are
// decoded as JSON.
//
// Well-formed means the shortest encoding of every character, no UTF-16 surrogate code points
// (U+D800 to U+DFFF) and nothing above U+10FFFF. The bytes themselves are never changed.
#pragma once

#include <string>
#include <string_view>

namespace Tarvok::UTF8::Strict {

/// True when `bytes` is well-formed UTF-8 (the empty text is).
bool is_well_formed(std::string_view bytes);

/// Returns `text` unchanged when it is well-formed UTF-8; otherwise raises Tarvok::Error whose
/// text shows every byte of `text` in hexadecimal. errno is left as it was either way.
std::string& decode(std::string& text);

}  // namespace Tarvok::UTF8::Strict
